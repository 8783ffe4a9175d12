#include "engine/KYM.h"
#include "engine/KYM_HIGHPASS.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(KYM_HIGHPASS, EngineStagesAt88200)
{
    KYM eng;
    eng.updateSamplerate(88200.0);

    struct Row
    {
        const KYM_HIGHPASS* hp;
        double fc, R, k;
    };
    const Row rows[] = {
        { &eng.inputHighpass, 7.162, 22222.13670649195, 0.0005099458675473155 },
        { &eng.outputHighpass, 15.0, 10610.32953945969, 0.0010674283090665972 },
        { &eng.finalHighpass, 13.386, 11889.6565883681, 0.0009526824436256138 },
    };
    for (const Row& r : rows)
    {
        EXPECT_EQ(r.hp->fc, r.fc);
        EXPECT_EQ(r.hp->C, 1e-6);
        EXPECT_EQ(r.hp->R, r.R) << r.fc;
        EXPECT_NEAR(r.hp->G, 0.0882, 1e-16) << r.fc;
        EXPECT_NEAR(r.hp->k, r.k, 1e-14 * r.k) << r.fc;
        EXPECT_EQ(r.hp->T, 1.0 / 88200.0);
    }
}

// Backward Euler of sRC/(1 + sRC): a unit step decays as a^n, a = RG/(RG + 1).
TEST(KYM_HIGHPASS, StepResponseIsGeometric)
{
    KYM_HIGHPASS hp;
    hp.init(88200.0, 15.0, 10610.32953945969);
    const double a = hp.R * hp.G / (hp.R * hp.G + 1.0);
    double expected = 1.0;
    for (int n = 1; n <= 20000; ++n)
    {
        expected *= a;
        const double y = hp.process(1.0);
        ASSERT_NEAR(y, expected, 1e-11) << n;
    }
    EXPECT_EQ(hp.x, 1.0);
}

// A rate change keeps the capacitor voltage x - y: st is rescaled to the new G.
TEST(KYM_HIGHPASS, RateChangeKeepsCapacitorVoltage)
{
    KYM_HIGHPASS hp;
    hp.init(88200.0, 7.162, 22222.13670649195);
    for (int i = 0; i < 300; ++i)
        hp.process(std::sin(0.003 * i) + 0.5);
    const double x = hp.x, y = hp.y;

    hp.init(176400.0, 7.162, 22222.13670649195);
    EXPECT_EQ(hp.x, x);
    EXPECT_EQ(hp.y, y);
    EXPECT_NEAR(hp.G, 0.1764, 1e-16);
    EXPECT_NEAR(hp.st, (x - y) * 1e-6 * 176400.0, 1e-14 * std::fabs(hp.st));

    // so a held input carries on decaying from y instead of jumping
    const double a = hp.R * hp.G / (hp.R * hp.G + 1.0);
    EXPECT_NEAR(hp.process(x), y * a, 1e-12 * std::fabs(y));
}
