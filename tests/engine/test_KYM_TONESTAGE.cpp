#include "engine/KYM_TONESTAGE.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>

namespace
{

using cplx = std::complex<double>;

cplx prototypeResponse(double bass, double treble, double hz)
{
    double D[7], N[7];
    KYM_TONESTAGE::prototype(bass, treble, D, N);
    const cplx s(0.0, 2.0 * M_PI * hz);
    cplx num = 0.0, den = 0.0, sp = 1.0;
    for (int k = 0; k <= 6; ++k)
    {
        num += N[k] * sp;
        den += D[k] * sp;
        sp *= s;
    }
    return num / den;
}

// Response of an unnormalised digital set a0..a6, b0..b6 at hz. The sums
// cancel heavily at low frequencies, so they are formed in long double.
cplx digitalResponse(const double* coef, double fs, double hz)
{
    using lcplx = std::complex<long double>;
    const long double w = 2.0L * M_PIl * hz / fs;
    lcplx num = 0.0L, den = 0.0L;
    for (int k = 0; k <= 6; ++k)
    {
        const lcplx z = std::polar(1.0L, -w * k);
        den += static_cast<long double>(coef[k]) * z;
        num += static_cast<long double>(coef[7 + k]) * z;
    }
    const lcplx h = num / den;
    return cplx(static_cast<double>(h.real()), static_cast<double>(h.imag()));
}

void settle(KYM_TONESTAGE& t)
{
    for (int i = 0; i < 100000 && t.stepFn == &KYM_TONESTAGE::step; ++i)
        (t.*t.stepFn)();
    ASSERT_TRUE(t.stepFn == &KYM_TONESTAGE::step_null);
}

} // namespace

TEST(KYM_TONESTAGE, PrototypeConstantTermsAtThePotEnds)
{
    double D[7], N[7];
    KYM_TONESTAGE::prototype(0.0, 0.0, D, N);
    EXPECT_EQ(D[0], 1.0);
    EXPECT_EQ(N[1], -9.8042128027e-4);
    EXPECT_EQ(N[0], 0.0);
    EXPECT_EQ(N[6], 0.0);

    KYM_TONESTAGE::prototype(1.0, 0.0, D, N);
    EXPECT_NEAR(D[0], 1.098039186851, 1e-15);
}

// The polynomials at the middle setting, divided by D0, against the
// coefficients worked out by hand from the tone network's components.
TEST(KYM_TONESTAGE, PrototypeAtTheMiddle)
{
    double D[7], N[7];
    KYM_TONESTAGE::prototype(0.5, 0.5, D, N);
    const double d[7] = {
        1, 1.062615730e-2, 2.519498280e-5, 1.932946839e-8, 5.642378925e-12, 5.032262513e-16, 3.168350504e-22
    };
    const double n[6] = { 0, -5.607503101e-3, -1.765998494e-5, -1.530507850e-8, -4.917809736e-12, -4.896645784e-16 };
    for (int k = 0; k <= 6; ++k)
        EXPECT_NEAR(D[k] / D[0], d[k], 1e-9 * d[k]) << "D" << k;
    for (int k = 1; k <= 5; ++k)
        EXPECT_NEAR(N[k] / D[0], n[k], -1e-9 * n[k]) << "N" << k;
}

struct MagnitudeCase
{
    double bass, treble, hz, magnitude, tolerance;
};

class ToneMagnitude : public ::testing::TestWithParam<MagnitudeCase>
{};

TEST_P(ToneMagnitude, Prototype)
{
    const MagnitudeCase& c = GetParam();
    EXPECT_NEAR(std::abs(prototypeResponse(c.bass, c.treble, c.hz)), c.magnitude, c.tolerance)
        << "bass " << c.bass << " treble " << c.treble << " at " << c.hz << " Hz";
}

INSTANTIATE_TEST_SUITE_P(Settings, ToneMagnitude,
                         ::testing::Values(MagnitudeCase { 0.5, 0.5, 100.0, 0.749, 0.0006 },
                                           MagnitudeCase { 0.5, 0.5, 1000.0, 0.905, 0.0006 },
                                           MagnitudeCase { 0.5, 0.5, 10000.0, 0.978, 0.0006 },
                                           MagnitudeCase { 1.0, 0.0, 100.0, 2.33, 0.006 },
                                           MagnitudeCase { 1.0, 0.0, 10000.0, 0.117, 0.0006 },
                                           MagnitudeCase { 0.0, 1.0, 100.0, 0.188, 0.0006 },
                                           MagnitudeCase { 0.0, 1.0, 10000.0, 7.84, 0.006 },
                                           MagnitudeCase { 1.0, 1.0, 100.0, 2.11, 0.006 },
                                           MagnitudeCase { 1.0, 1.0, 10000.0, 7.89, 0.006 }));

TEST(KYM_TONESTAGE, MiddleSettingIsInverting)
{
    for (double hz = 100.0; hz <= 10000.0; hz *= 1.25)
    {
        const double deg = std::arg(prototypeResponse(0.5, 0.5, hz)) * 180.0 / M_PI;
        EXPECT_LT(180.0 - std::fabs(deg), 16.0) << hz << " Hz";
    }
}

// The targets are the bilinear transform of the prototype: the digital
// response equals the analogue one at the warped frequency, and DC is blocked.
// Below a few hundred hertz the coefficients' own rounding (they cancel over
// about eleven decades there) dominates, so the check starts at 500 Hz.
TEST(KYM_TONESTAGE, TargetsAreTheBilinearTransform)
{
    const double settings[][2] = { { 0.0, 0.0 }, { 0.5, 0.5 }, { 1.0, 0.0 }, { 0.0, 1.0 }, { 1.0, 1.0 }, { 0.2, 0.7 } };
    for (double fs : { 88200.0, 176400.0 })
        for (const auto& st : settings)
        {
            KYM_TONESTAGE t;
            t.fs = fs;
            t.bass = st[0];
            t.treble = st[1];
            t.updatecoefficients();
            EXPECT_EQ(t.Tpow[0], 1.0 / fs);
            EXPECT_EQ(t.Tpow[5], t.Tpow[4] * t.Tpow[0]);

            double sumB = 0.0, maxB = 0.0;
            for (int k = 0; k <= 6; ++k)
            {
                sumB += t.targetCoef[7 + k];
                maxB = std::max(maxB, std::fabs(t.targetCoef[7 + k]));
            }
            EXPECT_LT(std::fabs(sumB), 1e-12 * maxB) << "DC, fs " << fs;

            for (double hz : { 500.0, 2000.0, 5000.0, 20000.0 })
            {
                const double w = 2.0 * M_PI * hz / fs;
                const double warped = fs / M_PI * std::tan(w / 2.0);
                const cplx a = prototypeResponse(st[0], st[1], warped);
                const cplx d = digitalResponse(t.targetCoef, fs, hz);
                EXPECT_LT(std::abs(d - a), 1e-6 * std::abs(a))
                    << "bass " << st[0] << " treble " << st[1] << " fs " << fs << " at " << hz;
            }
        }
}

TEST(KYM_TONESTAGE, ConstructionStartsARampAt176400)
{
    KYM_TONESTAGE t;
    EXPECT_EQ(t.fs, 176400.0);
    EXPECT_EQ(t.bass, 0.5);
    EXPECT_EQ(t.treble, 0.5);
    EXPECT_EQ(t.rampFactor, 0.001);
    EXPECT_TRUE(t.stepFn == &KYM_TONESTAGE::step);
    EXPECT_NEAR(t.targetCoef[3], -4.215e-13, 0.001e-13);
    EXPECT_EQ(t.rTrebleA, 50000.3);
    EXPECT_EQ(t.rBassB, 50000.3);

    // The first step hands over 0.001 of the targets, whose normalised set is
    // the targets' own.
    (t.*t.stepFn)();
    EXPECT_EQ(t.section.a[0], 1.0);
    for (int i = 1; i <= 6; ++i)
        EXPECT_NEAR(t.section.a[i], t.targetCoef[i] / t.targetCoef[0], 1e-12 * std::fabs(t.section.a[i])) << i;
    for (int i = 0; i <= 6; ++i)
        EXPECT_NEAR(t.section.b[i], t.targetCoef[7 + i] / t.targetCoef[0], 1e-12 * std::fabs(t.section.b[i])) << i;

    int steps = 1;
    while (t.stepFn == &KYM_TONESTAGE::step && steps < 100000)
    {
        (t.*t.stepFn)();
        ++steps;
    }
    EXPECT_TRUE(t.stepFn == &KYM_TONESTAGE::step_null);
    // 0.999^n closes a3 from -4.2e-13 to within 1e-20 after about 17500 steps
    EXPECT_GT(steps, 17000);
    EXPECT_LT(steps, 18000);
    EXPECT_LE(std::fabs(t.rampedCoef[3] - t.targetCoef[3]), 1e-20);
    EXPECT_LE(std::fabs(t.rampedCoef[10] - t.targetCoef[10]), 1e-20);
}

TEST(KYM_TONESTAGE, SameValuesAgainSettleAtTheNextStepUntouched)
{
    KYM_TONESTAGE t;
    settle(t);
    double x = 0.0;
    for (int i = 0; i < 64; ++i)
    {
        x = std::sin(0.1 * i);
        (t.section.*t.section.processFn)(x);
    }

    const libqor::dsp::TDFII<6> sectionBefore = t.section;
    double rampedBefore[14];
    std::memcpy(rampedBefore, t.rampedCoef, sizeof rampedBefore);

    t.updatecoefficients();
    EXPECT_TRUE(t.stepFn == &KYM_TONESTAGE::step);
    (t.*t.stepFn)();
    EXPECT_TRUE(t.stepFn == &KYM_TONESTAGE::step_null);
    EXPECT_EQ(std::memcmp(rampedBefore, t.rampedCoef, sizeof rampedBefore), 0);
    EXPECT_EQ(std::memcmp(sectionBefore.a, t.section.a, sizeof t.section.a), 0);
    EXPECT_EQ(std::memcmp(sectionBefore.b, t.section.b, sizeof t.section.b), 0);
    EXPECT_EQ(std::memcmp(sectionBefore.s, t.section.s, sizeof t.section.s), 0);
}

// A rate change glides from the old set: one step closes 0.1 % of the
// distance, and the section's states carry over.
TEST(KYM_TONESTAGE, RateChangeGlidesAndKeepsStates)
{
    KYM_TONESTAGE t;
    settle(t);
    for (int i = 0; i < 64; ++i)
    {
        double x = std::sin(0.1 * i);
        (t.section.*t.section.processFn)(x);
    }
    double oldRamped[14];
    std::memcpy(oldRamped, t.rampedCoef, sizeof oldRamped);
    double states[7];
    std::memcpy(states, t.section.s, sizeof states);

    t.fs = 88200.0;
    t.updatecoefficients();
    EXPECT_EQ(std::memcmp(oldRamped, t.rampedCoef, sizeof oldRamped), 0);
    (t.*t.stepFn)();
    EXPECT_TRUE(t.stepFn == &KYM_TONESTAGE::step);
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ(t.rampedCoef[i], oldRamped[i] + (t.targetCoef[i] - oldRamped[i]) * 0.001) << i;
    EXPECT_EQ(std::memcmp(states, t.section.s, sizeof states), 0);
    for (int i = 1; i <= 6; ++i)
        EXPECT_EQ(t.section.a[i], t.rampedCoef[i] / t.rampedCoef[0]) << i;
}

// Polynomials and transform are evaluated in the code's order, left to right.
TEST(KYM_TONESTAGE, EvaluationOrderBitForBit)
{
    const double x = 0.3, y = 0.7;
    double D[7], N[7];
    KYM_TONESTAGE::prototype(x, y, D, N);
    const double d3 = 6.2287185874e-9 + 1.0962767022e-8 * y + -1.3210494481e-8 * (y * y) + 5.7260030912e-8 * x
        + -1.8319014220e-8 * (x * y) + 8.6046053124e-9 * (x * (y * y)) + -5.7583484807e-8 * (x * x)
        + 8.5183308279e-9 * ((x * x) * y) + 1.1960780796e-9 * ((x * x) * (y * y));
    EXPECT_EQ(D[3], d3);

    KYM_TONESTAGE t;
    t.fs = 88200.0;
    t.bass = x;
    t.treble = y;
    t.updatecoefficients();
    const double T = 1.0 / 88200.0;
    double Tp[7];
    Tp[0] = 1.0;
    for (int i = 1; i <= 6; ++i)
        Tp[i] = (i == 1) ? T : Tp[i - 1] * T;
    // a0: m(0, k) = 1; b6: m(6, k) = (-1)^k
    double a0 = 0.0, b6 = 0.0, two = 1.0;
    for (int k = 0; k <= 6; ++k)
    {
        a0 = a0 + 1020000.3 * D[k] * two * Tp[6 - k] * 1.0;
        b6 = b6 + 1020000.3 * N[k] * two * Tp[6 - k] * (k % 2 ? -1.0 : 1.0);
        two *= 2.0;
    }
    EXPECT_EQ(t.targetCoef[0], a0);
    EXPECT_EQ(t.targetCoef[13], b6);
}
