#include "engine/OpampStage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <vector>

namespace
{

static_assert(!std::is_copy_constructible_v<KYM_PRESENCE> && !std::is_copy_assignable_v<KYM_DRIVE>);
static_assert(std::is_standard_layout_v<KYM_PRESENCE>);
static_assert(offsetof(KYM_PRESENCE, core) == 4 * sizeof(double));
static_assert(offsetof(KYM_PRESENCE, C2) == 11 * sizeof(double));
static_assert(offsetof(KYM_PRESENCE, s1) == 15 * sizeof(double));
static_assert(offsetof(KYM_PRESENCE, gm) == 18 * sizeof(double));
static_assert(offsetof(KYM_PRESENCE, coeffs) == 19 * sizeof(double));
static_assert(offsetof(KYM_PRESENCE, table) == 40 * sizeof(double));

template <class Stage>
bool allValuesZero(const Stage& s)
{
    const double* first = &s.in;
    for (const double* p = first; p < reinterpret_cast<const double*>(&s.table); ++p)
        if (*p != 0.0 || std::signbit(*p))
            return false;
    return true;
}

TEST(OpampStage, BuiltZeroWithItsOwnTable)
{
    KYM_PRESENCE p;
    KYM_DRIVE d;
    EXPECT_TRUE(allValuesZero(p));
    EXPECT_TRUE(allValuesZero(d));
    ASSERT_NE(p.table, nullptr);
    ASSERT_NE(d.table, nullptr);
    EXPECT_NE(p.table, d.table);
    EXPECT_NE(p.table->table, d.table->table);
    EXPECT_EQ(p.table->count, 8001);
    EXPECT_EQ(d.table->lookup(0.0), 1.09999999997612e-05);
}

TEST(OpampStage, PotLaw)
{
    EXPECT_EQ(KYM_DRIVE::potLaw(0.0), 103300.0);
    EXPECT_EQ(KYM_DRIVE::potLaw(0.5), 13300.000015300004);
    EXPECT_NEAR(KYM_DRIVE::potLaw(1.0), 3300.00001, 5e-6);
}

TEST(OpampStage, CircuitValuesAndConductancesAt88200)
{
    KYM_PRESENCE p;
    KYM_DRIVE d;
    p.init(88200.0, 0.5);
    d.init(88200.0, 0.5);

    const struct
    {
        const char* what;
        double got, expected;
    } cases[] = {
        { "Rv", d.Rv, 13300.000015300004 },
        { "drive G1", d.G1, 1.9404e-5 },
        { "drive G2", d.G2, 88200.0 },
        // k*Cp/T; the figure 8.82e-4 is this double rounded.
        { "drive G3", d.G3, 0.0008819999999999999 },
        { "presence G1", p.G1, 4.4e-10 * 88200.0 },
        { "presence G2", p.G2, 0.001764 },
        { "presence G3", p.G3, 0.0017639999999999997 },
        { "presence C2", p.C2, 1e-8 },
        { "drive C2", d.C2, 1.0 },
        { "Cp", p.Cp, 9.999999999999999e-9 },
        { "Cp below 1e-8", p.Cp, std::nextafter(1e-8, 0.0) },
        // Products of the fixed values.
        { "A0", d.gm * d.Rp, 200000.0 },
        { "Rf*Rp*gm", d.Rf * d.Rp * d.gm, 66000000000.00001 },
        { "Rf*gm*Ro", d.Rf * d.gm * d.Ro, 6220353.454107789 },
        { "Ro*gm", d.Ro * d.gm, 18.849555921538755 },
        { "Rf*gm", d.Rf * d.gm, 62203.53454107789 },
        { "Rf*Rp", d.Rf * d.Rp, 350140874802.16986 },
        { "Rf*Rp*Ro", d.Rf * d.Rp * d.Ro, 35014087480216.984 },
        { "Rf*Ro", d.Rf * d.Ro, 3.3e7 },
        { "Rp*Ro", d.Rp * d.Ro, 106103295.39459692 },
        // N1 carries Rf*A0 as the product Rf*Rp*gm above gives it.
        { "N1", d.coeffs[KYM_DRIVE::cN1], 66000000000.00001 * (1 + d.Rv * d.G2) },
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.got, c.expected) << c.what;
    EXPECT_EQ(p.G1, 3.8808e-05);
}

// Reference values from a separate double-precision evaluation of the
// circuit equations in the same order (fs 88200, pot 0.5).
const double presenceBlock[21] = {
    -0x1.edcbb0f800000p+35, 0x1.f00219c7f125ep-27, 0x1.d29e9a0e65bfep+29, 0x1.f00219c7f125ep-27, 0x1.77e4133bf549bp+40,
    0x1.f00219c7f125ep-27,  0x1.5fd2a5d9d59d7p+27, 0x1.f00219c7f125ep-27, 0x1.592a7ef9db22dp+10, 0x1.1c3be4d0797b9p-10,
    0x1.c6c8000000000p+15,  0x1.1c3be4d0797b9p-10, 0x1.cbec69ee31a45p+9,  0x1.1c3be4d0797b9p-10, 0x1.1cfc8d3f9a24fp-10,
    -0x1.ecb010091ec4fp+22, 0x1.1cfc8d3f9a24fp-10, 0x1.51ba1b8a77c38p+8,  0x1.1cfc8d3f9a24fp-10, 0x1.776113478d53dp+4,
    0x1.4ee5d0a9c184ep-5,
};
const double driveBlock[21] = {
    -0x1.ecd76c8c00000p+35, 0x1.453f854dd1afep-51, 0x1.1d660e00c68acp+55, 0x1.453f854dd1afep-51, 0x1.0c9c83a3f643dp+66,
    0x1.453f854dd1afep-51,  0x1.ae5efb9cf66ebp+52, 0x1.453f854dd1afep-51, 0x1.722a7ef9db22dp+9,  0x1.d0b71dc6027b3p-36,
    0x1.52d6a3b900000p+41,  0x1.d0b71dc6027b3p-36, 0x1.198fbb6a13008p+35, 0x1.d0b71dc6027b3p-36, 0x1.d184ad2d0f578p-36,
    -0x1.6013062a0e99fp+48, 0x1.d184ad2d0f578p-36, 0x1.02d1c5684c01ep+33, 0x1.d184ad2d0f578p-36, 0x1.17ade68565d8fp+30,
    0x1.d4a6abe328c12p-31,
};

TEST(OpampStage, CoefficientBlockBitForBit)
{
    KYM_PRESENCE p;
    KYM_DRIVE d;
    p.init(88200.0, 0.5);
    d.init(88200.0, 0.5);
    for (int i = 0; i < 21; ++i)
    {
        EXPECT_EQ(p.coeffs[i], presenceBlock[i]) << "presence #" << i + 1;
        EXPECT_EQ(d.coeffs[i], driveBlock[i]) << "drive #" << i + 1;
    }
}

// Sine of 0.3 over 40 samples for 64 samples, then 32 samples each of +2 and -2
// (driven into both limits), fs 176400, pot 0.25.
template <class Stage>
std::vector<double> runReferenceSignal(Stage& s)
{
    s.init(176400.0, 0.25);
    std::vector<double> out;
    for (int i = 0; i < 128; ++i)
    {
        const double x = i < 64 ? 0.3 * std::sin(2 * M_PI * i / 40.0) : (i < 96 ? 2.0 : -2.0);
        out.push_back(s.process(x));
    }
    return out;
}

TEST(OpampStage, SampleUpdateBitForBit)
{
    const struct
    {
        bool presence;
        double y9, y63, y95, y127, s1, s2, s3;
    } cases[] = {
        { true, 0x1.5d50b227151b0p+0, 0x1.e2a5405f347dfp-2, 0x1.7cddd3c15b2d2p+1, -0x1.7bd0bccebf3bap+1,
          -0x1.b9050f15ad678p-13, -0x1.be2b5dc8b4ea9p-14, -0x1.a1fef5ce067fap-7 },
        { false, 0x1.7e33ab76830c2p+0, 0x1.66dcdb255170bp-1, 0x1.7cdb55b466e7ep+1, -0x1.7bcffd604bcd3p+1,
          -0x1.bcd802dd66c84p-14, 0x1.dcda407f00000p-19, -0x1.572154bdad7c6p-8 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.presence ? "presence" : "drive");
        KYM_PRESENCE p;
        KYM_DRIVE d;
        const std::vector<double> y = c.presence ? runReferenceSignal(p) : runReferenceSignal(d);
        const double s1 = c.presence ? p.s1 : d.s1;
        const double s2 = c.presence ? p.s2 : d.s2;
        const double s3 = c.presence ? p.s3 : d.s3;
        EXPECT_EQ(y[9], c.y9);
        EXPECT_EQ(y[63], c.y63);
        EXPECT_EQ(y[95], c.y95);
        EXPECT_EQ(y[127], c.y127);
        EXPECT_EQ(s1, c.s1);
        EXPECT_EQ(s2, c.s2);
        EXPECT_EQ(s3, c.s3);
    }
}

TEST(OpampStage, SampleUpdateStoresItsNodes)
{
    KYM_DRIVE d;
    d.init(176400.0, 0.5);
    for (int i = 0; i < 50; ++i)
        d.process(0.5);
    const double w = d.process(0.5);
    EXPECT_EQ(d.in, 0.5);
    EXPECT_EQ(d.out, w);
    // Driven into the upper limit: core holds the table's output, not its input.
    EXPECT_EQ(d.core, 2.976274);
    EXPECT_GT(d.fb, 0.0);
    EXPECT_GT(d.leg, 0.0);
    EXPECT_LT(d.leg, d.fb);
}

template <class Stage>
double smallSignalGain(double pot, double hz)
{
    const double fs = 176400.0;
    Stage s;
    s.init(fs, pot);
    const double w = 2 * M_PI * hz / fs;
    const int settle = 88200;
    const int measure = 17640; // 10 periods at 100 Hz, 500 at 5 kHz
    for (int n = 0; n < settle; ++n)
        s.process(0.001 * std::sin(w * n));
    double re = 0, im = 0;
    for (int n = settle; n < settle + measure; ++n)
    {
        const double y = s.process(0.001 * std::sin(w * n));
        re += y * std::cos(w * n);
        im += y * std::sin(w * n);
    }
    return 2.0 * std::hypot(re, im) / measure / 0.001;
}

TEST(OpampStage, SmallSignalGainAt176400)
{
    const struct
    {
        bool presence;
        double pot, hz, gain;
    } cases[] = {
        { false, 0.0, 100, 4.19 },  { false, 0.5, 100, 25.8 },  { false, 1.0, 100, 100.8 }, { false, 0.0, 5000, 1.9 },
        { false, 0.5, 5000, 10.0 }, { false, 1.0, 5000, 37.2 }, { true, 0.0, 100, 2.4 },    { true, 0.5, 100, 2.4 },
        { true, 1.0, 100, 2.4 },    { true, 0.0, 5000, 1.9 },   { true, 0.5, 5000, 10.2 },  { true, 1.0, 5000, 29.2 },
    };
    for (const auto& c : cases)
    {
        const double g =
            c.presence ? smallSignalGain<KYM_PRESENCE>(c.pot, c.hz) : smallSignalGain<KYM_DRIVE>(c.pot, c.hz);
        EXPECT_NEAR(g, c.gain, 0.03 * c.gain)
            << (c.presence ? "presence" : "drive") << " pot " << c.pot << " at " << c.hz << " Hz";
    }
}

TEST(OpampStage, InitKeepsNodesAndStates)
{
    KYM_PRESENCE p;
    p.init(88200.0, 0.2);
    for (int i = 0; i < 300; ++i)
        p.process(0.1 * std::sin(i * 0.05));
    double before[9];
    std::memcpy(before, &p.in, 5 * sizeof(double));
    before[5] = p.s1, before[6] = p.s2, before[7] = p.s3;
    const double oldNx = p.coeffs[KYM_PRESENCE::cNx];

    p.init(176400.0, 0.9);
    EXPECT_EQ(std::memcmp(before, &p.in, 5 * sizeof(double)), 0);
    EXPECT_EQ(p.s1, before[5]);
    EXPECT_EQ(p.s2, before[6]);
    EXPECT_EQ(p.s3, before[7]);
    EXPECT_NE(p.coeffs[KYM_PRESENCE::cNx], oldNx);
    EXPECT_EQ(p.Rv, KYM_PRESENCE::potLaw(0.9));
}

TEST(OpampStage, NonFiniteInputStaysInsideTheTable)
{
    // Nothing but the sanitizers can see an out-of-range read; the core is
    // clamped to the table's range whatever arrives.
    KYM_DRIVE d;
    d.init(88200.0, 1.0);
    for (double x : { 1e300, -1e300, HUGE_VAL, -HUGE_VAL, std::nan("") })
    {
        d.process(x);
        EXPECT_TRUE(d.core == 2.976274 || d.core == -2.968113) << x;
    }
}

} // namespace
