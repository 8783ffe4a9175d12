#pragma once

#include "plugin/KymAudioProcessor.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace kymtest
{

// A processor as a wrapper leaves it: layout and rate set, no prepareToPlay needed.
inline std::unique_ptr<KymAudioProcessor> makeProcessor(int ins = 2, int outs = 2, double rate = 44100.0)
{
    auto p = std::make_unique<KymAudioProcessor>();
    p->setPlayConfigDetails(ins, outs, rate, 512);
    return p;
}

// A bass-like test signal: a low fundamental with harmonics and a slow swell,
// loud enough to drive the circuit into its curve. Not the render tool's
// phrase: a steady tone, cut to whatever length a test needs, with signal in
// every block from the first frame on, and no gaps or silent tail.
inline std::vector<float> bassSignal(int n, double rate, float amplitude = 0.5f)
{
    std::vector<float> s(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
    {
        const double t = i / rate;
        const double env = 0.5 + 0.5 * std::sin(2.0 * M_PI * 1.3 * t);
        const double x = std::sin(2.0 * M_PI * 55.0 * t) + 0.4 * std::sin(2.0 * M_PI * 110.0 * t + 0.3)
            + 0.2 * std::sin(2.0 * M_PI * 1650.0 * t);
        s[static_cast<size_t>(i)] = static_cast<float>(amplitude * env * x / 1.6);
    }
    return s;
}

// Runs one block of `count` frames starting at `offset` of `input` through
// the processor, with the second input channel set to `otherInput`.
inline void runBlock(KymAudioProcessor& p, const float* input, int count, std::vector<float>& out0,
                     std::vector<float>* out1 = nullptr, float otherInput = 0.0f)
{
    juce::AudioBuffer<float> buffer(2, count);
    juce::MidiBuffer midi;
    if (count > 0)
    {
        std::memcpy(buffer.getWritePointer(0), input, sizeof(float) * static_cast<size_t>(count));
        juce::FloatVectorOperations::fill(buffer.getWritePointer(1), otherInput, count);
    }
    p.processBlock(buffer, midi);
    out0.insert(out0.end(), buffer.getReadPointer(0), buffer.getReadPointer(0) + count);
    if (out1 != nullptr)
        out1->insert(out1->end(), buffer.getReadPointer(1), buffer.getReadPointer(1) + count);
}

// The whole signal cut into host blocks of `blockSize` frames.
inline std::vector<float> runInBlocks(KymAudioProcessor& p, const std::vector<float>& input, int blockSize,
                                      std::vector<float>* out1 = nullptr, float otherInput = 0.0f)
{
    std::vector<float> out0;
    const int n = static_cast<int>(input.size());
    for (int start = 0; start < n; start += blockSize)
        runBlock(p, input.data() + start, std::min(blockSize, n - start), out0, out1, otherInput);
    return out0;
}

// A block of no frames: drains the queue and rechecks, nothing else.
inline void runEmptyBlock(KymAudioProcessor& p)
{
    juce::AudioBuffer<float> buffer(2, 0);
    juce::MidiBuffer midi;
    p.processBlock(buffer, midi);
}

inline void setHost(KymAudioProcessor& p, int index, float normalised)
{
    p.getParameters()[index]->setValue(normalised);
}

// A host's listener that takes the host's own lock, as a wrapper and a host
// that guard their automation data with it do.
struct LockingListener : juce::AudioProcessorListener
{
    explicit LockingListener(std::mutex& hostLock) : lock(hostLock) {}

    void audioProcessorParameterChanged(juce::AudioProcessor*, int, float) override
    {
        const std::lock_guard<std::mutex> guard(lock);
        calls.fetch_add(1, std::memory_order_relaxed);
    }
    void audioProcessorChanged(juce::AudioProcessor*, const ChangeDetails&) override {}

    std::mutex& lock;
    std::atomic<long> calls { 0 };
};

// The largest difference between two renderings over the second half, where
// a restart's input rise has long settled, and the peak there of the one
// expected.
struct SecondHalf
{
    float peak = 0.0f;
    float drift = 0.0f;
};

inline SecondHalf secondHalfOf(const std::vector<float>& actual, const std::vector<float>& expected)
{
    SecondHalf h;
    for (size_t i = actual.size() / 2; i < actual.size(); ++i)
    {
        h.peak = std::max(h.peak, std::abs(expected[i]));
        h.drift = std::max(h.drift, std::abs(actual[i] - expected[i]));
    }
    return h;
}

inline bool sameBits(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), sizeof(float) * a.size()) == 0);
}

} // namespace kymtest
