#include "engine/DFI.h"
#include "engine/KYM.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>

namespace
{

void expectRelNear(double actual, double expected, double rel, const char* what, int i)
{
    EXPECT_NEAR(actual, expected, rel * std::fabs(expected)) << what << " [" << i << "]";
}

} // namespace

TEST(DFIBilinearTerms, ThirdOrderRows)
{
    constexpr auto c = bilinearTerms<3>();
    const double expected[4][4] = {
        { 1, 3, 3, 1 },   // (1 + z^-1)^3
        { 1, 1, -1, -1 }, // (1 - z^-1)(1 + z^-1)^2
        { 1, -1, -1, 1 }, // (1 - z^-1)^2(1 + z^-1)
        { 1, -3, 3, -1 }, // (1 - z^-1)^3
    };
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(c[i][k], expected[i][k]) << i << "," << k;
}

TEST(DFI, InputNetworkStoredSetAt88200)
{
    DFI<4> net;
    net.setup(88200.0, KYM::inputNetworkD, KYM::inputNetworkN);

    // b4..b0, a4..a1, 1/a0 (T^4 scaling of the transform)
    const double expected[10] = {
        1.8012530814694028e-12, -7.2282797047063776e-12, 1.0882061746613313e-11,  -7.284348007293614e-12,
        1.829312883917281e-12,  1.531953006476461e-12,   -6.6809704941677695e-12, 1.0873289166886192e-11,
        -7.831657085637033e-12, 474521590347.98083,
    };
    for (int i = 0; i < 10; ++i)
        expectRelNear(net.coef[i], expected[i], 1e-14, "coef", i);
    EXPECT_EQ(net.T, 1.0 / 88200.0);
    EXPECT_EQ(net.b(0), net.coef[4]);
    EXPECT_EQ(net.a(1), net.coef[8]);
    EXPECT_EQ(net.invA0(), net.coef[9]);
}

// Constant input settles at the network's DC gain.
template <int N>
double settledOutput(const double (&d)[N + 1], const double (&n)[N + 1])
{
    DFI<N> net;
    net.setup(88200.0, d, n);
    double last = 0.0;
    for (int i = 0; i < 88200; ++i) // one second: the slowest pole is long gone
        last = net.process(1.0);
    return last;
}

struct SettleCase
{
    const char* name;
    double (*run)();
    double gain;
    double tolerance; // absolute, for input 1
};

class DFISettles : public ::testing::TestWithParam<SettleCase>
{};

TEST_P(DFISettles, ToDcGain)
{
    const SettleCase& c = GetParam();
    EXPECT_NEAR(c.run(), c.gain, c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Networks, DFISettles,
    ::testing::Values(
        // the input network's coefficients cancel over eight decades at DC
        SettleCase { "input", [] { return settledOutput<4>(KYM::inputNetworkD, KYM::inputNetworkN); }, 0.0, 1e-7 },
        SettleCase { "first", [] { return settledOutput<3>(KYM::firstNetworkD, KYM::firstNetworkN); }, 0.6875, 1e-9 },
        SettleCase { "second", [] { return settledOutput<3>(KYM::secondNetworkD, KYM::secondNetworkN); }, 1.0, 1e-9 }),
    [](const auto& info) { return std::string(info.param.name); });

// Run a network, set it up again (same or other rate) and check what the
// set-up leaves behind.
template <int N>
void checkResetup(const double (&d)[N + 1], const double (&n)[N + 1])
{
    DFI<N> net;
    net.setup(88200.0, d, n);
    double before[2 * N + 2];
    std::memcpy(before, net.coef, sizeof before);
    for (int i = 0; i < 500; ++i)
        net.process(std::sin(0.01 * i));

    net.setup(88200.0, d, n);
    EXPECT_EQ(std::memcmp(before, net.coef, sizeof before), 0) << "order " << N;
    for (int k = 0; k <= N; ++k)
    {
        EXPECT_EQ(net.x[k], 0.0) << "order " << N << " x" << k;
        EXPECT_EQ(net.y[k], 0.0) << "order " << N << " y" << k;
    }

    for (int i = 0; i < 500; ++i)
        net.process(std::sin(0.01 * i));
    net.setup(176400.0, d, n);
    const double u = 0.3;
    const double first = net.process(u);
    EXPECT_NEAR(first, net.b(0) * (u + 1e-25) / (1.0 / net.invA0()), 1e-14 * std::fabs(first) + 1e-300)
        << "order " << N;
    EXPECT_EQ(net.x[0], u + 1e-25);
    EXPECT_EQ(net.x[1], 0.0);
}

TEST(DFI, SetupClearsHistoriesAndKeepsSameRateCoefficients)
{
    checkResetup<4>(KYM::inputNetworkD, KYM::inputNetworkN);
    checkResetup<3>(KYM::firstNetworkD, KYM::firstNetworkN);
    checkResetup<3>(KYM::secondNetworkD, KYM::secondNetworkN);
}

// The digital response equals the prototype at the bilinear-warped frequency.
TEST(DFI, ResponseMatchesPrototypeAtWarpedFrequency)
{
    const double fs = 88200.0;
    DFI<3> net;
    net.setup(fs, KYM::firstNetworkD, KYM::firstNetworkN);

    for (double f : { 50.0, 1000.0, 8000.0, 30000.0 })
    {
        const double w = 2.0 * M_PI * f / fs;
        std::complex<double> num = 0.0, den = 1.0 / net.invA0();
        for (int k = 0; k <= 3; ++k)
            num += net.b(k) * std::polar(1.0, -w * k);
        for (int k = 1; k <= 3; ++k)
            den += net.a(k) * std::polar(1.0, -w * k);
        const std::complex<double> digital = num / den;

        const std::complex<double> s(0.0, 2.0 * fs * std::tan(w / 2.0));
        std::complex<double> pn = 0.0, pd = 0.0, sp = 1.0;
        for (int k = 0; k <= 3; ++k)
        {
            pn += KYM::firstNetworkN[k] * sp;
            pd += KYM::firstNetworkD[k] * sp;
            sp *= s;
        }
        const std::complex<double> analogue = pn / pd;
        EXPECT_NEAR(std::abs(digital - analogue), 0.0, 1e-9 * std::abs(analogue)) << f << " Hz";
    }
}

// The coefficient sums are evaluated exactly as written: i = 0..N in order,
// each term d_i * 2^i * T^(N-i) * c(i, k) multiplied left to right.
TEST(DFI, CoefficientsFollowTheWrittenSumBitForBit)
{
    const double fs = 176400.0;
    DFI<3> net;
    net.setup(fs, KYM::secondNetworkD, KYM::secondNetworkN);

    const double T = 1.0 / fs;
    const double Tp[4] = { 1.0, T, T * T, T * T * T };
    const double c[4][4] = { { 1, 3, 3, 1 }, { 1, 1, -1, -1 }, { 1, -1, -1, 1 }, { 1, -3, 3, -1 } };
    const double* d = KYM::secondNetworkD;
    const double* n = KYM::secondNetworkN;
    double a[4], b[4];
    for (int k = 0; k < 4; ++k)
    {
        a[k] = 0.0;
        a[k] = a[k] + d[0] * 1.0 * Tp[3] * c[0][k];
        a[k] = a[k] + d[1] * 2.0 * Tp[2] * c[1][k];
        a[k] = a[k] + d[2] * 4.0 * Tp[1] * c[2][k];
        a[k] = a[k] + d[3] * 8.0 * Tp[0] * c[3][k];
        b[k] = 0.0;
        b[k] = b[k] + n[0] * 1.0 * Tp[3] * c[0][k];
        b[k] = b[k] + n[1] * 2.0 * Tp[2] * c[1][k];
        b[k] = b[k] + n[2] * 4.0 * Tp[1] * c[2][k];
        b[k] = b[k] + n[3] * 8.0 * Tp[0] * c[3][k];
    }
    const double stored[8] = { b[3], b[2], b[1], b[0], a[3], a[2], a[1], 1.0 / a[0] };
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(net.coef[i], stored[i]) << i;

    // one sample: input terms oldest to newest, then outputs oldest to newest
    for (int i = 0; i < 10; ++i)
        net.process(0.1 * i - 0.3);
    const DFI<3> before = net;
    const double u = 0.77;
    const double x0 = u + 1e-25;
    const double expected = (b[3] * before.x[2] + b[2] * before.x[1] + b[1] * before.x[0] + b[0] * x0
                             - a[3] * before.y[2] - a[2] * before.y[1] - a[1] * before.y[0])
        * (1.0 / a[0]);
    EXPECT_EQ(net.process(u), expected);
    EXPECT_EQ(net.x[3], before.x[2]);
    EXPECT_EQ(net.y[1], before.y[0]);
}
