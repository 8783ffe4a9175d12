#include "engine/KYM.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

namespace {

constexpr double kRate = 176400.0; // 44100 Hz at 4x
constexpr int kBlock = 4096;

// A plucked bass note: fundamental and two harmonics under a decaying envelope.
std::vector<double> bassBlock()
{
    std::vector<double> v(kBlock);
    for (int i = 0; i < kBlock; ++i)
    {
        const double t = i / kRate;
        const double env = 0.8 * std::exp(-t * 6.0);
        v[i] = env * (std::sin(2.0 * M_PI * 55.0 * t) + 0.5 * std::sin(2.0 * M_PI * 110.0 * t)
                      + 0.25 * std::sin(2.0 * M_PI * 165.0 * t));
    }
    return v;
}

void runEngine(benchmark::State& state, bool allAtTen)
{
    auto eng = std::make_unique<KYM>();
    eng->updateSamplerate(kRate);
    eng->updateParameters();
    eng->updateParameters();
    if (allAtTen)
    {
        for (int slot = 1; slot <= 6; ++slot)
            eng->setParameterSlot(slot, 1.0);
        eng->updateParameters();
        eng->updateParameters();
    }
    const std::vector<double> in = bassBlock();

    // Let the tone ramp settle so every iteration measures the steady path.
    for (int i = 0; i < 6; ++i)
        for (double s : in)
            benchmark::DoNotOptimize(eng->processSample(s));

    std::vector<double> out(kBlock);
    for (auto _ : state)
    {
        for (int i = 0; i < kBlock; ++i)
            out[i] = eng->processSample(in[i]);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    const double samples = static_cast<double>(state.iterations()) * kBlock;
    state.SetItemsProcessed(static_cast<int64_t>(samples));
    state.counters["ns_per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_KYM_processSample_default(benchmark::State& state) { runEngine(state, false); }
void BM_KYM_processSample_allAtTen(benchmark::State& state) { runEngine(state, true); }

} // namespace

BENCHMARK(BM_KYM_processSample_default);
BENCHMARK(BM_KYM_processSample_allAtTen);
