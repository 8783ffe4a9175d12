#include "plugin/KymAudioProcessor.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

namespace
{

constexpr double sampleRate = 48000.0;
constexpr int blockSize = 512;

// 48 kHz, 512-frame host blocks, a driven bass line, on the road of one
// level (reference: the plain per-sample kernels and chain). Reports ns per
// host sample and the real-time factor (seconds of audio per second of CPU).
void processBlockAt(benchmark::State& state)
{
    const float quality = static_cast<float>(state.range(0));
    const auto level = static_cast<libqor::dsp::SimdLevel>(state.range(1));
    auto p = std::make_unique<KymAudioProcessor>();
    if (p->setSimdLevel(level) != level)
    {
        state.SkipWithError("this processor does not run this level");
        return;
    }
    p->setPlayConfigDetails(1, 2, sampleRate, blockSize);
    p->getParameters()[2]->setValue(0.7f);
    p->getParameters()[8]->setValue(quality);

    const int period = 48000;
    juce::AudioBuffer<float> source(1, period);
    for (int i = 0; i < period; ++i)
    {
        const double t = i / sampleRate;
        source.setSample(
            0, i, static_cast<float>(0.5 * std::sin(2.0 * M_PI * 55.0 * t) + 0.2 * std::sin(2.0 * M_PI * 165.0 * t)));
    }

    juce::AudioBuffer<float> buffer(2, blockSize);
    juce::MidiBuffer midi;
    int position = 0;
    // Settle rate and Quality before timing.
    for (int k = 0; k < 4; ++k)
        p->processBlock(buffer, midi);

    for (auto _ : state)
    {
        buffer.copyFrom(0, 0, source, 0, position, blockSize);
        position = (position + blockSize) % (period - blockSize);
        p->processBlock(buffer, midi);
        benchmark::DoNotOptimize(buffer.getReadPointer(1));
    }

    // Printed as time per host sample, and as seconds of audio per second
    // of CPU (the real-time factor, shown with a "/s").
    const double samples = static_cast<double>(state.iterations()) * blockSize;
    state.SetItemsProcessed(static_cast<int64_t>(samples));
    state.counters["per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["realtime_x"] = benchmark::Counter(samples / sampleRate, benchmark::Counter::kIsRate);
}

// The same road while controls glide: before every block the host moves
// them again, so that every block is in the middle of a glide. what: 0 Drive
// (stepped between pieces of the block), 1 Low (stepped inside the engine),
// 2 all seven continuous controls at once (a preset loaded while playing).
// The best level this processor runs.
void processBlockGliding(benchmark::State& state)
{
    const float quality = static_cast<float>(state.range(0));
    const int what = static_cast<int>(state.range(1));
    auto p = std::make_unique<KymAudioProcessor>();
    p->setPlayConfigDetails(1, 2, sampleRate, blockSize);
    p->getParameters()[2]->setValue(0.7f);
    p->getParameters()[8]->setValue(quality);

    juce::AudioBuffer<float> source(1, blockSize);
    for (int i = 0; i < blockSize; ++i)
        source.setSample(0, i, static_cast<float>(0.5 * std::sin(2.0 * M_PI * 55.0 * i / sampleRate)));
    juce::AudioBuffer<float> buffer(2, blockSize);
    juce::MidiBuffer midi;
    for (int k = 0; k < 4; ++k)
        p->processBlock(buffer, midi);

    int block = 0;
    for (auto _ : state)
    {
        const float v = (block++ % 2) ? 0.3f : 0.7f;
        if (what == 0)
            p->getParameters()[2]->setValue(v);
        else if (what == 1)
            p->getParameters()[3]->setValue(v);
        else
            for (int i = 0; i < 7; ++i)
                p->getParameters()[i]->setValue(v);
        buffer.copyFrom(0, 0, source, 0, 0, blockSize);
        p->processBlock(buffer, midi);
        benchmark::DoNotOptimize(buffer.getReadPointer(1));
    }

    const double samples = static_cast<double>(state.iterations()) * blockSize;
    state.SetItemsProcessed(static_cast<int64_t>(samples));
    state.counters["per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["realtime_x"] = benchmark::Counter(samples / sampleRate, benchmark::Counter::kIsRate);
}

} // namespace

// level: 0 reference, 1 sse2, 2 avx2, 3 avx512 (libqor::dsp::SimdLevel)
BENCHMARK(processBlockAt)
    ->ArgNames({ "quality", "level" })
    ->ArgsProduct({ { 0, 1 }, { 0, 1, 2, 3 } })
    ->Unit(benchmark::kMicrosecond);

// what: 0 Drive, 1 Low, 2 all seven continuous controls
BENCHMARK(processBlockGliding)
    ->ArgNames({ "quality", "what" })
    ->ArgsProduct({ { 0, 1 }, { 0, 1, 2 } })
    ->Unit(benchmark::kMicrosecond);
