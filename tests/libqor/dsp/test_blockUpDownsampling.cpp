#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "libqor/dsp/blockUpDownsampling.h"
#include "SignalSupport.h"

using libqor::blockUpDownsampling;
using libqor::CHalfBandFilter;
using libqor::dsp::SimdLevel;

using signal_support::pi;
using signal_support::randomSignal;
using signal_support::toneAmplitude;

namespace
{

void up(blockUpDownsampling& s, std::vector<double>& in, std::vector<double>& out, int offsetIn, int n)
{
    (s.*s.upSlot)(in.data() + offsetIn, out.data() + offsetIn * s.factor, n);
}

void down(blockUpDownsampling& s, std::vector<double>& in, std::vector<double>& out, int offsetOut, int n)
{
    (s.*s.downSlot)(in.data() + offsetOut * s.factor, out.data() + offsetOut, n);
}

bool allSectionsZero(const CHalfBandFilter& h)
{
    for (auto* c : { h.cascadeA, h.cascadeB })
        for (int k = 0; k < 6; ++k)
        {
            const auto* s = c->sections[k];
            for (int i = 0; i < 3; ++i)
                if (s->xHist[i] != 0.0 || s->yHist[i] != 0.0)
                    return false;
            if (s->pairIn[0] != 0.0 || s->pairIn[1] != 0.0 || s->pairOut[0] != 0.0 || s->pairOut[1] != 0.0)
                return false;
            if (s->blockXm2 != 0.0f || s->blockXm1 != 0.0f || s->blockYm2 != 0.0f || s->blockYm1 != 0.0f)
                return false;
        }
    return true;
}

bool allFiltersZero(const blockUpDownsampling& s)
{
    return allSectionsZero(s.up1) && allSectionsZero(s.up2) && allSectionsZero(s.up3) && allSectionsZero(s.down1)
        && allSectionsZero(s.down2) && allSectionsZero(s.down3);
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

} // namespace

TEST(blockUpDownsampling, ConstructionBuildsClearedFiltersWithTheirSets)
{
    blockUpDownsampling s;
    EXPECT_TRUE(allFiltersZero(s));
    // up1 and every down filter steep, up2 and up3 gentle.
    const double steepFirst = 0.036681502163648017, gentleFirst = 0.01677466677723562;
    EXPECT_EQ(s.up1.cascadeA->sections[0]->a, steepFirst);
    EXPECT_EQ(s.up2.cascadeA->sections[0]->a, gentleFirst);
    EXPECT_EQ(s.up3.cascadeA->sections[0]->a, gentleFirst);
    EXPECT_EQ(s.down1.cascadeA->sections[0]->a, steepFirst);
    EXPECT_EQ(s.down2.cascadeA->sections[0]->a, steepFirst);
    EXPECT_EQ(s.down3.cascadeA->sections[0]->a, steepFirst);
    EXPECT_TRUE(s.floatUpSlot == &blockUpDownsampling::upsample2x_sse);
}

// Every variant's kernels by factor, whether the variant or the factor is
// chosen first.
TEST(blockUpDownsampling, SetFactorTable)
{
    using S = blockUpDownsampling;
    struct Kernels
    {
        S::Kernel up, down;
    };
    struct Row
    {
        SimdLevel level;
        Kernels x2, x4, x8;
    };
    const Row rows[] = {
        { SimdLevel::reference,
          { &S::upsampleSIMDd2x, &S::downsampleSIMDd2x },
          { &S::upsampleSIMDd4x, &S::downsampleSIMDd4x },
          { &S::upsampleSIMDd8x, &S::downsampleSIMDd8x } },
        { SimdLevel::sse2,
          { &S::upsample2x_sse2, &S::downsample2x_sse2 },
          { &S::upsample4x_sse2, &S::downsample4x_sse2 },
          { &S::upsample8x_sse2, &S::downsample8x_sse2 } },
        { SimdLevel::avx2,
          { &S::upsample2x_avx2, &S::downsample2x_avx2 },
          { &S::upsample4x_avx2, &S::downsample4x_avx2 },
          { &S::upsample8x_avx2, &S::downsample8x_avx2 } },
        { SimdLevel::avx512,
          { &S::upsample2x_avx512, &S::downsample2x_avx512 },
          { &S::upsample4x_avx512, &S::downsample4x_avx512 },
          { &S::upsample8x_avx512, &S::downsample8x_avx512 } },
    };
    const int cases[][2] = { { 1, 1 }, { 2, 2 }, { 4, 4 }, { 8, 8 }, { 0, 1 }, { 3, 1 }, { 16, 1 }, { -1, 1 } };
    for (const Row& row : rows)
    {
        if (!libqor::dsp::simdLevelSupported(row.level))
            continue;
        for (const auto& c : cases)
        {
            const Kernels expected = c[1] == 2 ? row.x2
                : c[1] == 4                    ? row.x4
                : c[1] == 8                    ? row.x8
                                               : Kernels { &S::noUpsample, &S::noDownsample };
            blockUpDownsampling levelFirst, factorFirst;
            ASSERT_TRUE(levelFirst.setSimdLevel(row.level));
            levelFirst.setFactor(8);
            levelFirst.setFactor(c[0]);
            factorFirst.setFactor(8);
            factorFirst.setFactor(c[0]);
            ASSERT_TRUE(factorFirst.setSimdLevel(row.level));
            for (const S* s : { &levelFirst, &factorFirst })
            {
                const std::string what =
                    std::string(libqor::dsp::simdLevelName(row.level)) + " " + std::to_string(c[0]);
                EXPECT_EQ(s->factor, c[1]) << what;
                EXPECT_TRUE(s->upSlot == expected.up) << what;
                EXPECT_TRUE(s->downSlot == expected.down) << what;
                EXPECT_TRUE(s->floatUpSlot == &blockUpDownsampling::upsample2x_sse) << what;
            }
        }
    }
}

TEST(blockUpDownsampling, FactorOneCopiesExactly)
{
    blockUpDownsampling s;
    s.setFactor(1);
    auto in = randomSignal(100, 1);
    in[3] = -0.0;
    in[4] = std::numeric_limits<double>::denorm_min();
    std::vector<double> mid(100), out(100);
    up(s, in, mid, 0, 100);
    down(s, mid, out, 0, 100);
    EXPECT_TRUE(sameBits(mid, in));
    EXPECT_TRUE(sameBits(out, in));
}

// Writes exactly factor * n (up) and n (down), reads exactly factor * n (down);
// n <= 0 touches neither the blocks nor the state. In every variant: the fast
// up kernels use their output block for the levels in between, the fast
// down kernels go in chunks (300 spans two).
TEST(blockUpDownsampling, KernelsTouchExactlyTheirSamples)
{
    const double sentinel = 12345.0;
    for (SimdLevel level : { SimdLevel::reference, SimdLevel::sse2, SimdLevel::avx2, SimdLevel::avx512 })
    {
        for (int factor : { 1, 2, 4, 8 })
            for (int n : { 0, -3, 1, 7, 64, 300 })
            {
                blockUpDownsampling s, fresh;
                if (!s.setSimdLevel(level))
                    continue;
                s.setFactor(factor);
                fresh.setFactor(factor);
                const std::string what = std::string(libqor::dsp::simdLevelName(level)) + " " + std::to_string(factor)
                    + " " + std::to_string(n);
                const int used = n > 0 ? n : 0;
                auto in = randomSignal(used + 8, 4);
                std::vector<double> mid(factor * (used + 8), sentinel);
                up(s, in, mid, 0, n);
                for (int i = 0; i < static_cast<int>(mid.size()); ++i)
                {
                    if (i < factor * used)
                        ASSERT_NE(mid[i], sentinel) << what << " " << i;
                    else
                        ASSERT_EQ(mid[i], sentinel) << what << " " << i;
                }

                // Poison everything after the block the down kernel may read.
                for (int i = factor * used; i < static_cast<int>(mid.size()); ++i)
                    mid[i] = std::numeric_limits<double>::quiet_NaN();
                std::vector<double> out(used + 8, sentinel);
                down(s, mid, out, 0, n);
                for (int i = 0; i < static_cast<int>(out.size()); ++i)
                {
                    if (i < used)
                        ASSERT_TRUE(std::isfinite(out[i]) && out[i] != sentinel) << what << " " << i;
                    else
                        ASSERT_EQ(out[i], sentinel) << what << " " << i;
                }

                if (n <= 0)
                {
                    // Same continuation as a sampler that was never called.
                    auto probe = randomSignal(16, 5);
                    std::vector<double> a(16 * factor), b(16 * factor), ra(16), rb(16);
                    up(s, probe, a, 0, 16);
                    up(fresh, probe, b, 0, 16);
                    down(s, a, ra, 0, 16);
                    down(fresh, b, rb, 0, 16);
                    EXPECT_TRUE(sameBits(a, b)) << what;
                    EXPECT_TRUE(sameBits(ra, rb)) << what;
                    EXPECT_EQ(s.interpIn[0], fresh.interpIn[0]);
                }
            }
    }
}

TEST(blockUpDownsampling, ConstantSettlesThroughUpAndDown)
{
    const double c = -0.6;
    for (int factor : { 2, 4, 8 })
    {
        blockUpDownsampling s;
        s.setFactor(factor);
        const int blocks = 20, n = 256;
        std::vector<double> in(n, c), mid(n * factor), out(n);
        std::vector<double> constMid(n * factor, c);
        for (int b = 0; b < blocks; ++b)
        {
            up(s, in, mid, 0, n);
            down(s, constMid, out, 0, n);
        }
        for (int i = 0; i < n * factor; ++i)
            ASSERT_NEAR(mid[i], c, 1e-12) << factor << " up " << i;
        for (int i = 0; i < n; ++i)
            ASSERT_NEAR(out[i], c, 1e-12) << factor << " down " << i;
    }
}

// Setting the current factor again leaves a running stream unbroken.
TEST(blockUpDownsampling, SameFactorAgainClearsNothing)
{
    for (int factor : { 2, 4, 8 })
    {
        blockUpDownsampling steady, poked;
        steady.setFactor(factor);
        poked.setFactor(factor);
        auto in = randomSignal(512, 6);
        std::vector<double> midA(512 * factor), midB(512 * factor), outA(512), outB(512);
        for (int half = 0; half < 2; ++half)
        {
            if (half == 1)
                poked.setFactor(factor);
            up(steady, in, midA, half * 256, 256);
            up(poked, in, midB, half * 256, 256);
            down(steady, midA, outA, half * 256, 256);
            down(poked, midB, outB, half * 256, 256);
        }
        EXPECT_TRUE(sameBits(midA, midB)) << factor;
        EXPECT_TRUE(sameBits(outA, outB)) << factor;
    }
}

// A new factor zeroes every section; interpolators and saved samples go on.
TEST(blockUpDownsampling, NewFactorClearsOnlyTheSections)
{
    blockUpDownsampling s;
    s.setFactor(8);
    auto in = randomSignal(64, 8);
    std::vector<double> mid(64 * 8), out(64);
    up(s, in, mid, 0, 64);
    down(s, mid, out, 0, 64);
    std::vector<float> fin(in.begin(), in.begin() + 16), fout(32);
    (s.*s.floatUpSlot)(fin.data(), fout.data(), 16);
    ASSERT_FALSE(allFiltersZero(s));

    double interpIn[3], interpOut[3];
    std::memcpy(interpIn, s.interpIn, sizeof interpIn);
    std::memcpy(interpOut, s.interpOut, sizeof interpOut);
    const double savedUp1 = s.up1.savedElement1, savedDown3 = s.down3.savedElement1;
    const float prevUp1 = s.up1.previousOutput;
    ASSERT_NE(interpIn[0], 0.0);
    ASSERT_NE(savedDown3, 0.0);

    s.setFactor(2);
    EXPECT_TRUE(allFiltersZero(s));
    for (int l = 0; l < 3; ++l)
    {
        EXPECT_EQ(s.interpIn[l], interpIn[l]);
        EXPECT_EQ(s.interpOut[l], interpOut[l]);
    }
    EXPECT_EQ(s.up1.savedElement1, savedUp1);
    EXPECT_EQ(s.down3.savedElement1, savedDown3);
    EXPECT_EQ(s.up1.previousOutput, prevUp1);

    // The level-1 interpolator continues from its last input and output.
    std::vector<double> one = { 0.25 }, two(2);
    const double expectedY = ((0.25 - interpOut[0]) * 0.33333333) + interpIn[0];
    up(s, one, two, 0, 1);
    EXPECT_EQ(s.interpOut[0], expectedY);
    EXPECT_EQ(s.interpIn[0], 0.25);
}

// After reset a used sampler gives exactly what a new one gives, at every
// factor, and keeps its factor and slots.
TEST(blockUpDownsampling, ResetReturnsToTheStateOfANewSampler)
{
    const auto in = randomSignal(200, 9);
    for (const int factor : { 1, 2, 4, 8 })
    {
        SCOPED_TRACE(factor);
        blockUpDownsampling used, fresh;
        used.setFactor(factor);
        fresh.setFactor(factor);

        std::vector<double> input = in, mid(200 * 8), out(200);
        up(used, input, mid, 0, 200);
        down(used, mid, out, 0, 200);
        std::vector<float> fin(input.begin(), input.begin() + 16), fout(32);
        (used.*used.floatUpSlot)(fin.data(), fout.data(), 16);

        const auto upSlot = used.upSlot;
        used.reset();
        EXPECT_TRUE(allFiltersZero(used));
        EXPECT_EQ(used.factor, factor);
        EXPECT_TRUE(used.upSlot == upSlot);

        std::vector<double> midUsed(200 * 8), outUsed(200), midFresh(200 * 8), outFresh(200);
        up(used, input, midUsed, 0, 200);
        down(used, midUsed, outUsed, 0, 200);
        up(fresh, input, midFresh, 0, 200);
        down(fresh, midFresh, outFresh, 0, 200);
        EXPECT_TRUE(sameBits(outUsed, outFresh));
        EXPECT_TRUE(sameBits(midUsed, midFresh));
        for (const auto& [a, b] : { std::pair<const CHalfBandFilter*, const CHalfBandFilter*> { &used.up1, &fresh.up1 },
                                    { &used.down1, &fresh.down1 } })
        {
            EXPECT_EQ(a->savedElement1, b->savedElement1);
            EXPECT_EQ(a->previousOutput, b->previousOutput);
        }
    }
}

// Level-1 interpolation, {y, x} pairs and up1 in order, against the pieces.
TEST(blockUpDownsampling, Upsample2xIsInterpolatorThenUp1)
{
    blockUpDownsampling s;
    s.setFactor(2);
    CHalfBandFilter ref;
    ref.create(12, true);
    auto in = randomSignal(300, 10);
    std::vector<double> out(600);
    up(s, in, out, 0, 300);
    double p = 0.0, q = 0.0;
    for (int i = 0; i < 300; ++i)
    {
        const double y = ((in[i] - q) * 0.33333333) + p;
        q = y;
        p = in[i];
        libqor::Vec2 v(y, in[i]);
        ref.process_simdd(&v);
        ASSERT_EQ(out[2 * i], v[0]) << i;
        ASSERT_EQ(out[2 * i + 1], v[1]) << i;
    }
}

TEST(blockUpDownsampling, Factor2ImageIsRejected)
{
    blockUpDownsampling s;
    s.setFactor(2);
    const int n = 40000;
    std::vector<double> in(n), out(2 * n);
    for (int i = 0; i < n; ++i)
        in[i] = std::sin(2.0 * pi * 0.05 * i);
    up(s, in, out, 0, n);
    const int settle = 2 * n / 2;
    const double signal = toneAmplitude(out, settle, 0.025);
    const double image = toneAmplitude(out, settle, 0.475);
    EXPECT_NEAR(signal, 1.0, 1e-3);
    EXPECT_LE(20.0 * std::log10(image / signal), -103.9);
}

TEST(blockUpDownsampling, Factor2AliasIsRejected)
{
    blockUpDownsampling s;
    s.setFactor(2);
    const int n = 40000;
    std::vector<double> in(2 * n), out(n);
    for (int i = 0; i < 2 * n; ++i)
        in[i] = std::sin(2.0 * pi * 0.3 * i);
    down(s, in, out, 0, n);
    EXPECT_LE(20.0 * std::log10(toneAmplitude(out, n / 2, 0.4)), -103.9);
}

// The float 2x path follows the double 2x path to float precision, and any
// split of the stream into calls (odd, over 2048) gives the same stream.
TEST(blockUpDownsampling, FloatUpsamplerTracksTheDoubleOne)
{
    const int n = 6000;
    std::vector<double> in(n);
    for (int i = 0; i < n; ++i)
        in[i] = 0.7 * std::sin(2.0 * pi * 0.013 * i) + 0.2 * std::sin(2.0 * pi * 0.21 * i);
    blockUpDownsampling d;
    d.setFactor(2);
    std::vector<double> ref(2 * n);
    up(d, in, ref, 0, n);

    std::vector<float> fin(in.begin(), in.end());
    auto runFloat = [&](const std::vector<int>& calls) {
        blockUpDownsampling f;
        f.setFactor(2);
        std::vector<float> out(2 * n);
        int pos = 0;
        for (int m : calls)
        {
            (f.*f.floatUpSlot)(fin.data() + pos, out.data() + 2 * pos, m);
            if (m > 0)
                pos += m;
        }
        return out;
    };
    const auto even = runFloat(std::vector<int>(n / 500, 500));
    for (int k = 0; k < 2 * n; ++k)
        ASSERT_NEAR(even[k], ref[k], 1e-4) << k;

    const auto big = runFloat({ n });
    const auto chunks = runFloat({ 2048, 2048, 1904 });
    EXPECT_EQ(std::memcmp(big.data(), chunks.data(), big.size() * sizeof(float)), 0);
    const auto odd = runFloat({ 1001, 0, -5, 999, 4000 });
    for (int k = 0; k < 2 * n; ++k)
        ASSERT_NEAR(odd[k], ref[k], 1e-4) << k;
}
