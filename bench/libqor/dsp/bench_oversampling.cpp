// Up-then-down round trip of one mono block of 512 samples; the "per_sample"
// counter is the time per base-rate sample. Ours in each kernel variant
// (reference = the plain per-sample kernels; a variant this processor cannot
// run is reported as an error, not timed), beside
// juce::dsp::Oversampling<double>, 1 channel, filterHalfBandPolyphaseIIR,
// useIntegerLatency = false, in two designs:
//  - juce_maxquality: the stock constructor, factor exponent 1/2/3,
//    isMaxQuality = true. First stage -90 dB up / -75 dB down (transition
//    0.05 / 0.06), each later stage 10 dB less with twice the width: 7+6,
//    5+4 and 4+3 coefficients per stage, far less than ours.
//  - juce_matched: stages added by hand to our attenuation: first stage
//    transition 0.01 at -103.9 dB both ways, later stages 0.05 at -159.4 dB
//    up and 0.01 at -103.9 dB down. That design yields 12 coefficients per
//    filter, as ours.

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include <juce_dsp/juce_dsp.h>

#include "libqor/dsp/blockUpDownsampling.h"

namespace
{

constexpr int blockSize = 512;

std::vector<double> testSignal()
{
    std::vector<double> v(blockSize);
    for (int i = 0; i < blockSize; ++i)
        v[i] = 0.5 * std::sin(0.031 * i) + 0.25 * std::sin(1.7 * i);
    return v;
}

void perSampleCounter(benchmark::State& state)
{
    state.counters["per_sample"] = benchmark::Counter(
        static_cast<double>(blockSize), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_qor_roundtrip(benchmark::State& state)
{
    const int factor = static_cast<int>(state.range(0));
    const auto level = static_cast<libqor::dsp::SimdLevel>(state.range(1));
    libqor::blockUpDownsampling sampler;
    if (!sampler.setSimdLevel(level))
    {
        state.SkipWithError("not supported by this processor");
        return;
    }
    sampler.setFactor(factor);
    auto in = testSignal();
    std::vector<double> mid(static_cast<size_t>(blockSize * factor)), out(blockSize);
    for (auto _ : state)
    {
        (sampler.*sampler.upSlot)(in.data(), mid.data(), blockSize);
        (sampler.*sampler.downSlot)(mid.data(), out.data(), blockSize);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    perSampleCounter(state);
}

using JuceOversampling = juce::dsp::Oversampling<double>;

int stagesFor(int factor)
{
    return factor == 2 ? 1 : factor == 4 ? 2 : 3;
}

void juceRoundTrip(benchmark::State& state, JuceOversampling& os)
{
    os.initProcessing(blockSize);
    auto in = testSignal();
    std::vector<double> out(blockSize);
    double* inChannels[] = { in.data() };
    double* outChannels[] = { out.data() };
    juce::dsp::AudioBlock<const double> inBlock(inChannels, 1, blockSize);
    juce::dsp::AudioBlock<double> outBlock(outChannels, 1, blockSize);
    for (auto _ : state)
    {
        auto up = os.processSamplesUp(inBlock);
        benchmark::DoNotOptimize(up.getChannelPointer(0));
        os.processSamplesDown(outBlock);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    perSampleCounter(state);
}

void BM_juce_maxquality_roundtrip(benchmark::State& state)
{
    const int factor = static_cast<int>(state.range(0));
    JuceOversampling os(1, static_cast<size_t>(stagesFor(factor)), JuceOversampling::filterHalfBandPolyphaseIIR, true,
                        false);
    juceRoundTrip(state, os);
}

void BM_juce_matched_roundtrip(benchmark::State& state)
{
    const int factor = static_cast<int>(state.range(0));
    JuceOversampling os(1);
    for (int stage = 0; stage < stagesFor(factor); ++stage)
    {
        if (stage == 0)
            os.addOversamplingStage(JuceOversampling::filterHalfBandPolyphaseIIR, 0.01, -103.9, 0.01, -103.9);
        else
            os.addOversamplingStage(JuceOversampling::filterHalfBandPolyphaseIIR, 0.05, -159.4, 0.01, -103.9);
    }
    juceRoundTrip(state, os);
}

} // namespace

// variant: 0 reference, 1 sse2, 2 avx2, 3 avx512 (libqor::dsp::SimdLevel)
BENCHMARK(BM_qor_roundtrip)->ArgNames({ "factor", "variant" })->ArgsProduct({ { 2, 4, 8 }, { 0, 1, 2, 3 } });
BENCHMARK(BM_juce_maxquality_roundtrip)->Arg(2)->Arg(4)->Arg(8);
BENCHMARK(BM_juce_matched_roundtrip)->Arg(2)->Arg(4)->Arg(8);
