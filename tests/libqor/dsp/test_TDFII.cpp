#include "libqor/dsp/TDFII.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using libqor::dsp::TDFII;

TEST(TDFII, StartsAsAllOnesWithClearStates)
{
    TDFII<6> f;
    EXPECT_TRUE(f.processFn == &TDFII<6>::process_order6);
    for (int i = 0; i <= 6; ++i)
    {
        EXPECT_EQ(f.a[i], 1.0) << i;
        EXPECT_EQ(f.b[i], 1.0) << i;
        EXPECT_EQ(f.s[i], 0.0) << i;
    }
}

// A stable sixth-order set, checked against the direct-form difference
// equation y[n] = sum b_k x[n-k] - sum a_k y[n-k].
TEST(TDFII, MatchesTheDifferenceEquation)
{
    const double b[7] = { 0.05, -0.02, 0.11, 0.3, -0.07, 0.01, 0.002 };
    // (1 - 0.5 z^-1)^2 (1 - 0.3 z^-1)^2 (1 + 0.4 z^-1)^2, expanded
    const double a[7] = { 1.0, -0.8, -0.18, 0.256, -0.0191, -0.0204, 0.0036 };

    TDFII<6> f;
    for (int i = 0; i <= 6; ++i)
    {
        f.a[i] = a[i];
        f.b[i] = b[i];
    }

    const int n = 400;
    std::vector<double> in(n), ref(n, 0.0);
    for (int i = 0; i < n; ++i)
        in[i] = std::sin(0.05 * i) + (i == 3 ? 1.0 : 0.0);
    for (int i = 0; i < n; ++i)
    {
        double acc = 0.0;
        for (int k = 0; k <= 6 && k <= i; ++k)
            acc += b[k] * in[i - k];
        for (int k = 1; k <= 6 && k <= i; ++k)
            acc -= a[k] * ref[i - k];
        ref[i] = acc;
    }

    for (int i = 0; i < n; ++i)
    {
        double x = in[i];
        (f.*f.processFn)(x);
        ASSERT_NEAR(x, ref[i], 1e-12 * (1.0 + std::fabs(ref[i]))) << "sample " << i;
    }
    EXPECT_EQ(f.s[6], 0.0); // the seventh state is never written
}

// The states update from the old value of the next state, in the written
// order, and the output replaces the input.
TEST(TDFII, OneStepUsesTheOldNextState)
{
    TDFII<6> f;
    for (int i = 0; i <= 6; ++i)
    {
        f.b[i] = 0.1 * (i + 1);
        f.a[i] = -0.05 * (i + 1);
        f.s[i] = 0.01 * (i + 1);
    }
    const double old[6] = { f.s[0], f.s[1], f.s[2], f.s[3], f.s[4], f.s[5] };
    const double in = 0.7;
    double x = in;
    f.process_order6(x);

    const double y = f.b[0] * in + old[0];
    EXPECT_EQ(x, y);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(f.s[i], f.b[i + 1] * in + old[i + 1] - f.a[i + 1] * y) << "s" << i + 1;
    EXPECT_EQ(f.s[5], f.b[6] * in - f.a[6] * y);
}
