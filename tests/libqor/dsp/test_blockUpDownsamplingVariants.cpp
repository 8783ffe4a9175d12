// The fast kernel variants against the reference kernels: every output and
// every state the fast kernels compute, bit for bit.

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>
#include <xmmintrin.h>

#include "libqor/dsp/blockUpDownsampling.h"
#include "libqor/dsp/SamplerStateCompare.h"

using libqor::blockUpDownsampling;
using libqor::CAllPassFilterCascade;
using libqor::CHalfBandFilter;
using libqor::dsp::SimdLevel;
using libqor::dsp::simdLevelName;
using libqor::dsp::simdLevelSupported;
using samplertest::bitsOf;
using samplertest::sameLiveState;

namespace
{

const SimdLevel fastLevels[] = { SimdLevel::sse2, SimdLevel::avx2, SimdLevel::avx512 };

::testing::AssertionResult sameBits(const double* a, const double* b, int n)
{
    for (int i = 0; i < n; ++i)
        if (bitsOf(a[i]) != bitsOf(b[i]))
            return ::testing::AssertionFailure() << "sample " << i << " of " << n << ": " << a[i] << " vs " << b[i];
    return ::testing::AssertionSuccess();
}

// The signals, in segments of one kind each.
enum class Kind
{
    saw,
    noise,
    silence,
    nearSmallestNormal,
    clipping,
    nearLargest
};

const char* kindName(Kind k)
{
    switch (k)
    {
    case Kind::saw:
        return "saw";
    case Kind::noise:
        return "noise";
    case Kind::silence:
        return "silence";
    case Kind::nearSmallestNormal:
        return "near the smallest normal";
    case Kind::clipping:
        return "clipping";
    case Kind::nearLargest:
        return "near the largest double";
    }
    return "?";
}

struct Segment
{
    Kind kind;
    int length; // base-rate samples
};

// One long stream at the base rate and one at eight times it (for the down
// kernels, so that they see full-band input, not only what the up kernels
// leave), segment by segment.
struct Streams
{
    std::vector<double> base, high;
    std::vector<Kind> kindAt; // per base-rate sample
};

void fill(std::vector<double>& v, size_t from, size_t n, Kind kind, std::mt19937& rng, double sawStep)
{
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    for (size_t i = 0; i < n; ++i)
    {
        double x = 0.0;
        switch (kind)
        {
        case Kind::saw:
            x = 0.9 * (2.0 * std::fmod(static_cast<double>(i) * sawStep, 1.0) - 1.0);
            break;
        case Kind::noise:
            x = uniform(rng);
            break;
        case Kind::silence:
            x = 0.0;
            break;
        case Kind::nearSmallestNormal:
        {
            // Around DBL_MIN, with the smallest subnormal and exact zeros mixed in.
            const int pick = static_cast<int>(rng() % 8);
            x = pick == 0 ? std::numeric_limits<double>::denorm_min() : pick == 1 ? 0.0 : DBL_MIN * 4.0 * uniform(rng);
            break;
        }
        case Kind::clipping:
        {
            // A sine driven hard into +-1, and full-scale square edges.
            const double s = 6.0 * std::sin(0.0021 * static_cast<double>(i));
            x = s > 1.0 ? 1.0 : s < -1.0 ? -1.0 : s;
            break;
        }
        case Kind::nearLargest:
            // Sums overflow to infinities and those to NaNs, all of them made
            // by the same operations in every variant.
            x = DBL_MAX * uniform(rng);
            break;
        }
        v[from + i] = x;
    }
}

Streams makeStreams(const std::vector<Segment>& segments, unsigned seed)
{
    Streams s;
    std::mt19937 rng(seed);
    size_t total = 0;
    for (const auto& g : segments)
        total += static_cast<size_t>(g.length);
    s.base.resize(total);
    s.high.resize(total * 8);
    s.kindAt.resize(total);
    size_t at = 0;
    for (const auto& g : segments)
    {
        const size_t n = static_cast<size_t>(g.length);
        fill(s.base, at, n, g.kind, rng, 0.0123);
        fill(s.high, at * 8, n * 8, g.kind, rng, 0.0123 / 8.0);
        for (size_t i = 0; i < n; ++i)
            s.kindAt[at + i] = g.kind;
        at += n;
    }
    return s;
}

// Values near the largest double leave infinities and NaNs in the state, so
// they come last.
const std::vector<Segment> allKinds = {
    { Kind::saw, 20000 },   { Kind::silence, 15000 },           { Kind::nearSmallestNormal, 15000 },
    { Kind::noise, 25000 }, { Kind::clipping, 20000 },          { Kind::silence, 5000 },
    { Kind::noise, 5000 },  { Kind::nearSmallestNormal, 5000 }, { Kind::nearLargest, 4000 },
};

// Block sizes from 1 to past the processor's 8192, chunk edges included;
// every 29th block is a long one.
int nextBlockSize(std::mt19937& rng, int block)
{
    if (block % 29 == 28)
        return 8150 + static_cast<int>(rng() % 900);
    const int pick = static_cast<int>(rng() % 20);
    if (pick < 7)
        return 1 + static_cast<int>(rng() % 12);
    if (pick < 9)
    {
        const int edges[] = { 255, 256, 257, 511, 512, 513 };
        return edges[rng() % 6];
    }
    return 13 + static_cast<int>(rng() % 600);
}

// What a side-by-side run went through.
struct Coverage
{
    int blocks = 0;
    int blocksAtFactor[9] = {};
    int longBlocksAtFactor8 = 0; // past the processor's 8192
    int shortBlocks = 0;         // fewer samples than the pipeline's depth
};

// Runs both samplers over the streams block by block, switching the factor
// between blocks at random (the same factor again now and then) and, when
// levels is not empty, the fast sampler's variant too.
Coverage runSideBySide(blockUpDownsampling& fast, blockUpDownsampling& ref, const Streams& s, unsigned seed,
                       const std::vector<SimdLevel>& levels)
{
    std::mt19937 rng(seed);
    const int factors[] = { 1, 2, 4, 8 };
    std::vector<double> upF, upR, outF, outR;
    const int total = static_cast<int>(s.base.size());
    int pos = 0, blocks = 0;
    Coverage c;
    while (pos < total)
    {
        if (blocks % 3 == 0)
        {
            const int f = factors[rng() % 4];
            fast.setFactor(f);
            ref.setFactor(f);
        }
        if (!levels.empty())
        {
            EXPECT_TRUE(fast.setSimdLevel(levels[rng() % levels.size()]));
        }
        const int factor = ref.factor;
        int n = nextBlockSize(rng, blocks);
        if (n > total - pos)
            n = total - pos;
        const std::string where = "block " + std::to_string(blocks) + " at " + std::to_string(pos) + ", factor "
            + std::to_string(factor) + ", n " + std::to_string(n) + ", " + kindName(s.kindAt[static_cast<size_t>(pos)])
            + ", fast kernels " + simdLevelName(fast.simdLevel());

        const size_t wide = static_cast<size_t>(n) * static_cast<size_t>(factor);
        upF.assign(wide, 0.0);
        upR.assign(wide, 0.0);
        double* in = const_cast<double*>(s.base.data()) + pos;
        (fast.*fast.upSlot)(in, upF.data(), n);
        (ref.*ref.upSlot)(in, upR.data(), n);
        EXPECT_TRUE(sameBits(upF.data(), upR.data(), static_cast<int>(wide))) << "up, " << where;

        outF.assign(static_cast<size_t>(n), 0.0);
        outR.assign(static_cast<size_t>(n), 0.0);
        double* high = const_cast<double*>(s.high.data()) + static_cast<size_t>(pos) * 8;
        (fast.*fast.downSlot)(high, outF.data(), n);
        (ref.*ref.downSlot)(high, outR.data(), n);
        EXPECT_TRUE(sameBits(outF.data(), outR.data(), n)) << "down, " << where;

        EXPECT_TRUE(sameLiveState(fast, ref)) << where;
        if (::testing::Test::HasFailure())
            return c;
        ++c.blocksAtFactor[factor];
        c.longBlocksAtFactor8 += factor == 8 && n > 8192;
        c.shortBlocks += n < 5;
        pos += n;
        c.blocks = ++blocks;
    }
    return c;
}

class FastKernels : public ::testing::TestWithParam<SimdLevel>
{
protected:
    void SetUp() override
    {
        if (!simdLevelSupported(GetParam()))
            GTEST_SKIP() << simdLevelName(GetParam()) << " kernels not run: this processor does not support them";
    }
};

std::string levelParamName(const ::testing::TestParamInfo<SimdLevel>& info)
{
    return simdLevelName(info.param);
}

} // namespace

TEST_P(FastKernels, MatchTheReferenceBitForBit)
{
    blockUpDownsampling fast, ref;
    ASSERT_TRUE(fast.setSimdLevel(GetParam()));
    ASSERT_TRUE(ref.setSimdLevel(SimdLevel::reference));
    const Streams s = makeStreams(allKinds, 11);
    const Coverage c = runSideBySide(fast, ref, s, 12, {});
    for (int f : { 1, 2, 4, 8 })
        EXPECT_GT(c.blocksAtFactor[f], 10) << f;
    EXPECT_GE(c.longBlocksAtFactor8, 1);
    EXPECT_GT(c.shortBlocks, 20);
}

// Without flush-to-zero the tiny values go through the sections as
// subnormals; the fast kernels still give the reference's bits.
TEST_P(FastKernels, MatchTheReferenceWithoutFlushToZero)
{
    blockUpDownsampling fast, ref;
    ASSERT_TRUE(fast.setSimdLevel(GetParam()));
    ASSERT_TRUE(ref.setSimdLevel(SimdLevel::reference));
    const unsigned int saved = _mm_getcsr();
    _mm_setcsr(saved & ~0x8000u);
    const Streams s =
        makeStreams({ { Kind::saw, 2000 }, { Kind::silence, 6000 }, { Kind::nearSmallestNormal, 6000 } }, 21);
    runSideBySide(fast, ref, s, 22, {});
    _mm_setcsr(saved);
}

// Switching the variant between blocks, the reference included, continues
// the stream unbroken.
TEST_P(FastKernels, VariantSwitchesBetweenBlocksContinueTheStream)
{
    std::vector<SimdLevel> levels = { SimdLevel::reference };
    for (SimdLevel l : fastLevels)
        if (simdLevelSupported(l))
            levels.push_back(l);
    blockUpDownsampling switching, ref;
    ASSERT_TRUE(switching.setSimdLevel(GetParam()));
    ASSERT_TRUE(ref.setSimdLevel(SimdLevel::reference));
    const Streams s = makeStreams({ { Kind::noise, 20000 }, { Kind::saw, 10000 }, { Kind::clipping, 10000 } }, 31);
    runSideBySide(switching, ref, s, 32, levels);
}

// The one state the fast down kernels leave alone: lane 1 of the down
// filters' pair histories. Every other history they move.
TEST_P(FastKernels, DownKernelsLeaveOnlyTheDeadLaneAlone)
{
    blockUpDownsampling s;
    s.setFactor(8);
    ASSERT_TRUE(s.setSimdLevel(SimdLevel::reference));
    auto in = std::vector<double>(8 * 600);
    std::mt19937 rng(41);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    for (auto& x : in)
        x = uniform(rng);
    std::vector<double> out(600);
    (s.*s.downSlot)(in.data(), out.data(), 300);

    ASSERT_TRUE(s.setSimdLevel(GetParam()));
    struct Lanes
    {
        double in0, in1, out0, out1;
    };
    std::vector<Lanes> before;
    for (const CHalfBandFilter* f : { &s.down1, &s.down2, &s.down3 })
        for (const CAllPassFilterCascade* c : { f->cascadeA, f->cascadeB })
            for (int k = 0; k < 6; ++k)
                before.push_back({ c->sections[k]->pairIn[0], c->sections[k]->pairIn[1], c->sections[k]->pairOut[0],
                                   c->sections[k]->pairOut[1] });
    (s.*s.downSlot)(in.data() + 8 * 300, out.data() + 300, 300);
    size_t i = 0;
    for (const CHalfBandFilter* f : { &s.down1, &s.down2, &s.down3 })
        for (const CAllPassFilterCascade* c : { f->cascadeA, f->cascadeB })
            for (int k = 0; k < 6; ++k, ++i)
            {
                EXPECT_EQ(bitsOf(c->sections[k]->pairIn[1]), bitsOf(before[i].in1)) << i;
                EXPECT_EQ(bitsOf(c->sections[k]->pairOut[1]), bitsOf(before[i].out1)) << i;
                EXPECT_NE(c->sections[k]->pairIn[0], before[i].in0) << i;
                EXPECT_NE(c->sections[k]->pairOut[0], before[i].out0) << i;
            }
}

INSTANTIATE_TEST_SUITE_P(Variants, FastKernels, ::testing::ValuesIn(fastLevels), levelParamName);

TEST(blockUpDownsamplingVariants, ConstructionChoosesTheBestVariant)
{
    blockUpDownsampling s;
    EXPECT_EQ(s.simdLevel(), libqor::dsp::bestSimdLevel());
}

// A variant the processor cannot run, or no variant at all, is refused and
// changes nothing.
TEST(blockUpDownsamplingVariants, UnknownOrUnsupportedVariantIsRefused)
{
    std::vector<SimdLevel> refused = { static_cast<SimdLevel>(4), static_cast<SimdLevel>(-1) };
    for (SimdLevel l : fastLevels)
        if (!simdLevelSupported(l))
            refused.push_back(l);
    for (SimdLevel l : refused)
    {
        blockUpDownsampling s;
        s.setFactor(4);
        const SimdLevel was = s.simdLevel();
        const auto up = s.upSlot, down = s.downSlot;
        EXPECT_FALSE(s.setSimdLevel(l)) << static_cast<int>(l);
        EXPECT_EQ(s.simdLevel(), was);
        EXPECT_TRUE(s.upSlot == up && s.downSlot == down);
    }
}
