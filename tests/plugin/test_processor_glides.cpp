// Controls that move while a signal plays: the output glides from the old
// setting's sound to the new one and never bursts above both.

#include "test_processor_state_support.h"
#include "test_processor_support.h"

#include "plugin/KymParameterTable.h"
#include "plugin/KymStateRecord.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace kymtest;

namespace
{

using Setting = std::array<float, kym::parameterCount>; // host (normalised) values

enum class Wave
{
    sine76,   // the fundamental of a low string, full and steady
    bassLine, // harmonics and a swell
    tone1k,   // high in the tone network's treble range
};

struct Case
{
    Setting before;
    Setting after;
    bool preset; // the change arrives as a state load rather than as host automation
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

Bytes presetRecord(const Setting& s)
{
    std::string text = "<ZOVARIDU><ProductInfo Product=\"KYM\" Version=\"2.1\"/><Settings";
    for (const int index : kym::stateOrder)
        text += std::string(" ") + kym::parameterTable[index].stateWord + "=\""
            + KymStateRecord::formatNormalised(s[static_cast<size_t>(index)]).toStdString() + "\"";
    return stateRecord(text + "/></ZOVARIDU>");
}

void apply(KymAudioProcessor& p, const Setting& s, bool preset)
{
    if (preset)
    {
        const auto record = presetRecord(s);
        testing::internal::CaptureStderr();
        p.setStateInformation(record.data(), static_cast<int>(record.size()));
        testing::internal::GetCapturedStderr();
        return;
    }
    for (int i = 0; i < kym::parameterCount; ++i)
        setHost(p, i, s[static_cast<size_t>(i)]);
}

// The signal through a 1-in/1-out processor: `first` from the start, and
// from frame `switchAt` (a block boundary) `second`.
std::vector<float> render(const Case& c, const Setting& first, const Setting* second, int switchAt,
                          const std::vector<float>& signal)
{
    auto p = makeProcessor(1, 1, c.rate);
    if (std::getenv("KYM_REFERENCE"))
        p->setSimdLevel(libqor::dsp::SimdLevel::reference);
    apply(*p, first, false);
    std::vector<float> out;
    out.reserve(signal.size());
    juce::MidiBuffer midi;
    const int frames = static_cast<int>(signal.size());
    for (int start = 0; start < frames; start += c.blockSize)
    {
        if (second != nullptr && start == switchAt)
            apply(*p, *second, c.preset);
        const int count = std::min(c.blockSize, frames - start);
        juce::AudioBuffer<float> buffer(1, count);
        std::copy_n(signal.data() + start, count, buffer.getWritePointer(0));
        p->processBlock(buffer, midi);
        out.insert(out.end(), buffer.getReadPointer(0), buffer.getReadPointer(0) + count);
    }
    return out;
}

float peak(const std::vector<float>& v, size_t from, size_t to)
{
    float m = 0.0f;
    for (size_t i = from; i < std::min(to, v.size()); ++i)
        m = std::max(m, std::abs(v[i]));
    return m;
}

struct Outcome
{
    double overDb; // the peak after the change over the larger steady peak
    float steadyBefore, steadyAfter, afterChange;
};

// Steady peaks are those of each setting alone, over the same stretch of the
// signal as the change's, once the circuit has settled.
Outcome measure(const Case& c)
{
    const int frames = static_cast<int>(0.7 * c.rate);
    const int switchAt = (static_cast<int>(0.35 * c.rate) / c.blockSize) * c.blockSize;
    const auto signal = signalFor(c.wave, c.rate, frames);
    const auto changed = render(c, c.before, &c.after, switchAt, signal);
    const auto before = render(c, c.before, nullptr, 0, signal);
    const auto after = render(c, c.after, nullptr, 0, signal);
    const auto from = static_cast<size_t>(switchAt);
    const auto to = static_cast<size_t>(frames);
    Outcome o;
    o.steadyBefore = peak(before, from, to);
    o.steadyAfter = peak(after, from, to);
    o.afterChange = peak(changed, from, to);
    const float larger = std::max({ o.steadyBefore, o.steadyAfter, 1e-3f });
    o.overDb = 20.0 * std::log10(std::max(o.afterChange, 1e-9f) / larger);
    return o;
}

// The steady peaks of the settings the glides pass through, each control on
// its own glide, at eight moments; the change's peak over the loudest.
double glideDuration(int index, double rate)
{
    const int frames = KymAudioProcessor::isTonePot(index) ? KymAudioProcessor::toneStepFrames
                                                            : KymAudioProcessor::glideStepFrames;
    return KymAudioProcessor::glideSteps(index, rate) * frames / rate;
}

double overPath(const Case& c, const Outcome& o)
{
    double longest = 0.0;
    for (int i = 0; i < 7; ++i)
        longest = std::max(longest, glideDuration(i, c.rate));
    float louder = 0.0f;
    const int points = std::getenv("KYM_PATH_POINTS") ? std::atoi(std::getenv("KYM_PATH_POINTS")) : 8;
    for (int q = 1; q < points; ++q)
    {
        Case mid = c;
        mid.preset = false;
        for (int i = 0; i < 7; ++i)
        {
            const double t = std::min(1.0, q * longest / points / glideDuration(i, c.rate));
            const auto k = static_cast<size_t>(i);
            mid.after[k] = static_cast<float>(c.before[k] + (c.after[k] - c.before[k]) * (3.0 * t * t - 2.0 * t * t * t));
        }
        louder = std::max(louder, measure(mid).steadyAfter);
        if (std::getenv("KYM_PATH_PRINT"))
            std::printf("    path %d/%d: %g\n", q, points, measure(mid).steadyAfter);
    }
    const float larger = std::max({ o.steadyBefore, o.steadyAfter, louder, 1e-3f });
    return 20.0 * std::log10(std::max(o.afterChange, 1e-9f) / larger);
}

std::string describe(const Case& c)
{
    std::ostringstream s;
    s << (c.preset ? "preset" : "automation") << " at " << c.rate << " Hz, blocks of " << c.blockSize << ", wave "
      << static_cast<int>(c.wave) << "; before";
    for (float v : c.before)
        s << ' ' << v;
    s << "; after";
    for (float v : c.after)
        s << ' ' << v;
    return s.str();
}

double uniform(std::mt19937& rng)
{
    return static_cast<double>(rng()) / 4294967296.0;
}

Setting randomSetting(std::mt19937& rng, float quality)
{
    Setting s {};
    for (int i = 0; i < 7; ++i)
    {
        const double u = uniform(rng);
        // Often at an end of its travel: the ends are where the circuit is most extreme.
        s[static_cast<size_t>(i)] = u < 0.15 ? 0.0f : u < 0.3 ? 1.0f : static_cast<float>(uniform(rng));
    }
    s[kym::bypassIndex] = 0.0f;
    s[kym::qualityIndex] = quality;
    return s;
}

const double rates[] = { 44100.0, 48000.0, 88200.0, 96000.0 };

} // namespace

TEST(ProcessorGlides, Explore)
{
    const char* env = std::getenv("KYM_GLIDE_TRIALS");
    const int trials = env != nullptr ? std::atoi(env) : 0;
    if (trials == 0)
        GTEST_SKIP();
    if (const char* g = std::getenv("KYM_GLIDE_SECONDS"))
        KymAudioProcessor::glideSeconds = std::atof(g);
    if (const char* g = std::getenv("KYM_GLIDE_STEP"))
        KymAudioProcessor::glideStepFrames = std::atoi(g);
    if (const char* g = std::getenv("KYM_TONE_SECONDS"))
        KymAudioProcessor::toneGlideSeconds = std::atof(g);
    if (const char* g = std::getenv("KYM_TONE_STEP"))
        KymAudioProcessor::toneStepFrames = std::atoi(g);

    std::mt19937 rng(20261211u);
    std::vector<std::pair<double, std::string>> worst;
    int over3 = 0, over6 = 0;
    for (int k = 0; k < trials; ++k)
    {
        Case c;
        const float quality = rng() % 2 ? 1.0f : 0.0f;
        c.before = randomSetting(rng, quality);
        c.preset = k % 3 == 0;
        if (c.preset)
            c.after = randomSetting(rng, quality);
        else
        {
            c.after = c.before;
            const int control = static_cast<int>(rng() % 7);
            const float ends[] = { 0.0f, 0.5f, 1.0f };
            c.after[static_cast<size_t>(control)] =
                k % 3 == 1 ? ends[rng() % 3] : static_cast<float>(uniform(rng));
            if (k % 3 == 1)
                c.before[static_cast<size_t>(control)] = ends[rng() % 3];
        }
        c.wave = static_cast<Wave>(rng() % 3);
        c.rate = rates[rng() % 4];
        const int blocks[] = { 64, 256, 512, 1024 };
        c.blockSize = blocks[rng() % 4];
        if (std::getenv("KYM_TONE_ONLY") && c.before[3] == c.after[3] && c.before[4] == c.after[4])
            continue;
        auto o = measure(c);
        if (o.overDb > 3.0)
            o.overDb = overPath(c, o);
        over3 += o.overDb > 3.0;
        over6 += o.overDb > 6.0;
        std::ostringstream s;
        s << o.overDb << " dB (" << o.steadyBefore << " -> " << o.steadyAfter << ", after change " << o.afterChange
          << ") " << describe(c);
        worst.emplace_back(o.overDb, s.str());
    }
    std::sort(worst.begin(), worst.end(), [](auto& a, auto& b) { return a.first > b.first; });
    std::printf("trials %d, over 3 dB %d, over 6 dB %d\n", trials, over3, over6);
    for (size_t i = 0; i < std::min<size_t>(15, worst.size()); ++i)
        std::printf("%s\n", worst[i].second.c_str());
}

TEST(ProcessorGlides, ExploreOne)
{
    const char* env = std::getenv("KYM_GLIDE_CASE");
    if (env == nullptr)
        GTEST_SKIP();
    if (const char* g = std::getenv("KYM_GLIDE_SECONDS"))
        KymAudioProcessor::glideSeconds = std::atof(g);
    if (const char* g = std::getenv("KYM_GLIDE_STEP"))
        KymAudioProcessor::glideStepFrames = std::atoi(g);
    if (const char* g = std::getenv("KYM_TONE_SECONDS"))
        KymAudioProcessor::toneGlideSeconds = std::atof(g);
    if (const char* g = std::getenv("KYM_TONE_STEP"))
        KymAudioProcessor::toneStepFrames = std::atoi(g);
    // rate block wave preset b0..b8 a0..a8
    Case c;
    std::istringstream in(env);
    int wave = 0, preset = 0;
    in >> c.rate >> c.blockSize >> wave >> preset;
    c.wave = static_cast<Wave>(wave);
    c.preset = preset != 0;
    for (float& v : c.before)
        in >> v;
    for (float& v : c.after)
        in >> v;
    const auto o = measure(c);
    std::printf("%g dB (%g -> %g, after change %g); over the path %g dB\n", o.overDb, o.steadyBefore, o.steadyAfter,
                o.afterChange, overPath(c, o));
}

TEST(ProcessorGlides, ExploreCost)
{
    if (!std::getenv("KYM_COST"))
        GTEST_SKIP();
    if (const char* g = std::getenv("KYM_GLIDE_STEP"))
        KymAudioProcessor::glideStepFrames = std::atoi(g);
    for (int moving = 0; moving < 3; ++moving)
    {
        auto p = makeProcessor(1, 2, 48000.0);
        setHost(*p, 8, 1.0f);
        setHost(*p, 2, 0.7f);
        const auto signal = bassSignal(512, 48000.0);
        juce::AudioBuffer<float> buffer(2, 512);
        juce::MidiBuffer midi;
        for (int k = 0; k < 4; ++k)
            p->processBlock(buffer, midi);
        const int blocks = 2000;
        const auto start = std::chrono::steady_clock::now();
        for (int k = 0; k < blocks; ++k)
        {
            if (moving == 1)
                setHost(*p, 2, (k % 2) ? 0.7f : 0.72f); // drive only
            if (moving == 2)
                for (int i = 0; i < 7; ++i)
                    setHost(*p, i, (k % 2) ? 0.6f : 0.62f); // all seven
            buffer.copyFrom(0, 0, signal.data(), 512);
            p->processBlock(buffer, midi);
        }
        const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / blocks;
        std::printf("moving %d: %.1f us per 512-frame block\n", moving, us);
    }
}
