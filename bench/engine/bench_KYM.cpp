#include "engine/KYM.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

using libqor::dsp::SimdLevel;

namespace
{

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
        v[i] = env
            * (std::sin(2.0 * M_PI * 55.0 * t) + 0.5 * std::sin(2.0 * M_PI * 110.0 * t)
               + 0.25 * std::sin(2.0 * M_PI * 165.0 * t));
    }
    return v;
}

enum Controls
{
    defaults = 0,
    allAtTen = 1,
    lowTurning = 2 // Low moves before every block, so the tone ramp runs throughout
};

// KYM::processBlock over 4096-sample blocks at the given level (reference:
// processSample on each sample in turn).
void BM_KYM_processBlock(benchmark::State& state)
{
    const auto level = static_cast<SimdLevel>(state.range(0));
    const auto controls = static_cast<Controls>(state.range(1));
    if (!libqor::dsp::simdLevelSupported(level))
    {
        state.SkipWithError("this processor does not run this level");
        return;
    }

    auto eng = std::make_unique<KYM>();
    eng->setSimdLevel(level);
    eng->updateSamplerate(kRate);
    eng->updateParameters();
    eng->updateParameters();
    if (controls == allAtTen)
    {
        for (int slot = KYM::Slot::level; slot <= KYM::Slot::blend; ++slot)
            eng->setParameterSlot(slot, 1.0);
        eng->updateParameters();
        eng->updateParameters();
    }
    const std::vector<double> in = bassBlock();
    std::vector<double> buf(kBlock);

    // Let the tone ramp settle so the steady path is what is measured.
    for (int i = 0; i < 6; ++i)
    {
        buf = in;
        eng->processBlock(buf.data(), kBlock);
    }

    bool up = false;
    for (auto _ : state)
    {
        if (controls == lowTurning)
        {
            eng->setParameterSlot(KYM::Slot::bass, up ? 0.7 : 0.3);
            eng->updateParameters();
            up = !up;
        }
        std::copy(in.begin(), in.end(), buf.begin());
        eng->processBlock(buf.data(), kBlock);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    const double samples = static_cast<double>(state.iterations()) * kBlock;
    state.SetItemsProcessed(static_cast<int64_t>(samples));
    state.counters["ns_per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void levelsAndControls(benchmark::internal::Benchmark* b)
{
    b->ArgNames({ "level", "controls" });
    for (int controls : { defaults, allAtTen, lowTurning })
        for (SimdLevel level : { SimdLevel::reference, SimdLevel::sse2, SimdLevel::avx2, SimdLevel::avx512 })
            b->Args({ static_cast<int>(level), controls });
}

} // namespace

BENCHMARK(BM_KYM_processBlock)->Apply(levelsAndControls);
