#include "engine/KYM.h"
#include "engine/KYM_BLEND.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(KYM_BLEND, EngineRecordAt88200)
{
    KYM eng;
    eng.updateSamplerate(88200.0);
    eng.updateParameters();
    EXPECT_NEAR(eng.blend.G, 0.008290800000000001, 1e-15 * 0.0082908);
    EXPECT_EQ(eng.blend.C, 4.7000000000000004e-08);
    EXPECT_EQ(eng.blend.R1, 100000.0); // blend 0 by default
    EXPECT_EQ(eng.blend.R2, 0.0);
    EXPECT_EQ(eng.blend.R3, 100000.0);
    EXPECT_NEAR(eng.blend.level, 0.094999999986225, 1e-14);
}

// Drive the record with a dry and a driven signal that differ, so the
// capacitor state is non-trivial when the output is checked.
class BlendEnds : public ::testing::Test
{
protected:
    void run(double blendPosition, void (*check)(const KYM_BLEND& before, double D, double W, double out))
    {
        KYM_BLEND b;
        b.update(blendPosition, 1.0, 88200.0);
        for (int i = 0; i < 2000; ++i)
        {
            const double D = std::sin(0.002 * i) * 0.7;
            const double W = std::sin(0.031 * i + 1.0) * 1.3;
            const KYM_BLEND before = b;
            const double out = b.process(D, W);
            check(before, D, W, out);
        }
    }
};

TEST_F(BlendEnds, AtTenTheOutputIsTheDryTap)
{
    run(1.0, [](const KYM_BLEND&, double D, double, double out) { ASSERT_NEAR(out, D, 1e-15 * (1.0 + std::fabs(D))); });
}

TEST_F(BlendEnds, AtZeroTheCapacitorFeedsTheOutputNodeDirectly)
{
    run(0.0, [](const KYM_BLEND& p, double D, double W, double out) {
        const double expected = p.R3 * (p.R1 * p.G * W + p.R1 * p.st + D) / (p.R3 * p.R1 * p.G + p.R3 + p.R1);
        ASSERT_NEAR(out, expected, 1e-13 * (1.0 + std::fabs(expected)));
    });
}

// At DC the capacitor is open: the output is the dry tap through the R1/R3 divider.
class BlendDc : public ::testing::TestWithParam<double>
{};

TEST_P(BlendDc, DryDividerAtDc)
{
    const double blendPosition = GetParam();
    KYM_BLEND b;
    b.update(blendPosition, 1.0, 88200.0);
    double out = 0.0;
    for (int i = 0; i < 88200; ++i)
        out = b.process(1.0, 0.3);
    const double R1 = (1.0 - blendPosition) * 100000.0;
    EXPECT_NEAR(out, 100000.0 / (R1 + 100000.0), 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Positions, BlendDc, ::testing::Values(0.0, 0.25, 0.5, 0.9, 1.0));

TEST(KYM_BLEND, UpdateKeepsTheCapacitorState)
{
    KYM_BLEND b;
    b.update(0.3, 0.5, 88200.0);
    for (int i = 0; i < 100; ++i)
        b.process(0.1, std::sin(0.1 * i));
    const double st = b.st;
    ASSERT_NE(st, 0.0);
    b.update(0.8, 0.2, 176400.0);
    EXPECT_EQ(b.st, st);
    EXPECT_EQ(b.level, 0.2);
    EXPECT_NEAR(b.G, 2.0 * 4.7e-8 * 176400.0, 1e-17);
}
