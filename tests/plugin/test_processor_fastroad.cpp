// The fast audio road (the sampler's block kernels and the engine's block
// path, at each instruction set this processor runs) beside the plain road
// (the per-sample kernels and chain): two processors fed the same host calls
// give the same float outputs, and leave the engine and the sampler in the
// same state, to the bit, after every block.

#include "engine/KYMStateDump.h"
#include "libqor/dsp/SamplerStateCompare.h"
#include "plugin/KymAudioProcessor.h"
#include "plugin/KymParameterTable.h"
#include "plugin/test_processor_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

using libqor::dsp::SimdLevel;
using libqor::dsp::simdLevelName;
using libqor::dsp::simdLevelSupported;

namespace
{

// The host's parameter order, from the plug-in's own table.
using namespace kym;

bool ramping(const KymAudioProcessor& p)
{
    return p.engine.tonestage.stepFn == &KYM_TONESTAGE::step;
}

enum class Kind
{
    saw,
    noise,
    silence,
    nearSmallestNormal,
    clipping
};

struct Segment
{
    Kind kind;
    int length; // host frames
};

// A host-rate signal, segment after segment.
std::vector<float> makeSignal(const std::vector<Segment>& segments, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> v;
    for (const Segment& g : segments)
        for (int i = 0; i < g.length; ++i)
        {
            float x = 0.0f;
            switch (g.kind)
            {
            case Kind::saw:
                x = 0.9f * (static_cast<float>(i % 109) / 54.5f - 1.0f);
                break;
            case Kind::noise:
                x = uniform(rng);
                break;
            case Kind::silence:
                x = 0.0f;
                break;
            case Kind::nearSmallestNormal:
            {
                // Around the smallest normal float, with subnormals and both zeros.
                const int pick = static_cast<int>(rng() % 8);
                x = pick == 0   ? std::numeric_limits<float>::denorm_min()
                    : pick == 1 ? (i % 2 ? -0.0f : 0.0f)
                                : FLT_MIN * 4.0f * uniform(rng);
                break;
            }
            case Kind::clipping:
            {
                // A sine driven flat into full scale, with square edges past
                // it that the input clamp holds.
                const float s = 6.0f * std::sin(0.013f * static_cast<float>(i));
                x = (i / 700) % 3 == 2 ? (s > 0.0f ? 20.0f : -20.0f) : std::clamp(s, -1.0f, 1.0f);
                break;
            }
            }
            v.push_back(x);
        }
    return v;
}

const std::vector<Segment> allKinds = {
    { Kind::saw, 12000 },      { Kind::noise, 12000 },  { Kind::silence, 8000 }, { Kind::nearSmallestNormal, 8000 },
    { Kind::clipping, 12000 }, { Kind::silence, 4000 },
};

// Host block sizes from 1 to past the 8192 frames the buffers hold (such a
// block is served in two pieces); the sampler's chunk edges now and then.
int nextBlockSize(std::mt19937& rng, int block)
{
    if (block % 31 == 30)
        return 8150 + static_cast<int>(rng() % 900);
    const int pick = static_cast<int>(rng() % 20);
    if (pick < 6)
        return 1 + static_cast<int>(rng() % 12);
    if (pick < 8)
    {
        const int edges[] = { 255, 256, 257, 511, 512, 513 };
        return edges[rng() % 6];
    }
    return 13 + static_cast<int>(rng() % 700);
}

// Two processors, the plain road and the fast road at one level, given the
// same host calls and checked after every block.
class TwoRoads
{
public:
    TwoRoads(SimdLevel level, double rate)
        : plain(kymtest::makeProcessor(1, 2, rate)), fast(kymtest::makeProcessor(1, 2, rate))
    {
        selected = plain->setSimdLevel(SimdLevel::reference) == SimdLevel::reference
            && fast->setSimdLevel(level) == level && fast->sampler.simdLevel() == level
            && fast->engine.simdLevel() == level;
    }

    void setHost(int index, float value)
    {
        kymtest::setHost(*plain, index, value);
        kymtest::setHost(*fast, index, value);
    }

    void setRate(double rate)
    {
        plain->setRateAndBufferSizeDetails(rate, 512);
        fast->setRateAndBufferSizeDetails(rate, 512);
    }

    // One host block of n frames from `in`. The second channel arrives with
    // other samples, which the road (and Bypass) must overwrite.
    ::testing::AssertionResult block(const float* in, int n)
    {
        juce::AudioBuffer<float> a(2, n), b(2, n);
        for (auto* buffer : { &a, &b })
            for (int i = 0; i < n; ++i)
            {
                buffer->setSample(0, i, in[i]);
                buffer->setSample(1, i, -0.5f * in[i] + 0.125f);
            }
        juce::MidiBuffer midi;
        plain->processBlock(a, midi);
        fast->processBlock(b, midi);

        const std::string where = "block " + std::to_string(blocks) + " of " + std::to_string(n) + " frames, factor "
            + std::to_string(plain->sampler.factor) + (plain->bypass ? ", bypassed" : "");
        ++blocks;
        bypassedBlocks += plain->bypass ? 1 : 0;
        longBlocks += n > plain->maxBlockSize ? 1 : 0;
        blocksAtFactor[plain->sampler.factor & 7] += plain->bypass ? 0 : 1;

        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < n; ++i)
                if (samplertest::bitsOf(a.getSample(c, i)) != samplertest::bitsOf(b.getSample(c, i)))
                    return ::testing::AssertionFailure() << where << ": channel " << c << " frame " << i << " is "
                                                         << b.getSample(c, i) << ", plain road " << a.getSample(c, i);
        const std::string field =
            enginetest::StateDump(plain->engine).firstDifference(enginetest::StateDump(fast->engine));
        if (!field.empty())
            return ::testing::AssertionFailure() << where << ": engine " << field << " differs";
        const auto sampler = samplertest::sameLiveState(fast->sampler, plain->sampler);
        if (!sampler)
            return ::testing::AssertionFailure() << where << ": sampler " << sampler.message();
        return ::testing::AssertionSuccess();
    }

    // `signal` cut into blocks of random sizes; `before(k)` runs before block k.
    ::testing::AssertionResult run(const std::vector<float>& signal, unsigned seed,
                                   const std::function<void(int)>& before = {})
    {
        std::mt19937 rng(seed);
        const int total = static_cast<int>(signal.size());
        for (int pos = 0, k = 0; pos < total; ++k)
        {
            if (before)
                before(k);
            const int n = std::min(nextBlockSize(rng, k), total - pos);
            auto r = block(signal.data() + pos, n);
            if (!r)
                return r;
            pos += n;
        }
        return ::testing::AssertionSuccess();
    }

    // `signal` in blocks of n frames, while `more()` holds (at most the signal).
    ::testing::AssertionResult runWhile(const std::vector<float>& signal, int n, const std::function<bool()>& more)
    {
        for (size_t pos = 0; pos + static_cast<size_t>(n) <= signal.size() && more(); pos += static_cast<size_t>(n))
        {
            auto r = block(signal.data() + pos, n);
            if (!r)
                return r;
        }
        return ::testing::AssertionSuccess();
    }

    std::unique_ptr<KymAudioProcessor> plain, fast;
    bool selected = false;
    int blocks = 0;
    int bypassedBlocks = 0;
    int longBlocks = 0;
    int blocksAtFactor[8] = {};
};

class FastRoad : public ::testing::TestWithParam<SimdLevel>
{
protected:
    void SetUp() override
    {
        if (!simdLevelSupported(GetParam()))
            GTEST_SKIP() << "the " << simdLevelName(GetParam()) << " road not run: this processor does not support it";
    }
};

} // namespace

// Every kind of signal, at the default setting and driven hard, at both
// Quality settings; the first block also takes up the host's 48 kHz.
TEST_P(FastRoad, SignalsMatchThePlainRoad)
{
    const std::vector<float> signal = makeSignal(allKinds, 3);
    for (const bool driven : { false, true })
        for (const int quality : { 0, 1 })
        {
            SCOPED_TRACE(testing::Message() << (driven ? "driven" : "default setting") << ", Quality " << quality);
            TwoRoads roads(GetParam(), 48000.0);
            ASSERT_TRUE(roads.selected);
            roads.setHost(qualityIndex, static_cast<float>(quality));
            if (driven)
                for (const int index : { inputIndex, levelIndex, driveIndex, presenceIndex, blendIndex })
                    roads.setHost(index, index == blendIndex ? 0.6f : 1.0f);
            ASSERT_TRUE(roads.run(signal, 17 + quality));
            EXPECT_GE(roads.longBlocks, 1);
            EXPECT_GT(roads.blocks, 100);
        }
}

// Changes between blocks: controls, a Low and a High turn whose tone ramp
// runs across many blocks, Quality switches, host-rate changes and Bypass.
TEST_P(FastRoad, HostChangesBetweenBlocksMatchThePlainRoad)
{
    TwoRoads roads(GetParam(), 44100.0);
    ASSERT_TRUE(roads.selected);
    std::mt19937 rng(29);
    const std::vector<float> noise = makeSignal({ { Kind::noise, 60000 } }, 5);
    const std::vector<float> saw = makeSignal({ { Kind::saw, 200000 } }, 6);
    const std::vector<float> mixed = makeSignal(allKinds, 7);

    // Controls and Input, now and then twice before one block (the later
    // value is the one applied); the extremes 0 and 1 included.
    const int controls[] = { inputIndex, levelIndex, driveIndex, presenceIndex, blendIndex };
    const float values[] = { 0.0f, 0.15f, 0.5f, 0.85f, 1.0f };
    ASSERT_TRUE(roads.run(noise, 30, [&](int k) {
        if (k % 3 == 0)
            roads.setHost(controls[rng() % 5], values[rng() % 5]);
        if (k % 7 == 0)
            roads.setHost(controls[rng() % 5], values[rng() % 5]);
    }));

    // The tone stage: wait for its ramp to end, then turn Low: its glide
    // (each step's set taken at once) over short blocks, and the ramp from
    // zero that settles it over many more; then High with random blocks and
    // a Quality switch while its ramp runs.
    ASSERT_TRUE(roads.runWhile(saw, 4096, [&] { return ramping(*roads.plain); }));
    ASSERT_FALSE(ramping(*roads.plain));
    roads.setHost(lowIndex, 0.2f);
    ASSERT_TRUE(roads.block(saw.data(), 97));
    ASSERT_TRUE(roads.plain->glidesMoving());
    ASSERT_FALSE(ramping(*roads.plain));
    ASSERT_TRUE(roads.runWhile(saw, 97, [&] { return roads.plain->glidesMoving(); }));
    ASSERT_TRUE(ramping(*roads.plain));
    const int before = roads.blocks;
    ASSERT_TRUE(roads.runWhile(saw, 97, [&] { return ramping(*roads.plain); }));
    EXPECT_FALSE(ramping(*roads.plain));
    EXPECT_GT(roads.blocks - before, 10);
    roads.setHost(highIndex, 0.9f);
    ASSERT_TRUE(roads.run(std::vector<float>(saw.begin(), saw.begin() + 6000), 31));
    ASSERT_TRUE(ramping(*roads.plain));
    roads.setHost(qualityIndex, 1.0f);
    ASSERT_TRUE(roads.run(std::vector<float>(saw.begin(), saw.begin() + 6000), 32));

    // Quality back and forth, sometimes on and off again before one block.
    ASSERT_TRUE(roads.run(mixed, 33, [&](int k) {
        if (k % 4 == 0)
            roads.setHost(qualityIndex, static_cast<float>((k / 4) % 2));
        if (k % 22 == 0)
        {
            roads.setHost(qualityIndex, 1.0f);
            roads.setHost(qualityIndex, 0.0f);
        }
    }));

    // Host rates, each taken up in its first block; at 192 kHz the sampler
    // runs at a lower factor than Quality asks for.
    for (const double rate : { 48000.0, 96000.0, 44100.0, 192000.0, 22050.0, 88200.0 })
    {
        SCOPED_TRACE(rate);
        roads.setRate(rate);
        ASSERT_TRUE(roads.run(std::vector<float>(noise.begin(), noise.begin() + 5000), 34));
        EXPECT_EQ(roads.fast->engine.fs, rate * roads.fast->sampler.factor);
    }

    // Bypass on, changes made meanwhile, and off again.
    roads.setHost(bypassIndex, 1.0f);
    ASSERT_TRUE(roads.run(std::vector<float>(mixed.begin(), mixed.begin() + 3000), 35, [&](int k) {
        if (k == 2)
        {
            roads.setHost(driveIndex, 0.9f);
            roads.setHost(lowIndex, 0.7f);
            roads.setHost(qualityIndex, 0.0f);
        }
    }));
    roads.setHost(bypassIndex, 0.0f);
    ASSERT_TRUE(roads.run(std::vector<float>(mixed.begin() + 3000, mixed.begin() + 20000), 36));

    EXPECT_GT(roads.blocksAtFactor[2], 50);
    EXPECT_GT(roads.blocksAtFactor[4], 50);
    EXPECT_GE(roads.bypassedBlocks, 3);
    EXPECT_GE(roads.longBlocks, 3);
}

INSTANTIATE_TEST_SUITE_P(Levels, FastRoad, ::testing::Values(SimdLevel::sse2, SimdLevel::avx2, SimdLevel::avx512),
                         [](const testing::TestParamInfo<SimdLevel>& info) {
                             return std::string(simdLevelName(info.param));
                         });

// A new processor runs the fastest road (the real-time and allocation tests
// measure that one); the level is set for the sampler and the engine together,
// and one either refuses changes neither.
TEST(ProcessorSimdLevel, BestAtConstructionAndSetForBothOrNeither)
{
    auto p = kymtest::makeProcessor();
    const SimdLevel best = libqor::dsp::bestSimdLevel();
    EXPECT_EQ(p->simdLevel(), best);
    EXPECT_EQ(p->sampler.simdLevel(), best);
    EXPECT_EQ(p->engine.simdLevel(), best);

    for (const SimdLevel level : { SimdLevel::sse2, SimdLevel::avx2, SimdLevel::avx512, SimdLevel::reference,
                                   static_cast<SimdLevel>(99), static_cast<SimdLevel>(-1) })
    {
        SCOPED_TRACE(static_cast<int>(level));
        const SimdLevel was = p->simdLevel();
        const SimdLevel now = p->setSimdLevel(level);
        EXPECT_EQ(now, simdLevelSupported(level) ? level : was);
        EXPECT_EQ(p->sampler.simdLevel(), now);
        EXPECT_EQ(p->engine.simdLevel(), now);
    }
}
