// KYM::processBlock against KYM::processSample: for every instruction-set
// build of the block path this processor runs, the same output bits and the
// same final engine state, field by field, after every block.

#include "engine/KYM.h"
#include "engine/KYMStateDump.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

using enginetest::StateDump;
using libqor::dsp::SimdLevel;

namespace
{

std::unique_ptr<KYM> readyEngine(double fs)
{
    auto eng = std::make_unique<KYM>();
    eng->updateSamplerate(fs);
    eng->updateParameters();
    eng->updateParameters();
    return eng;
}

bool ramping(const KYM& e)
{
    return e.tonestage.stepFn == &KYM_TONESTAGE::step;
}

// Index of the first sample whose bits differ, or -1.
long firstMismatch(const std::vector<double>& a, const std::vector<double>& b, bool anyNaNMatches = false)
{
    for (size_t i = 0; i < a.size(); ++i)
    {
        if (anyNaNMatches && std::isnan(a[i]) && std::isnan(b[i]))
            continue;
        if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0)
            return static_cast<long>(i);
    }
    return -1;
}

// Runs one reference engine sample by sample and one engine through
// processBlock at the level under test, side by side, and checks both after
// every block.
class SideBySide
{
public:
    SideBySide(SimdLevel level, double fs) : ref(readyEngine(fs)), fast(readyEngine(fs))
    {
        selected = fast->setSimdLevel(level) == level;
    }

    bool selected = false;

    // Applies a change to both engines.
    void both(const std::function<void(KYM&)>& change)
    {
        change(*ref);
        change(*fast);
    }

    void setControl(int slot, double position)
    {
        both([&](KYM& e) {
            e.setParameterSlot(slot, position);
            e.updateParameters();
        });
    }

    // Processes `in` as one block; true when outputs and state still agree.
    // `switchedInside` is set when the reference's tone ramp went idle after
    // the block's first sample.
    ::testing::AssertionResult block(const std::vector<double>& in, bool anyNaNMatches = false)
    {
        std::vector<double> expected(in.size());
        for (size_t i = 0; i < in.size(); ++i)
        {
            const bool before = ramping(*ref);
            expected[i] = ref->processSample(in[i]);
            if (before && !ramping(*ref) && i > 0)
                switchedInside = true;
        }
        std::vector<double> got = in;
        fast->processBlock(got.data(), static_cast<int>(got.size()));

        const long at = firstMismatch(expected, got, anyNaNMatches);
        ++blocks;
        if (at >= 0)
            return ::testing::AssertionFailure() << "block " << blocks << " of " << in.size() << ": sample " << at
                                                 << " is " << got[at] << ", reference " << expected[at];
        const std::string field = StateDump(*ref).firstDifference(StateDump(*fast));
        if (!field.empty())
            return ::testing::AssertionFailure()
                << "block " << blocks << " of " << in.size() << ": " << field << " differs";
        return ::testing::AssertionSuccess();
    }

    // Cuts `signal` into blocks of the given sizes (cycling through them).
    ::testing::AssertionResult blocksOf(const std::vector<double>& signal, const std::vector<int>& sizes,
                                        bool anyNaNMatches = false)
    {
        size_t pos = 0;
        for (size_t b = 0; pos < signal.size(); ++b)
        {
            const size_t n = std::min<size_t>(sizes[b % sizes.size()], signal.size() - pos);
            const std::vector<double> part(signal.begin() + pos, signal.begin() + pos + n);
            auto r = block(part, anyNaNMatches);
            if (!r)
                return r;
            pos += n;
        }
        return ::testing::AssertionSuccess();
    }

    std::unique_ptr<KYM> ref;
    std::unique_ptr<KYM> fast;
    bool switchedInside = false;
    int blocks = 0;
};

// Block sizes: every size through and past the pipeline's depth, single
// samples, then random sizes up to past 32768 (the processor hands over up to
// 8192 x 4).
std::vector<int> blockSizes(uint32_t seed)
{
    std::vector<int> sizes;
    for (int n = 1; n <= 24; ++n)
        sizes.push_back(n);
    for (int i = 0; i < 5; ++i)
        sizes.push_back(1);
    sizes.push_back(32768);
    sizes.push_back(40000);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> small(1, 600), large(1, 40000);
    for (int i = 0; i < 40; ++i)
        sizes.push_back(i % 3 == 0 ? large(rng) : small(rng));
    return sizes;
}

struct Signal
{
    const char* name;
    std::function<double(long, std::mt19937_64&)> sample;
};

const Signal kSignals[] = {
    { "saw", [](long i, std::mt19937_64&) { return 0.9 * ((i % 401) / 200.0 - 1.0); } },
    { "noise", [](long, std::mt19937_64& r) { return std::uniform_real_distribution<double>(-1.0, 1.0)(r); } },
    { "silence", [](long, std::mt19937_64&) { return 0.0; } },
    // Around the smallest normal, subnormals and signed zeros included.
    { "tiny",
      [](long i, std::mt19937_64& r) {
          const double m = std::uniform_real_distribution<double>(-4.0, 4.0)(r);
          return i % 7 == 0 ? (i % 2 ? -0.0 : 0.0) : m * DBL_MIN;
      } },
    // Far past the op-amp tables' limits on both sides.
    { "clipping", [](long i, std::mt19937_64&) { return (i / 150) % 2 ? 6.0 : -6.0 + 0.01 * (i % 150); } },
    { "burst then silence",
      [](long i, std::mt19937_64& r) {
          return i < 30000 ? 2.0 * std::uniform_real_distribution<double>(-1.0, 1.0)(r) : 0.0;
      } },
};

std::vector<double> makeSignal(const Signal& s, long n, uint64_t seed)
{
    std::mt19937_64 rng(seed);
    std::vector<double> v(n);
    for (long i = 0; i < n; ++i)
        v[i] = s.sample(i, rng);
    return v;
}

class BlockPath : public ::testing::TestWithParam<SimdLevel>
{
protected:
    void SetUp() override
    {
        if (!libqor::dsp::simdLevelSupported(GetParam()))
            GTEST_SKIP() << "this processor does not run " << libqor::dsp::simdLevelName(GetParam());
    }
};

TEST_P(BlockPath, SignalsAtDefaultAndDrivenSettings)
{
    for (const Signal& s : kSignals)
    {
        for (bool driven : { false, true })
        {
            SCOPED_TRACE(testing::Message() << s.name << (driven ? ", all six at 10" : ", default controls"));
            SideBySide run(GetParam(), 176400.0);
            ASSERT_TRUE(run.selected);
            if (driven)
                for (int slot = KYM::Slot::level; slot <= KYM::Slot::blend; ++slot)
                    run.setControl(slot, 1.0);
            // The tone ramp from construction is still running at the start.
            ASSERT_TRUE(ramping(*run.ref));
            EXPECT_TRUE(run.blocksOf(makeSignal(s, 120000, 7), blockSizes(11)));
        }
    }
}

// Controls change between blocks; a Low or High change keeps the tone ramp
// running across many blocks and it goes idle inside one.
TEST_P(BlockPath, ControlChangesBetweenBlocks)
{
    SideBySide run(GetParam(), 176400.0);
    ASSERT_TRUE(run.selected);
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> slot(KYM::Slot::level, KYM::Slot::blend), size(1, 3000);
    std::uniform_real_distribution<double> position(0.0, 1.0);
    const std::vector<double> noise = makeSignal(kSignals[1], 300000, 5);
    size_t pos = 0;
    for (int b = 0; b < 150; ++b)
    {
        if (b % 5 == 0)
            run.setControl(slot(rng), position(rng));
        const size_t n = size(rng);
        std::vector<double> part(noise.begin() + pos, noise.begin() + pos + n);
        for (double& x : part)
            x *= 0.8;
        pos = (pos + n) % (noise.size() - 3000);
        ASSERT_TRUE(run.block(part));
    }

    // Let the ramp settle, then move Low: 997-sample blocks carry the ramp
    // over many blocks and its end lands inside one.
    const std::vector<double> saw = makeSignal(kSignals[0], 60000, 1);
    ASSERT_TRUE(run.blocksOf(saw, { 20000 }));
    ASSERT_FALSE(ramping(*run.ref));
    run.setControl(KYM::Slot::bass, 0.2);
    ASSERT_TRUE(ramping(*run.ref));
    run.switchedInside = false;
    const int before = run.blocks;
    ASSERT_TRUE(run.blocksOf(saw, { 997 }));
    EXPECT_FALSE(ramping(*run.fast));
    EXPECT_TRUE(run.switchedInside);
    EXPECT_GT(run.blocks - before, 10);

    // The same coefficients again: ramping restarts and the very next step
    // goes idle, while the pipeline fills.
    run.both([](KYM& e) { e.tonestage.updatecoefficients(); });
    ASSERT_TRUE(ramping(*run.fast));
    EXPECT_TRUE(run.block(std::vector<double>(saw.begin(), saw.begin() + 64)));
    EXPECT_FALSE(ramping(*run.fast));
}

// Rate changes between blocks clear the networks and restart the tone ramp
// from the old rate's coefficients.
TEST_P(BlockPath, RateChangesBetweenBlocks)
{
    SideBySide run(GetParam(), 88200.0);
    ASSERT_TRUE(run.selected);
    const std::vector<double> sig = makeSignal(kSignals[4], 50000, 9);
    const double rates[] = { 176400.0, 96000.0, 192000.0, 88200.0, 384000.0, 176400.0 };
    for (double rate : rates)
    {
        SCOPED_TRACE(rate);
        ASSERT_TRUE(run.blocksOf(sig, { 5000, 1, 7, 12345 }));
        run.both([rate](KYM& e) { e.updateSamplerate(rate); });
    }
    ASSERT_TRUE(run.blocksOf(sig, { 333 }));
}

// Not-a-number and infinite input must not carry an op-amp stage's table
// index outside its table; the block path then keeps giving what the
// reference gives (any NaN for a NaN).
TEST_P(BlockPath, NonFiniteInputStaysInsideTheTables)
{
    for (double bad : { std::nan(""), HUGE_VAL, -HUGE_VAL, 1e308 })
    {
        SCOPED_TRACE(bad);
        SideBySide run(GetParam(), 176400.0);
        ASSERT_TRUE(run.selected);
        std::vector<double> sig = makeSignal(kSignals[1], 3000, 2);
        sig[1234] = bad;
        EXPECT_TRUE(run.blocksOf(sig, { 1000, 5, 1 }, true));
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, BlockPath, ::testing::Values(SimdLevel::sse2, SimdLevel::avx2, SimdLevel::avx512),
                         [](const testing::TestParamInfo<SimdLevel>& info) {
                             return std::string(libqor::dsp::simdLevelName(info.param));
                         });

TEST(KYMSimdLevel, ChosenOnceAndRefusedWhenUnsupported)
{
    KYM eng;
    EXPECT_EQ(eng.simdLevel(), libqor::dsp::bestSimdLevel());
    EXPECT_EQ(eng.setSimdLevel(SimdLevel::reference), SimdLevel::reference);
    for (SimdLevel level : { SimdLevel::sse2, SimdLevel::avx2, SimdLevel::avx512 })
    {
        eng.setSimdLevel(SimdLevel::reference);
        const SimdLevel got = eng.setSimdLevel(level);
        EXPECT_EQ(got, libqor::dsp::simdLevelSupported(level) ? level : SimdLevel::reference)
            << libqor::dsp::simdLevelName(level);
    }
    const SimdLevel now = eng.simdLevel();
    EXPECT_EQ(eng.setSimdLevel(static_cast<SimdLevel>(99)), now);
}

// The comparison itself sees a change in any one field.
TEST(KYMStateDump, SeesEveryKindOfField)
{
    auto a = readyEngine(88200.0);
    auto b = readyEngine(88200.0);
    ASSERT_EQ(StateDump(*a).firstDifference(StateDump(*b)), "");
    EXPECT_GT(StateDump(*a).size(), 250u);

    const std::function<void(KYM&)> changes[] = {
        [](KYM& e) { e.slots[KYM::Slot::treble].changed = 1; },
        [](KYM& e) { e.finalHighpass.st = -0.0; },
        [](KYM& e) { e.inputNetwork.x[4] = 1e-300; },
        [](KYM& e) { e.drive.core = 0.5; },
        [](KYM& e) { e.presence.table->table[8001] += 1.0; },
        [](KYM& e) { e.tonestage.stepFn = &KYM_TONESTAGE::step_null; },
        [](KYM& e) { e.tonestage.section.s[5] = 1e-30; },
        [](KYM& e) { e.dry = 1.0; },
    };
    for (size_t i = 0; i < std::size(changes); ++i)
    {
        auto c = readyEngine(88200.0);
        changes[i](*c);
        EXPECT_NE(StateDump(*a).firstDifference(StateDump(*c)), "") << "change " << i;
    }
}

} // namespace
