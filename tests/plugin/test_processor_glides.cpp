// Controls that move while a signal plays: the output glides from the old
// setting's sound to the new one and never bursts above both, the fast road
// stays the plain road, and where the engine comes to rest depends on the
// settings alone.

#include "test_processor_state_support.h"
#include "test_processor_support.h"

#include "engine/KYMStateDump.h"
#include "plugin/KymParameterTable.h"
#include "plugin/KymStateRecord.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace kymtest;

namespace
{

using Setting = std::array<float, kym::parameterCount>; // host (normalised) values, in parameter order

enum class Wave
{
    sine76,   // a low string's fundamental, full and steady
    bassLine, // harmonics and a swell
    tone1k,   // where the tone network's treble range begins
};

struct Case
{
    Setting before;
    Setting after;
    bool stateLoad; // the change arrives as a state record rather than as host automation
    Wave wave;
    double rate;
    int blockSize;
};

std::vector<float> signalFor(Wave wave, double rate, int frames)
{
    if (wave == Wave::bassLine)
        return bassSignal(frames, rate, 0.8f);
    std::vector<float> s(static_cast<size_t>(frames));
    const double hz = wave == Wave::sine76 ? 76.0 : 1000.0;
    for (int i = 0; i < frames; ++i)
        s[static_cast<size_t>(i)] = static_cast<float>(0.8 * std::sin(2.0 * M_PI * hz * i / rate));
    return s;
}

Bytes recordOf(const Setting& s)
{
    std::string text = "<ZOVARIDU><ProductInfo Product=\"KYM\" Version=\"2.1\"/><Settings";
    for (const int index : kym::stateOrder)
        text += std::string(" ") + kym::parameterTable[index].stateWord + "=\""
            + KymStateRecord::formatNormalised(s[static_cast<size_t>(index)]).toStdString() + "\"";
    return stateRecord(text + "/></ZOVARIDU>");
}

void apply(KymAudioProcessor& p, const Setting& s, bool stateLoad)
{
    if (stateLoad)
    {
        const auto record = recordOf(s);
        testing::internal::CaptureStderr();
        p.setStateInformation(record.data(), static_cast<int>(record.size()));
        testing::internal::GetCapturedStderr();
        return;
    }
    for (int i = 0; i < kym::parameterCount; ++i)
        setHost(p, i, s[static_cast<size_t>(i)]);
}

// The signal through a 1-in/1-out processor: `first` from the start and,
// with `second`, that setting from frame `switchAt` (a block boundary) on.
std::vector<float> render(const Case& c, const Setting& first, const Setting* second, int switchAt,
                          const std::vector<float>& signal)
{
    auto p = makeProcessor(1, 1, c.rate);
    apply(*p, first, false);
    std::vector<float> out;
    out.reserve(signal.size());
    juce::MidiBuffer midi;
    const int frames = static_cast<int>(signal.size());
    for (int start = 0; start < frames; start += c.blockSize)
    {
        if (second != nullptr && start == switchAt)
            apply(*p, *second, c.stateLoad);
        const int count = std::min(c.blockSize, frames - start);
        juce::AudioBuffer<float> buffer(1, count);
        std::copy_n(signal.data() + start, count, buffer.getWritePointer(0));
        p->processBlock(buffer, midi);
        out.insert(out.end(), buffer.getReadPointer(0), buffer.getReadPointer(0) + count);
    }
    return out;
}

float peak(const std::vector<float>& v, size_t from)
{
    float m = 0.0f;
    for (size_t i = from; i < v.size(); ++i)
        m = std::max(m, std::abs(v[i]));
    return m;
}

// The change comes 0.35 s in, once the circuit has settled on the signal;
// peaks are taken from there to the end, 0.35 s later. A steady peak is
// that of one setting alone over the same stretch of the same signal.
class BurstSearch
{
public:
    struct Outcome
    {
        float steadyBefore = 0.0f, steadyAfter = 0.0f, onTheWay = 0.0f, afterChange = 0.0f;
        double overEnds = 0.0; // dB over the louder end
        double overPath = 0.0; // dB over the loudest setting the glides pass
    };

    Outcome measure(const Case& c)
    {
        Outcome o;
        const int frames = static_cast<int>(0.7 * c.rate);
        const int switchAt = (static_cast<int>(0.35 * c.rate) / c.blockSize) * c.blockSize;
        const auto signal = signalFor(c.wave, c.rate, frames);
        o.afterChange = peak(render(c, c.before, &c.after, switchAt, signal), static_cast<size_t>(switchAt));
        o.steadyBefore = steady(c, c.before, switchAt, signal);
        o.steadyAfter = steady(c, c.after, switchAt, signal);
        o.overEnds = overDb(o.afterChange, std::max(o.steadyBefore, o.steadyAfter));
        o.overPath = o.overEnds;
        if (o.overEnds > 3.0)
        {
            // A setting on the way may be louder in its own right.
            o.onTheWay = loudestOnTheWay(c, switchAt, signal);
            o.overPath = overDb(o.afterChange, std::max({ o.steadyBefore, o.steadyAfter, o.onTheWay }));
        }
        return o;
    }

    static std::string describe(const Case& c, const Outcome& o)
    {
        std::ostringstream s;
        s << o.overPath << " dB over the path, " << o.overEnds << " over the ends (steady " << o.steadyBefore << " -> "
          << o.steadyAfter << ", on the way " << o.onTheWay << ", after the change " << o.afterChange << "); "
          << (c.stateLoad ? "state load" : "automation") << " at " << c.rate << " Hz, blocks of " << c.blockSize
          << ", wave " << static_cast<int>(c.wave) << "; before";
        for (float v : c.before)
            s << ' ' << v;
        s << "; after";
        for (float v : c.after)
            s << ' ' << v;
        return s.str();
    }

private:
    // Both ends near silence: differences below -60 dBFS are not bursts.
    static double overDb(float peakAfter, float reference)
    {
        return 20.0 * std::log10(std::max(peakAfter, 1e-9f) / std::max(reference, 1e-3f));
    }

    float steady(const Case& c, const Setting& s, int from, const std::vector<float>& signal)
    {
        std::ostringstream key;
        key << c.rate << ' ' << c.blockSize << ' ' << static_cast<int>(c.wave);
        for (float v : s)
            key << ' ' << v;
        const auto found = cache.find(key.str());
        if (found != cache.end())
            return found->second;
        const float p = peak(render(c, s, nullptr, 0, signal), static_cast<size_t>(from));
        cache.emplace(key.str(), p);
        return p;
    }

    // The settings at sixteen moments of the glides, each control on its own
    // glide (the tone pots' shorter), taken as an S-shaped sweep from rest.
    float loudestOnTheWay(const Case& c, int from, const std::vector<float>& signal)
    {
        double longest = 0.0;
        for (int i = 0; i < 7; ++i)
            longest = std::max(longest, duration(i, c.rate));
        float loudest = 0.0f;
        for (int q = 1; q < 16; ++q)
        {
            Setting s = c.after;
            for (int i = 0; i < 7; ++i)
            {
                const double t = std::min(1.0, q * longest / 16.0 / duration(i, c.rate));
                const auto k = static_cast<size_t>(i);
                s[k] = static_cast<float>(c.before[k] + (c.after[k] - c.before[k]) * (3.0 * t * t - 2.0 * t * t * t));
            }
            loudest = std::max(loudest, steady(c, s, from, signal));
        }
        return loudest;
    }

    static double duration(int index, double rate)
    {
        const int frames = KymAudioProcessor::isTonePot(index) ? KymAudioProcessor::toneStepFrames
                                                               : KymAudioProcessor::glideStepFrames;
        return KymAudioProcessor::glideSteps(index, rate) * frames / rate;
    }

    std::map<std::string, float> cache;
};

double uniform(std::mt19937& rng)
{
    return static_cast<double>(rng()) / 4294967296.0;
}

// Often at an end of a control's travel: the circuit is most extreme there.
Setting randomSetting(std::mt19937& rng, float quality)
{
    Setting s {};
    for (int i = 0; i < 7; ++i)
    {
        const double u = uniform(rng);
        s[static_cast<size_t>(i)] = u < 0.15 ? 0.0f : u < 0.3 ? 1.0f : static_cast<float>(uniform(rng));
    }
    s[kym::bypassIndex] = 0.0f;
    s[kym::qualityIndex] = quality;
    return s;
}

const double searchRates[] = { 44100.0, 48000.0, 88200.0, 96000.0 };

// How many random trials each kind gets: KYM_BURST_TRIALS widens the search.
int randomTrials()
{
    const char* wider = std::getenv("KYM_BURST_TRIALS");
    return wider != nullptr ? std::max(1, std::atoi(wider)) : 120;
}

} // namespace

// The jumps that burst before glides, as measured then (+23 to +43 dB).
TEST(ProcessorGlides, ReportedJumpsNoLongerBurst)
{
    struct Row
    {
        const char* what;
        Setting before, after;
        double rate;
    };
    const Row rows[] = {
        { "preset", { 0.5f, 1, 1, 1, 1, 0.75f, 0.5f, 0, 1 }, { 0.5f, 0.75f, 0, 0.75f, 0.5f, 0, 0.25f, 0, 1 }, 48000.0 },
        { "Low 1 to 0.5", { 1, 1, 0.5f, 1, 0, 1, 0, 0, 1 }, { 1, 1, 0.5f, 0.5f, 0, 1, 0, 0, 1 }, 48000.0 },
        { "Low 1 to 0.95", { 1, 1, 0.5f, 1, 0, 1, 0, 0, 1 }, { 1, 1, 0.5f, 0.95f, 0, 1, 0, 0, 1 }, 48000.0 },
        { "Level 0 to 1", { 1, 0, 0, 0, 1, 1, 1, 0, 1 }, { 1, 1, 0, 0, 1, 1, 1, 0, 1 }, 88200.0 },
        { "Input 0.5 to 0, Quality 0", { 0.5f, 1, 0, 0, 1, 0.5f, 1, 0, 0 }, { 0, 1, 0, 0, 1, 0.5f, 1, 0, 0 }, 88200.0 },
    };
    BurstSearch search;
    for (const Row& row : rows)
        for (const bool stateLoad : { false, true })
        {
            const Case c { row.before, row.after, stateLoad, Wave::sine76, row.rate, 512 };
            const auto o = search.measure(c);
            SCOPED_TRACE(row.what);
            EXPECT_LE(o.overEnds, 3.0) << BurstSearch::describe(c, o);
        }
}

// Every continuous control jumping between 0, 0.5 and 1, at each rate and
// Quality, with the others at the defaults or at a hot, bright setting
// (full Input and Level, Low up, High down, full Presence).
TEST(ProcessorGlides, SingleJumpsOfEveryControlStayWithin3dB)
{
    const Setting bases[] = { { 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0, 0, 0 }, { 1, 1, 0.5f, 1, 0, 1, 0, 0, 0 } };
    const float ends[] = { 0.0f, 0.5f, 1.0f };
    BurstSearch search;
    double worst = -100.0;
    int trials = 0;
    for (const double rate : searchRates)
        for (const float quality : { 0.0f, 1.0f })
            for (int b = 0; b < 2; ++b)
                for (int control = 0; control < 7; ++control)
                    for (const float from : ends)
                        for (const float to : ends)
                        {
                            if (from == to)
                                continue;
                            Case c {};
                            c.before = bases[b];
                            c.before[kym::qualityIndex] = quality;
                            c.after = c.before;
                            c.before[static_cast<size_t>(control)] = from;
                            c.after[static_cast<size_t>(control)] = to;
                            c.wave = (control + b) % 2 == 0 ? Wave::sine76 : Wave::bassLine;
                            c.rate = rate;
                            c.blockSize = 256;
                            const auto o = search.measure(c);
                            ++trials;
                            worst = std::max(worst, o.overPath);
                            EXPECT_LE(o.overPath, 3.0) << BurstSearch::describe(c, o);
                        }
    RecordProperty("trials", trials);
    RecordProperty("worst dB", std::to_string(worst));
}

// Seeded random jumps of one control and random pairs of settings, each pair
// arriving as host automation or as a state load, over signals, rates,
// Qualities and block sizes.
TEST(ProcessorGlides, RandomJumpsAndSettingPairsStayWithin3dB)
{
    std::mt19937 rng(20261211u);
    BurstSearch search;
    double worstJump = -100.0;
    double worstPair = -100.0;
    const int trials = randomTrials();
    for (int k = 0; k < 2 * trials; ++k)
    {
        const bool pair = k % 2 == 1;
        Case c {};
        const float quality = rng() % 2 ? 1.0f : 0.0f;
        c.before = randomSetting(rng, quality);
        if (pair)
        {
            c.after = randomSetting(rng, quality);
            c.stateLoad = rng() % 2 == 0;
        }
        else
        {
            c.after = c.before;
            c.after[rng() % 7] = static_cast<float>(uniform(rng));
        }
        c.wave = static_cast<Wave>(rng() % 3);
        c.rate = searchRates[rng() % 4];
        const int blockSizes[] = { 64, 256, 512, 1024 };
        c.blockSize = blockSizes[rng() % 4];

        const auto o = search.measure(c);
        (pair ? worstPair : worstJump) = std::max(pair ? worstPair : worstJump, o.overPath);
        EXPECT_LE(o.overPath, 3.0) << BurstSearch::describe(c, o);
    }
    RecordProperty("trials of each kind", trials);
    RecordProperty("worst single jump dB", std::to_string(worstJump));
    RecordProperty("worst pair dB", std::to_string(worstPair));
}

// A host that spreads Low 1 -> 0.5 over ten blocks (107 ms at 48 kHz): each
// block's new value retargets the glide from where it is.
TEST(ProcessorGlides, AutomationSpreadOverBlocksStaysWithin3dB)
{
    const Setting before = { 1, 1, 0.5f, 1, 0, 1, 0, 0, 1 };
    Setting after = before;
    after[kym::lowIndex] = 0.5f;
    const Case c { before, after, false, Wave::sine76, 48000.0, 512 };
    const int frames = static_cast<int>(0.7 * c.rate);
    const int switchAt = (static_cast<int>(0.35 * c.rate) / c.blockSize) * c.blockSize;
    const auto signal = signalFor(c.wave, c.rate, frames);

    auto p = makeProcessor(1, 1, c.rate);
    apply(*p, before, false);
    std::vector<float> out;
    for (int start = 0; start < frames; start += c.blockSize)
    {
        const int block = (start - switchAt) / c.blockSize;
        if (start >= switchAt && block < 10)
            setHost(*p, kym::lowIndex, 1.0f - 0.05f * static_cast<float>(block + 1));
        runBlock(*p, signal.data() + start, std::min(c.blockSize, frames - start), out);
    }
    BurstSearch search;
    Case bounds = c; // the two ends' steady peaks, from a single jump
    const auto o = search.measure(bounds);
    const float larger = std::max(o.steadyBefore, o.steadyAfter);
    EXPECT_LE(peak(out, static_cast<size_t>(switchAt)), larger * std::pow(10.0f, 3.0f / 20.0f));
}

// Every set a glide passes is a setting of the pots, so a stable filter at
// every engine rate, also where the network is most delicate: near the top
// of Low, for each High. (A mix of two such sets need not be stable.)
TEST(ProcessorGlides, EveryStepNearTheTopOfLowIsAStableFilter)
{
    // Schur-Cohn: all roots of 1 + a1 z^-1 + ... + a6 z^-6 inside the unit
    // circle exactly when every reflection coefficient of the step-down
    // recursion is below 1 in magnitude.
    const auto stable = [](const double(&section)[7]) {
        std::vector<double> a(section, section + 7);
        for (int m = 6; m >= 1; --m)
        {
            const double k = a[static_cast<size_t>(m)];
            if (!(std::abs(k) < 1.0))
                return false;
            std::vector<double> next(static_cast<size_t>(m));
            for (int i = 0; i < m; ++i)
                next[static_cast<size_t>(i)] =
                    (a[static_cast<size_t>(i)] - k * a[static_cast<size_t>(m - i)]) / (1.0 - k * k);
            a = next;
        }
        return true;
    };

    for (const double fs : { 16000.0, 88200.0, 96000.0, 176400.0, 192000.0, 352800.0, 384000.0 })
        for (const double treble : { 0.0, 0.3, 0.7, 1.0 })
        {
            SCOPED_TRACE(testing::Message() << fs << " Hz, High " << treble * 10);
            KYM engine;
            engine.setParameterSlot(KYM::Slot::treble, treble);
            engine.setParameterSlot(KYM::Slot::bass, 1.0);
            engine.updateSamplerate(fs);
            engine.updateParameters();
            engine.updateParameters();
            engine.glideTone(KYM::Slot::bass, 0.9, 400, 16);
            int steps = 0;
            while (engine.toneGliding())
            {
                engine.toneGlideStep();
                ++steps;
                ASSERT_TRUE(stable(engine.tonestage.section.a)) << "Low " << engine.slots[KYM::Slot::bass].value * 10;
            }
            EXPECT_EQ(steps, 400);
        }
}

// Low turned back and forth near its top on every block for three seconds:
// the output stays within the loudest steady sound of the positions passed.
TEST(ProcessorGlides, LowSwungNearItsTopStaysBounded)
{
    const Setting hot = { 1, 1, 0.5f, 1, 0, 1, 0, 0, 1 };
    for (const double rate : { 48000.0, 96000.0 })
    {
        SCOPED_TRACE(rate);
        const int frames = static_cast<int>(3.0 * rate);
        const auto signal = signalFor(Wave::sine76, rate, frames);
        BurstSearch search;
        float loudest = 0.0f;
        for (const float low : { 0.9f, 0.95f, 1.0f })
        {
            Setting s = hot;
            s[kym::lowIndex] = low;
            const auto o = search.measure({ s, s, false, Wave::sine76, rate, 256 });
            loudest = std::max(loudest, o.steadyAfter);
        }

        auto p = makeProcessor(1, 1, rate);
        apply(*p, hot, false);
        std::vector<float> out;
        for (int start = 0, block = 0; start < frames; start += 256, ++block)
        {
            if (start > frames / 8)
                setHost(*p, kym::lowIndex, block % 2 ? 0.9f : 1.0f);
            runBlock(*p, signal.data() + start, std::min(256, frames - start), out);
        }
        EXPECT_LE(peak(out, static_cast<size_t>(frames / 8)), loudest * std::pow(10.0f, 3.0f / 20.0f));
    }
}

namespace
{

// Every coefficient of the engine, as bits, and nothing of its signal
// states: what the settings, the rate and the tone ramp make of it.
std::vector<std::pair<std::string, uint64_t>> coefficientsOf(const KymAudioProcessor& p)
{
    std::vector<std::pair<std::string, uint64_t>> v;
    const auto add = [&](const std::string& name, double x) {
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        v.emplace_back(name, bits);
    };
    const auto addArray = [&](const std::string& name, const double* a, int n) {
        for (int i = 0; i < n; ++i)
            add(name + "[" + std::to_string(i) + "]", a[i]);
    };
    const KYM& e = p.engine;
    add("inputGain", p.inputGain);
    add("fs", e.fs);
    for (int i = 0; i < KYM::Slot::count; ++i)
        add("slot " + std::to_string(i), e.slots[i].value);
    for (const KYM_HIGHPASS* h : { &e.inputHighpass, &e.outputHighpass, &e.finalHighpass })
        for (const double x : { h->fc, h->R, h->C, h->G, h->T, h->k })
            add("highpass", x);
    for (const double x : { e.blend.R1, e.blend.R2, e.blend.R3, e.blend.C, e.blend.G, e.blend.level })
        add("blend", x);
    addArray("inputNetwork.coef", e.inputNetwork.coef, std::size(e.inputNetwork.coef));
    addArray("firstNetwork.coef", e.firstNetwork.coef, std::size(e.firstNetwork.coef));
    addArray("secondNetwork.coef", e.secondNetwork.coef, std::size(e.secondNetwork.coef));
    addArray("presence.coeffs", e.presence.coeffs, std::size(e.presence.coeffs));
    addArray("drive.coeffs", e.drive.coeffs, std::size(e.drive.coeffs));
    for (const double x :
         { e.presence.Rv, e.presence.G1, e.presence.G2, e.presence.G3, e.drive.Rv, e.drive.G1, e.drive.G2, e.drive.G3 })
        add("opamp", x);
    const KYM_TONESTAGE& t = e.tonestage;
    add("tone ramping", t.stepFn == &KYM_TONESTAGE::step ? 1.0 : 0.0);
    addArray("tone.section.a", t.section.a, 7);
    addArray("tone.section.b", t.section.b, 7);
    addArray("tone.targetCoef", t.targetCoef, 14);
    addArray("tone.rampedCoef", t.rampedCoef, 14);
    for (const double x : { t.bass, t.treble, t.fs })
        add("tone", x);
    return v;
}

std::string firstDifference(const KymAudioProcessor& a, const KymAudioProcessor& b)
{
    const auto x = coefficientsOf(a);
    const auto y = coefficientsOf(b);
    for (size_t i = 0; i < x.size(); ++i)
        if (x[i].second != y[i].second)
            return x[i].first;
    return "";
}

// Runs the signal on in blocks until no control moves and the tone stage's
// ramp has come to rest.
void runUntilSettled(KymAudioProcessor& p, const std::vector<float>& signal, int blockSize)
{
    std::vector<float> out;
    for (int k = 0, at = 0; k < 2000; ++k)
    {
        if (!p.glidesMoving() && p.engine.tonestage.stepFn == &KYM_TONESTAGE::step_null && k > 0)
            return;
        if (at + blockSize > static_cast<int>(signal.size()))
            at = 0;
        runBlock(p, signal.data() + at, blockSize, out);
        at += blockSize;
    }
    ADD_FAILURE() << "never settled";
}

} // namespace

// The same settings reached in different ways end with the same engine
// coefficients, to the bit, as a processor that started with them: whether
// they arrive before the first block or after silent blocks (a host that
// restores a session before or after its first cycle), at one block
// boundary or another, from one setting or another.
TEST(ProcessorGlides, SettledCoefficientsDependOnTheSettingsAlone)
{
    const Setting target = { 0.8f, 0.3f, 0.9f, 0.95f, 0.15f, 0.6f, 0.4f, 0, 1 };
    const Setting elsewhere = { 0.2f, 1, 0, 0.1f, 1, 0, 1, 0, 1 };
    for (const double rate : { 44100.0, 48000.0, 96000.0 })
    {
        SCOPED_TRACE(rate);
        const auto signal = bassSignal(static_cast<int>(rate), rate, 0.7f);
        const std::vector<float> silence(4096, 0.0f);

        auto fresh = makeProcessor(1, 1, rate);
        apply(*fresh, target, false);
        runUntilSettled(*fresh, signal, 512);

        struct Way
        {
            const char* what;
            std::function<void(KymAudioProcessor&)> reach;
        };
        const Way ways[] = {
            { "after one silent block",
              [&](KymAudioProcessor& p) {
                  runInBlocks(p, std::vector<float>(silence.begin(), silence.begin() + 512), 512);
                  apply(p, target, true);
              } },
            { "after three silent blocks",
              [&](KymAudioProcessor& p) {
                  runInBlocks(p, std::vector<float>(silence.begin(), silence.begin() + 3 * 256), 256);
                  apply(p, target, false);
              } },
            { "from another setting, after 5 blocks",
              [&](KymAudioProcessor& p) {
                  apply(p, elsewhere, false);
                  runInBlocks(p, std::vector<float>(signal.begin(), signal.begin() + 5 * 512), 512);
                  apply(p, target, false);
              } },
            { "from another setting, after 9 blocks of 97",
              [&](KymAudioProcessor& p) {
                  apply(p, elsewhere, true);
                  runInBlocks(p, std::vector<float>(signal.begin(), signal.begin() + 9 * 97), 97);
                  apply(p, target, true);
              } },
            { "in the middle of another glide",
              [&](KymAudioProcessor& p) {
                  runInBlocks(p, std::vector<float>(signal.begin(), signal.begin() + 2048), 512);
                  apply(p, elsewhere, false);
                  runInBlocks(p, std::vector<float>(signal.begin(), signal.begin() + 3 * 128), 128);
                  apply(p, target, false);
              } },
        };
        for (const Way& way : ways)
        {
            SCOPED_TRACE(way.what);
            auto p = makeProcessor(1, 1, rate);
            way.reach(*p);
            runUntilSettled(*p, signal, 333);
            EXPECT_EQ(firstDifference(*p, *fresh), "");
        }
    }
}

// Values are taken at once where there is nothing to glide over: before
// audio has arrived, while Bypass passes the signal through, and at the
// restarts that Bypass, Quality and the rate make.
TEST(ProcessorGlides, NoGlideBeforeAudioOrAcrossARestart)
{
    const auto signal = bassSignal(4096, 48000.0);
    std::vector<float> out;

    auto p = makeProcessor(1, 1, 48000.0);
    setHost(*p, kym::driveIndex, 0.9f);
    setHost(*p, kym::lowIndex, 0.1f);
    runBlock(*p, signal.data(), 512, out); // the first block: no audio before it
    EXPECT_FALSE(p->glidesMoving());
    EXPECT_EQ(p->engine.slots[KYM::Slot::drive].value, 0.9f * 10.0 / 10.0);
    EXPECT_EQ(p->engine.slots[KYM::Slot::bass].value, 0.1f * 10.0 / 10.0);

    // Playing: a change glides.
    setHost(*p, kym::driveIndex, 0.2f);
    setHost(*p, kym::lowIndex, 0.6f);
    runBlock(*p, signal.data(), 64, out);
    EXPECT_TRUE(p->glidesMoving());
    EXPECT_TRUE(p->engine.toneGliding());

    // A Quality change restarts the circuit: the glides end at once.
    setHost(*p, kym::qualityIndex, 1.0f);
    runBlock(*p, signal.data(), 64, out);
    EXPECT_FALSE(p->glidesMoving());
    EXPECT_EQ(p->engine.slots[KYM::Slot::drive].value, 0.2f * 10.0 / 10.0);
    EXPECT_EQ(p->engine.slots[KYM::Slot::bass].value, 0.6f * 10.0 / 10.0);

    // Under Bypass, at once; and the restart after it glides nothing either.
    setHost(*p, kym::bypassIndex, 1.0f);
    runBlock(*p, signal.data(), 64, out);
    setHost(*p, kym::levelIndex, 0.05f);
    setHost(*p, kym::highIndex, 0.95f);
    runBlock(*p, signal.data(), 64, out);
    EXPECT_FALSE(p->glidesMoving());
    EXPECT_EQ(p->engine.slots[KYM::Slot::treble].value, 0.95f * 10.0 / 10.0);
    setHost(*p, kym::bypassIndex, 0.0f);
    runBlock(*p, signal.data(), 64, out);
    EXPECT_FALSE(p->glidesMoving());

    // A value taken at once stays when a later restart ends another glide.
    setHost(*p, kym::lowIndex, 0.3f);
    runBlock(*p, signal.data(), 64, out);
    EXPECT_TRUE(p->engine.toneGliding());
    setHost(*p, kym::qualityIndex, 0.0f);
    runBlock(*p, signal.data(), 64, out);
    EXPECT_FALSE(p->glidesMoving());
    EXPECT_EQ(p->engine.slots[KYM::Slot::treble].value, 0.95f * 10.0 / 10.0);
    EXPECT_EQ(p->engine.slots[KYM::Slot::bass].value, 0.3f * 10.0 / 10.0);
}

// A host restoring a session before its first cycles or after them (silent
// ones) renders the very same bits, its cycles being the same: until the
// input carries a signal, values are taken at once, and the circuit starts
// afresh with the first block that carries one.
TEST(ProcessorGlides, SessionRestoredBeforeOrAfterSilentCyclesRendersTheSame)
{
    const Setting session = { 0.8f, 0.3f, 0.9f, 0.95f, 0.15f, 0.6f, 0.4f, 0, 1 };
    const double rate = 48000.0;
    auto signal = bassSignal(static_cast<int>(2 * rate), rate, 0.7f);
    std::fill(signal.begin(), signal.begin() + 700, 0.0f); // the first note comes in the third block

    auto reference = makeProcessor(1, 1, rate);
    apply(*reference, session, true);
    const auto expected = runInBlocks(*reference, signal, 256);

    for (const int silentCycles : { 1, 2 })
        for (const bool stateLoad : { true, false })
        {
            SCOPED_TRACE(testing::Message()
                         << silentCycles << " silent cycles, " << (stateLoad ? "state load" : "automation"));
            auto p = makeProcessor(1, 1, rate);
            std::vector<float> out;
            for (int k = 0; k < silentCycles; ++k)
                runBlock(*p, signal.data() + 256 * k, 256, out);
            apply(*p, session, stateLoad);
            for (size_t at = 256 * static_cast<size_t>(silentCycles); at < signal.size(); at += 256)
                runBlock(*p, signal.data() + at, static_cast<int>(std::min<size_t>(256, signal.size() - at)), out);
            // From the first block that carries the signal (the third) on.
            EXPECT_TRUE(sameBits(std::vector<float>(out.begin() + 512, out.end()),
                                 std::vector<float>(expected.begin() + 512, expected.end())));
            EXPECT_EQ(firstDifference(*p, *reference), "");
        }
}
