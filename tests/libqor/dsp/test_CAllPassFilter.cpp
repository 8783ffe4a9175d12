#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>
#include <xmmintrin.h>

#include "libqor/dsp/CAllPassFilter.h"
#include "SignalSupport.h"
#include "libqor/dsp/CAllPassFilterCascade.h"

using libqor::CAllPassFilter;
using libqor::CAllPassFilterCascade;
using libqor::Vec2;

using signal_support::randomSignal;

namespace
{

// A cascade built by hand, so these tests do not depend on the half-band filter.
struct HandCascade
{
    CAllPassFilterCascade c;
    explicit HandCascade(const double (&coefficients)[6])
    {
        c.sections = new CAllPassFilter*[6]();
        for (int i = 0; i < 6; ++i)
            c.sections[i] = new CAllPassFilter(coefficients[i]);
        c.count = 6;
    }
};

constexpr double someCoefficients[6] = { 0.036681502163648017, 0.2746317593794541, 0.5610989697879195,
                                         0.769741833862266,    0.8922608180038789, 0.962094548378084 };

bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

TEST(CAllPassFilter, ConstructionStoresCoefficientTermsAndZeroHistories)
{
    const double a = 0.6775400499741616;
    CAllPassFilter s(a);
    EXPECT_EQ(s.a, a);
    EXPECT_EQ(s.aSquared, a * a);
    EXPECT_EQ(s.oneMinusASquared, 1.0 - a * a);
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(s.xHist[i], 0.0);
        EXPECT_EQ(s.yHist[i], 0.0);
    }
    for (int l = 0; l < 2; ++l)
    {
        EXPECT_EQ(s.pairIn[l], 0.0);
        EXPECT_EQ(s.pairOut[l], 0.0);
    }
    EXPECT_EQ(s.blockXm2, 0.0f);
    EXPECT_EQ(s.blockXm1, 0.0f);
    EXPECT_EQ(s.blockYm2, 0.0f);
    EXPECT_EQ(s.blockYm1, 0.0f);
}

// The constructing thread gets flush-to-zero; every other MXCSR bit stays.
TEST(CAllPassFilter, ConstructionSetsFlushToZeroOnlyOnItsThread)
{
    unsigned int before = 0, after = 0;
    const unsigned int start = (_mm_getcsr() & ~0x8000u) | 0x0040u; // DAZ on, FTZ off
    std::thread t([&] {
        _mm_setcsr(start);
        before = _mm_getcsr();
        CAllPassFilter s(0.5);
        after = _mm_getcsr();
    });
    t.join();
    EXPECT_EQ(before, start);
    EXPECT_EQ(after, start | 0x8000u);

    unsigned int untouched = 0;
    std::thread other([&] {
        _mm_setcsr(start);
        untouched = _mm_getcsr();
    });
    other.join();
    EXPECT_EQ(untouched & 0x8000u, 0u);
}

// Four-at-a-time float path against the plain recursion in double, over
// blocks that cross group boundaries and calls; lengths that are not a
// multiple of four continue the same stream.
TEST(CAllPassFilter, FloatBlockPathFollowsTheRecursion)
{
    struct Case
    {
        std::vector<int> blocks;
    };
    const Case cases[] = { { { 8 } }, { { 8, 8 } }, { { 4, 12, 4 } }, { { 3, 5, 7, 1 } }, { { 2, 6 } } };
    const double a = 0.8922608180038789;
    for (const auto& c : cases)
    {
        int total = 0;
        for (int b : c.blocks)
            total += b;
        const auto in = randomSignal(total, 7);

        std::vector<double> expected(total);
        double xm1 = 0, xm2 = 0, ym1 = 0, ym2 = 0;
        for (int n = 0; n < total; ++n)
        {
            const double y = a * (in[n] - ym2) + xm2;
            expected[n] = y;
            xm2 = xm1;
            xm1 = in[n];
            ym2 = ym1;
            ym1 = y;
        }

        CAllPassFilter s(a);
        std::vector<float> buf(in.begin(), in.end());
        int pos = 0;
        for (int b : c.blocks)
        {
            s.process_simd_4float(buf.data() + pos, b);
            pos += b;
        }
        for (int n = 0; n < total; ++n)
            EXPECT_NEAR(buf[n], expected[n], 2e-6) << "sample " << n << ", first block " << c.blocks[0];
    }
}

TEST(CAllPassFilter, FloatBlockPathWithNoSamplesTouchesNothing)
{
    CAllPassFilter s(0.5);
    float data[4] = { 1.0f, 2.0f, 3.0f, 4.0f };
    s.process_simd_4float(data, 0);
    s.process_simd_4float(data, -4);
    EXPECT_EQ(data[0], 1.0f);
    EXPECT_EQ(s.blockXm1, 0.0f);
    EXPECT_EQ(s.blockYm1, 0.0f);
}

// The scalar path in the order written: y = x[n-2] + a * (x[n] - y[n-2]).
TEST(CAllPassFilterCascade, ScalarPathIsTheRecursionBitForBit)
{
    HandCascade h(someCoefficients);
    const auto in = randomSignal(500, 3);
    double xs[6][2] = {}, ys[6][2] = {}; // [section][0 = n-1, 1 = n-2]
    for (double x : in)
    {
        double ref = x;
        for (int k = 0; k < 6; ++k)
        {
            const double y = xs[k][1] + someCoefficients[k] * (ref - ys[k][1]);
            xs[k][1] = xs[k][0];
            xs[k][0] = ref;
            ys[k][1] = ys[k][0];
            ys[k][0] = y;
            ref = y;
        }
        double got = x;
        h.c.processOrder12(got);
        ASSERT_TRUE(sameBits(got, ref)) << got << " vs " << ref;
    }
}

// Each lane: ((a*u + p) - a*q) + 1e-25 - 1e-25, lanes independent.
TEST(CAllPassFilterCascade, PairPathIsItsFormulaBitForBitPerLane)
{
    HandCascade h(someCoefficients);
    const auto in0 = randomSignal(500, 11);
    const auto in1 = randomSignal(500, 12);
    double p[6][2] = {}, q[6][2] = {};
    for (int n = 0; n < 500; ++n)
    {
        double ref[2] = { in0[n], in1[n] };
        for (int k = 0; k < 6; ++k)
            for (int l = 0; l < 2; ++l)
            {
                const double a = someCoefficients[k];
                const double u = ref[l];
                double out = a * u + p[k][l];
                out = out - a * q[k][l];
                out = out + 1e-25;
                out = out + -1e-25;
                p[k][l] = u;
                q[k][l] = out;
                ref[l] = out;
            }
        Vec2 v(in0[n], in1[n]);
        h.c.processOrder12_SIMDd(v);
        ASSERT_TRUE(sameBits(v[0], ref[0])) << n;
        ASSERT_TRUE(sameBits(v[1], ref[1])) << n;
    }
}

// Section outputs below 2^-137 vanish against the 1e-25 offset; larger ones survive.
TEST(CAllPassFilterCascade, PairPathFlushesTinySectionOutputs)
{
    struct Case
    {
        double input;
        bool survives;
    };
    const Case cases[] = {
        { std::ldexp(1.0, -140), false }, { std::ldexp(1.0, -138), false }, { -std::ldexp(1.0, -139), false },
        { std::ldexp(1.0, -120), true },  { -std::ldexp(1.0, -125), true },
    };
    for (const auto& c : cases)
    {
        HandCascade h({ 0.9, 0.9, 0.9, 0.9, 0.9, 0.9 });
        Vec2 v(c.input, 0.0);
        h.c.processOrder12_SIMDd(v);
        const double first = h.c.sections[0]->pairOut[0];
        if (c.survives)
            EXPECT_NE(first, 0.0) << c.input;
        else
        {
            EXPECT_EQ(first, 0.0) << c.input;
            EXPECT_EQ(v[0], 0.0) << c.input;
        }
        EXPECT_EQ(v[1], 0.0);
    }
}

TEST(CAllPassFilterCascade, ZeroInAfterClearingGivesExactZeroOnEveryPath)
{
    HandCascade h(someCoefficients);
    const auto in = randomSignal(64, 5);
    for (double x : in)
    {
        double s = x;
        h.c.processOrder12(s);
        Vec2 v(x, -x);
        h.c.processOrder12_SIMDd(v);
    }
    std::vector<float> block(in.begin(), in.end());
    h.c.processOrder12_SIMD(block.data(), 64);

    h.c.clear();

    for (int n = 0; n < 32; ++n)
    {
        double s = 0.0;
        h.c.processOrder12(s);
        Vec2 v(0.0, 0.0);
        h.c.processOrder12_SIMDd(v);
        EXPECT_EQ(s, 0.0);
        EXPECT_EQ(v[0], 0.0);
        EXPECT_EQ(v[1], 0.0);
    }
    std::vector<float> zeros(32, 0.0f);
    h.c.processOrder12_SIMD(zeros.data(), 32);
    for (float z : zeros)
        EXPECT_EQ(z, 0.0f);
}

// The Vec4 overload runs one group of four through the float block path.
TEST(CAllPassFilterCascade, QuadMatchesTheFloatBlockPath)
{
    HandCascade quad(someCoefficients), block(someCoefficients);
    const auto in = randomSignal(16, 9);
    std::vector<float> buf(in.begin(), in.end());
    block.c.processOrder12_SIMD(buf.data(), 16);
    for (int g = 0; g < 4; ++g)
    {
        libqor::Vec4 v(static_cast<float>(in[4 * g]), static_cast<float>(in[4 * g + 1]),
                       static_cast<float>(in[4 * g + 2]), static_cast<float>(in[4 * g + 3]));
        quad.c.processOrder12_SIMD(v);
        for (int j = 0; j < 4; ++j)
            EXPECT_EQ(v[j], buf[4 * g + j]);
    }
}
