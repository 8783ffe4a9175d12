#include "engine/KYM.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

namespace
{

using Slot = KYM::Slot;

// The processor's start-up sequence.
std::unique_ptr<KYM> readyEngine(double fs = 88200.0)
{
    auto eng = std::make_unique<KYM>();
    eng->updateSamplerate(fs);
    eng->updateParameters();
    eng->updateParameters(); // consumes the treble flag left by the pair rule
    return eng;
}

// The input scale is never read by updateParameters: its construction flag stays.
bool anyChanged(const KYM& eng)
{
    for (int i = Slot::level; i < Slot::count; ++i)
        if (eng.slots[i].changed)
            return true;
    return false;
}

} // namespace

TEST(KYM, ConstructionWritesTheInitialPositions)
{
    KYM eng;
    // In slot order: input scale, level, bass, treble, drive, presence, blend.
    const double values[Slot::count] = { 1.0, 0.094999999986225, 0.5, 0.5, 0.5, 0.5, 0.0 };
    const uint8_t changed[Slot::count] = { 1, 1, 1, 1, 1, 1, 0 }; // blend stays at its 0.0
    for (int i = 0; i < Slot::count; ++i)
    {
        EXPECT_NEAR(eng.slots[i].value, values[i], 1e-15) << "slot " << i;
        EXPECT_EQ(eng.slots[i].changed, changed[i]) << "slot " << i;
        EXPECT_EQ(eng.slots[i].segTaper, 0) << "slot " << i;
        EXPECT_EQ(eng.slots[i].logTaper, i == Slot::level ? 1 : 0) << "slot " << i;
    }
}

// Blend and level, bass and treble share a stage: when the first of a pair
// was set the second stays set for the next call.
TEST(KYM, FirstUpdateLeavesTrebleForTheSecond)
{
    KYM eng;
    eng.updateSamplerate(88200.0);
    for (int i = 0; i < Slot::count; ++i)
        EXPECT_EQ(eng.slots[i].changed, i == Slot::blend ? 0 : 1) << "rate update touches no flag, slot " << i;

    eng.updateParameters();
    for (int i = 0; i < Slot::count; ++i)
        EXPECT_EQ(eng.slots[i].changed, i == Slot::treble || i == Slot::inputScale ? 1 : 0) << "slot " << i;
    eng.updateParameters();
    EXPECT_FALSE(anyChanged(eng));
}

TEST(KYM, PairRuleBlendAndLevel)
{
    auto eng = readyEngine();
    eng->setParameterSlot(Slot::blend, 0.4);
    eng->setParameterSlot(Slot::level, 1.0);
    eng->updateParameters();
    EXPECT_EQ(eng->slots[Slot::level].changed, 1);
    // the blend record is recomputed from both slots already
    EXPECT_EQ(eng->blend.R2, 0.4 * 100000.0);
    EXPECT_EQ(eng->blend.level, eng->slots[Slot::level].value);
    eng->updateParameters();
    EXPECT_FALSE(anyChanged(*eng));

    eng->setParameterSlot(Slot::level, 0.0);
    eng->updateParameters();
    EXPECT_FALSE(anyChanged(*eng));
    EXPECT_EQ(eng->blend.level, 0.0);
}

TEST(KYM, UpdatesReachTheirStages)
{
    auto eng = readyEngine();

    eng->setParameterSlot(Slot::drive, 1.0);
    eng->updateParameters();
    EXPECT_EQ(eng->drive.Rv, KYM_DRIVE::potLaw(1.0));
    EXPECT_EQ(eng->presence.Rv, KYM_PRESENCE::potLaw(0.5));

    eng->setParameterSlot(Slot::presence, 0.0);
    eng->updateParameters();
    EXPECT_EQ(eng->presence.Rv, KYM_PRESENCE::potLaw(0.0));

    for (int i = 0; i < 20000; ++i)
        eng->processSample(0.0);
    ASSERT_TRUE(eng->tonestage.stepFn == &KYM_TONESTAGE::step_null);
    eng->setParameterSlot(Slot::treble, 0.9);
    eng->updateParameters();
    EXPECT_EQ(eng->tonestage.treble, 0.9);
    EXPECT_EQ(eng->tonestage.bass, 0.5);
    EXPECT_EQ(eng->tonestage.fs, 88200.0);
    EXPECT_TRUE(eng->tonestage.stepFn == &KYM_TONESTAGE::step);
}

struct TaperCase
{
    double position, value;
};

class LevelTaper : public ::testing::TestWithParam<TaperCase>
{};

TEST_P(LevelTaper, MapsPosition)
{
    KYM eng;
    eng.setParameterSlot(Slot::level, GetParam().position);
    EXPECT_NEAR(eng.slots[Slot::level].value, GetParam().value, 1e-15) << GetParam().position;
}

INSTANTIATE_TEST_SUITE_P(Positions, LevelTaper,
                         ::testing::Values(TaperCase { 0.0, 0.0 }, TaperCase { 0.5, 0.094999999986225 },
                                           TaperCase { 1.0, 1.0 }, TaperCase { -0.5, 0.0 },
                                           TaperCase { 1.5, 1.0 })); // clamped

TEST(KYM, SegmentedTaper)
{
    KYM eng;
    eng.slots[Slot::drive].segTaper = 1;
    eng.setParameterSlot(Slot::drive, 0.25);
    EXPECT_EQ(eng.slots[Slot::drive].value, 0.2 * 0.25);
    eng.setParameterSlot(Slot::drive, 0.75);
    EXPECT_EQ(eng.slots[Slot::drive].value, 1.8 * 0.75 + (-0.8));
}

struct ChangeCase
{
    double from, to;
    bool raises;
};

class ChangedRule : public ::testing::TestWithParam<ChangeCase>
{};

TEST_P(ChangedRule, OnlyAboveOneNano)
{
    const ChangeCase& c = GetParam();
    auto eng = readyEngine();
    eng->setParameterSlot(Slot::drive, c.from);
    eng->updateParameters();
    const double rv = eng->drive.Rv;

    eng->setParameterSlot(Slot::drive, c.to);
    EXPECT_EQ(eng->slots[Slot::drive].value, c.to); // stored either way
    EXPECT_EQ(eng->slots[Slot::drive].changed != 0, c.raises) << c.from << " -> " << c.to;
    eng->updateParameters();
    EXPECT_EQ(eng->drive.Rv != rv, c.raises);
}

INSTANTIATE_TEST_SUITE_P(Deltas, ChangedRule,
                         ::testing::Values(ChangeCase { 0.0, 1e-9, false }, ChangeCase { 0.0, 0.5e-9, false },
                                           ChangeCase { 0.3, 0.3, false }, ChangeCase { 0.0, 1.5e-9, true },
                                           ChangeCase { 0.5, 0.5 - 2e-9, true }, ChangeCase { 0.2, 0.9, true }));

TEST(KYM, SetParameterSlotNeverClearsAFlag)
{
    KYM eng;
    eng.setParameterSlot(Slot::bass, 0.5); // same value: the construction's flag stays
    EXPECT_EQ(eng.slots[Slot::bass].changed, 1);
}

TEST(KYM, OutOfRangeSlotIndexIsIgnored)
{
    KYM eng;
    ParamSlot before[Slot::count];
    std::memcpy(before, eng.slots, sizeof before);
    eng.setParameterSlot(-1, 0.7);
    eng.setParameterSlot(Slot::count, 0.7);
    eng.setParameterSlot(1000000, 0.7);
    EXPECT_EQ(std::memcmp(before, eng.slots, sizeof before), 0);
}

TEST(KYM, RateChangeKeepsCapacitorsAndClearsNetworks)
{
    auto eng = readyEngine();
    for (int i = 0; i < 3000; ++i)
        eng->processSample(0.4 * std::sin(0.02 * i));

    const KYM_HIGHPASS* hps[3] = { &eng->inputHighpass, &eng->outputHighpass, &eng->finalHighpass };
    double xs[3], ys[3];
    for (int i = 0; i < 3; ++i)
    {
        xs[i] = hps[i]->x;
        ys[i] = hps[i]->y;
    }
    const double blendSt = eng->blend.st;
    ASSERT_NE(blendSt, 0.0);

    eng->updateSamplerate(176400.0);
    EXPECT_EQ(eng->fs, 176400.0);
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(hps[i]->x, xs[i]);
        EXPECT_EQ(hps[i]->y, ys[i]);
        EXPECT_NEAR(hps[i]->st, (xs[i] - ys[i]) * 1e-6 * 176400.0, 1e-14 * std::fabs(hps[i]->st)) << i;
    }
    EXPECT_EQ(eng->blend.st, blendSt);
    EXPECT_NEAR(eng->blend.G, 2.0 * 4.7e-8 * 176400.0, 1e-17);
    for (int k = 0; k <= 4; ++k)
    {
        EXPECT_EQ(eng->inputNetwork.x[k], 0.0);
        EXPECT_EQ(eng->inputNetwork.y[k], 0.0);
    }
    for (int k = 0; k <= 3; ++k)
    {
        EXPECT_EQ(eng->firstNetwork.x[k], 0.0);
        EXPECT_EQ(eng->secondNetwork.y[k], 0.0);
    }
    EXPECT_EQ(eng->inputNetwork.T, 1.0 / 176400.0);
    EXPECT_TRUE(eng->tonestage.stepFn == &KYM_TONESTAGE::step);
    EXPECT_EQ(eng->tonestage.fs, 176400.0);
    EXPECT_EQ(eng->drive.G2, 176400.0); // one farad, backward Euler
}

TEST(KYM, ResultIsTheNegatedFinalHighpass)
{
    auto eng = readyEngine();
    for (int i = 0; i < 2000; ++i)
    {
        const double r = eng->processSample(0.5 * std::sin(0.01 * i));
        ASSERT_EQ(r, 0.0 - eng->finalHighpass.y) << i;
        ASSERT_EQ(eng->dry, eng->inputHighpass.y);
        ASSERT_EQ(eng->finalHighpass.x, eng->current + 1e-25);
    }
}

// A zero final output comes back as +0.0, not -0.0.
TEST(KYM, ZeroResultIsPositiveZero)
{
    auto eng = readyEngine();
    // R = 0 and st = -1 make the final stage's output exactly +0.0 for this sample.
    eng->finalHighpass.R = 0.0;
    eng->finalHighpass.st = -1.0;
    const double r = eng->processSample(0.1);
    ASSERT_EQ(eng->finalHighpass.y, 0.0);
    ASSERT_FALSE(std::signbit(eng->finalHighpass.y));
    EXPECT_EQ(r, 0.0);
    EXPECT_FALSE(std::signbit(r));
}

// Every corner of the six controls at both engine rates: finite, bounded and,
// unless the level is at 0, audible.
class Corners : public ::testing::TestWithParam<double>
{};

TEST_P(Corners, SineStaysFiniteAndBounded)
{
    const double fs = GetParam();
    const int n = static_cast<int>(fs * 0.1);
    const int controls[6] = { Slot::level, Slot::bass, Slot::treble, Slot::drive, Slot::presence, Slot::blend };
    for (int mask = 0; mask < 64; ++mask)
    {
        auto eng = readyEngine(fs);
        for (int c = 0; c < 6; ++c)
            eng->setParameterSlot(controls[c], (mask >> c) & 1 ? 1.0 : 0.0);
        eng->updateParameters();
        eng->updateParameters();

        double peak = 0.0, energy = 0.0;
        bool finite = true;
        for (int i = 0; i < n; ++i)
        {
            const double r = eng->processSample(0.8 * std::sin(2.0 * M_PI * 110.0 * i / fs));
            finite = finite && std::isfinite(r);
            peak = std::max(peak, std::fabs(r));
            if (i >= n / 2)
                energy += r * r;
        }
        const double rms = std::sqrt(energy / (n - n / 2));
        const bool levelOn = mask & 1;
        SCOPED_TRACE(testing::Message() << "mask " << mask << " fs " << fs);
        EXPECT_TRUE(finite);
        EXPECT_LT(peak, 20.0); // about 6 at the loudest corner
        if (levelOn)
            EXPECT_GT(rms, 0.05); // about 0.24 at the quietest
        else
            EXPECT_LT(peak, 1e-20); // level 0 leaves only the 1e-25 offsets
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, Corners, ::testing::Values(88200.0, 176400.0));
