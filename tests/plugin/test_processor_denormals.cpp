#include "test_processor_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include <xmmintrin.h>

using namespace kymtest;

// Quiet input after a loud burst (and from the start): the output must reach
// exact zero or stay clear of subnormal floats, the audio road must carry no
// subnormal double from sample to sample, and all of it must hold on a host
// audio thread other than the one that built the processor. The half-band
// sections set flush-to-zero only on the building thread.

namespace
{

constexpr double rate = 48000.0;
constexpr int blockSize = 512;
// An audio thread as the process starts it: every exception masked, round to
// nearest, neither flush-to-zero nor denormals-are-zero.
constexpr unsigned defaultCsr = 0x1F80u;
constexpr unsigned csrFlags = 0x3Fu;
constexpr unsigned denormalOperandFlag = 0x2u;
// Long enough for the circuit to settle from its start (a few seconds).
constexpr int tailBlocks = static_cast<int>(6.0 * rate / blockSize);

struct StateValue
{
    std::string name;
    const double* value;
};

void add(std::vector<StateValue>& v, const std::string& name, const double* p, int n)
{
    for (int i = 0; i < n; ++i)
        v.push_back({ name + "[" + std::to_string(i) + "]", p + i });
}

void addPair(std::vector<StateValue>& v, const std::string& name, const libqor::Vec2& pair)
{
    add(v, name, reinterpret_cast<const double*>(&pair), 2);
}

template <class Stage>
void addOpamp(std::vector<StateValue>& v, const std::string& name, const Stage& s)
{
    const double* fields[] = { &s.in, &s.fb, &s.out, &s.leg, &s.core, &s.s1, &s.s2, &s.s3 };
    const char* names[] = { ".in", ".fb", ".out", ".leg", ".core", ".s1", ".s2", ".s3" };
    for (size_t i = 0; i < std::size(fields); ++i)
        add(v, name + names[i], fields[i], 1);
}

void addHighpass(std::vector<StateValue>& v, const std::string& name, const KYM_HIGHPASS& h)
{
    add(v, name + ".x", &h.x, 1);
    add(v, name + ".y", &h.y, 1);
    add(v, name + ".st", &h.st, 1);
}

void addHalfBand(std::vector<StateValue>& v, const std::string& name, const libqor::CHalfBandFilter& f)
{
    add(v, name + ".savedElement1", &f.savedElement1, 1);
    addPair(v, name + ".work", f.work);
    const libqor::CAllPassFilterCascade* cascades[] = { f.cascadeA, f.cascadeB };
    for (int c = 0; c < 2; ++c)
    {
        for (int i = 0; i < cascades[c]->count; ++i)
        {
            const auto& s = *cascades[c]->sections[i];
            const std::string section = name + (c == 0 ? ".A" : ".B") + std::to_string(i + 1);
            addPair(v, section + ".pairIn", s.pairIn);
            addPair(v, section + ".pairOut", s.pairOut);
            add(v, section + ".xHist", s.xHist, 3);
            add(v, section + ".yHist", s.yHist, 3);
        }
    }
}

// Every double the audio road carries from one sample to the next.
std::vector<StateValue> audioRoadState(const KymAudioProcessor& p)
{
    std::vector<StateValue> v;
    const KYM& e = p.engine;
    add(v, "engine.current", &e.current, 1);
    add(v, "engine.dry", &e.dry, 1);
    addHighpass(v, "inputHighpass", e.inputHighpass);
    addHighpass(v, "outputHighpass", e.outputHighpass);
    addHighpass(v, "finalHighpass", e.finalHighpass);
    add(v, "blend.out", &e.blend.out, 1);
    add(v, "blend.v", &e.blend.v, 1);
    add(v, "blend.st", &e.blend.st, 1);
    add(v, "inputNetwork.x", e.inputNetwork.x, 5);
    add(v, "inputNetwork.y", e.inputNetwork.y, 5);
    add(v, "firstNetwork.x", e.firstNetwork.x, 4);
    add(v, "firstNetwork.y", e.firstNetwork.y, 4);
    add(v, "secondNetwork.x", e.secondNetwork.x, 4);
    add(v, "secondNetwork.y", e.secondNetwork.y, 4);
    addOpamp(v, "presence", e.presence);
    addOpamp(v, "drive", e.drive);
    add(v, "tonestage.section.s", e.tonestage.section.s, 6);

    const auto& s = p.sampler;
    add(v, "sampler.interpIn", s.interpIn, 3);
    add(v, "sampler.interpOut", s.interpOut, 3);
    for (int i = 0; i < 7; ++i)
        addPair(v, "sampler.work" + std::to_string(i), s.work[i]);
    addHalfBand(v, "up1", s.up1);
    addHalfBand(v, "up2", s.up2);
    addHalfBand(v, "up3", s.up3);
    addHalfBand(v, "down1", s.down1);
    addHalfBand(v, "down2", s.down2);
    addHalfBand(v, "down3", s.down3);
    return v;
}

std::string subnormalStates(const std::vector<StateValue>& state)
{
    std::string names;
    for (const auto& s : state)
        if (std::fpclassify(*s.value) == FP_SUBNORMAL)
            names += s.name + " ";
    return names;
}

enum class Tail
{
    silence,
    minus300dB
};

struct Case
{
    const char* name;
    float controls[7]; // host values of Input .. Blend
    int quality;
    bool burst;
    Tail tail;
};

// What one run left behind, checked by the tests.
struct TailRun
{
    std::vector<float> output; // the quiet tail only
    int subnormalOutputs = 0;
    int firstSubnormalBlock = -1;
    std::string subnormalState; // the first block end that had any
    int blocksWithDenormalOperand = 0;
    bool finite = true;
    unsigned csrBefore = 0; // mode bits of the audio thread before the first block
    unsigned csrAfter = 0;  // and after the last
};

// 0.5 s of a full-scale bass phrase (or of nothing), then the quiet tail.
// otherThread: built on one thread, processed on a second one left at the
// default MXCSR, as most hosts do; otherwise built and processed on one.
TailRun runCase(const Case& c, bool otherThread)
{
    TailRun run;
    std::unique_ptr<KymAudioProcessor> p;
    auto build = [&] {
        p = makeProcessor(1, 2, rate);
        for (int k = 0; k < 7; ++k)
            setHost(*p, k, c.controls[k]);
        setHost(*p, 8, static_cast<float>(c.quality));
    };
    auto process = [&] {
        run.csrBefore = _mm_getcsr() & ~csrFlags;
        const auto burst = bassSignal(static_cast<int>(rate / 2), rate, c.burst ? 1.0f : 0.0f);
        runInBlocks(*p, burst, blockSize);

        const auto state = audioRoadState(*p);
        std::vector<float> quiet(blockSize, 0.0f);
        for (int b = 0; b < tailBlocks; ++b)
        {
            if (c.tail == Tail::minus300dB)
                for (int i = 0; i < blockSize; ++i)
                    quiet[static_cast<size_t>(i)] =
                        static_cast<float>(1e-15 * std::sin(2.0 * M_PI * 55.0 * (b * blockSize + i) / rate));
            _mm_setcsr(_mm_getcsr() & ~csrFlags);
            runBlock(*p, quiet.data(), blockSize, run.output);
            run.blocksWithDenormalOperand += (_mm_getcsr() & denormalOperandFlag) != 0 ? 1 : 0;

            for (size_t i = run.output.size() - blockSize; i < run.output.size(); ++i)
            {
                run.finite = run.finite && std::isfinite(run.output[i]);
                if (std::fpclassify(run.output[i]) == FP_SUBNORMAL)
                {
                    ++run.subnormalOutputs;
                    if (run.firstSubnormalBlock < 0)
                        run.firstSubnormalBlock = b;
                }
            }
            if (run.subnormalState.empty())
                run.subnormalState = subnormalStates(state);
        }
        run.csrAfter = _mm_getcsr() & ~csrFlags;
    };

    if (otherThread)
    {
        std::thread(build).join();
        std::thread([&] {
            _mm_setcsr(defaultCsr);
            process();
        }).join();
    }
    else
    {
        std::thread([&] {
            _mm_setcsr(defaultCsr);
            build();
            process();
        }).join();
    }
    return run;
}

const Case cases[] = {
    { "BurstThenSilenceQ0", { 0.5f, 0.5f, 0.7f, 0.5f, 0.5f, 0.5f, 0.0f }, 0, true, Tail::silence },
    { "BurstThenSilenceQ1", { 0.5f, 0.5f, 0.7f, 0.5f, 0.5f, 0.5f, 0.0f }, 1, true, Tail::silence },
    { "BurstThenMinus300dBQ0", { 0.5f, 0.5f, 0.7f, 0.5f, 0.5f, 0.5f, 0.0f }, 0, true, Tail::minus300dB },
    { "BurstThenMinus300dBQ1", { 0.5f, 0.5f, 0.7f, 0.5f, 0.5f, 0.5f, 0.0f }, 1, true, Tail::minus300dB },
    // A fresh plug-in on a quiet track: the input network's own decay.
    { "SilenceFromStartQ0", { 0.5f, 0.5f, 0.7f, 0.5f, 0.5f, 0.5f, 0.0f }, 0, false, Tail::silence },
    { "SilenceFromStartQ1", { 0.5f, 0.5f, 0.7f, 0.5f, 0.5f, 0.5f, 0.0f }, 1, false, Tail::silence },
    { "AllAtTenBurstThenSilenceQ0", { 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f }, 0, true, Tail::silence },
    // Input and Level at 0: the output lives far below float's normal range.
    { "AllAtZeroQ0", { 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f }, 0, true, Tail::minus300dB },
    { "AllAtZeroQ1", { 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f }, 1, true, Tail::silence },
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

class QuietTail : public ::testing::TestWithParam<Case>
{};

} // namespace

TEST_P(QuietTail, StaysFreeOfSubnormalsOnAnyThread)
{
    const Case& c = GetParam();
    TailRun runs[2];
    for (const bool otherThread : { false, true })
    {
        SCOPED_TRACE(otherThread ? "processed on another thread" : "processed on the building thread");
        const TailRun& run = runs[otherThread ? 1 : 0] = runCase(c, otherThread);
        EXPECT_TRUE(run.finite);
        EXPECT_EQ(run.subnormalOutputs, 0) << "first in block " << run.firstSubnormalBlock;
        EXPECT_EQ(run.subnormalState, "");
        // No sample of the tail took a subnormal operand anywhere on the road.
        EXPECT_EQ(run.blocksWithDenormalOperand, 0);
        // The host's own floating-point mode is left as it was.
        EXPECT_EQ(run.csrAfter, run.csrBefore);

        // Quiet in, quiet out: at most the circuit's own residue, far below
        // anything audible, or exact zero.
        float peak = 0.0f;
        for (size_t i = run.output.size() / 2; i < run.output.size(); ++i)
            peak = std::max(peak, std::abs(run.output[i]));
        EXPECT_LT(peak, 1e-10f);
    }
    // The thread that runs the road must not change a single bit.
    EXPECT_TRUE(sameBits(runs[0].output, runs[1].output));
}

INSTANTIATE_TEST_SUITE_P(ProcessorDenormals, QuietTail, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });
