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

} // namespace

// level: 0 reference, 1 sse2, 2 avx2, 3 avx512 (libqor::dsp::SimdLevel)
BENCHMARK(processBlockAt)
    ->ArgNames({ "quality", "level" })
    ->ArgsProduct({ { 0, 1 }, { 0, 1, 2, 3 } })
    ->Unit(benchmark::kMicrosecond);
