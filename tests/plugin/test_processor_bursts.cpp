// Switching the sound on and changing the oversampling while a signal plays:
// after the switch the output never peaks more than 6 dB above what the new
// setting gives on the same signal once it has settled. A seeded search over
// settings, signals, rates, block sizes and switch times.

#include "test_processor_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace kymtest;

namespace
{

enum class Change
{
    bypassOff,     // the plug-in's Bypass goes off
    hostBypassOff, // the host stops bypassing
    bypassOn,
    quality, // Quality flips
};

const char* changeName(Change c)
{
    switch (c)
    {
    case Change::bypassOff:
        return "Bypass off";
    case Change::hostBypassOff:
        return "host bypass off";
    case Change::bypassOn:
        return "Bypass on";
    case Change::quality:
        return "Quality";
    }
    return "";
}

enum class Wave
{
    sine,
    saw,
    twoTones,
    square,
};

struct Trial
{
    Change change;
    float before[9]; // host values, parameters 0..8
    float after[9];
    Wave wave;
    double hz, amplitude, rate;
    int blockSize;
    int bypassBlock; // the first bypassed block of a bypass that ends at the switch
    int switchBlock; // the first block of the new setting

    std::string describe() const
    {
        std::ostringstream s;
        s << changeName(change) << " at block " << switchBlock << " (bypassed from " << bypassBlock << ") of "
          << blockSize << " frames, " << rate << " Hz; wave " << static_cast<int>(wave) << ", " << hz
          << " Hz, amplitude " << amplitude << "; host values";
        for (float v : after)
            s << ' ' << v;
        return s.str();
    }
};

// Uniform in [0, 1) from the generator's raw output, the same on every
// standard library.
double uniform(std::mt19937& rng)
{
    return static_cast<double>(rng()) / 4294967296.0;
}

Trial makeTrial(std::mt19937& rng, Change change)
{
    Trial t {};
    t.change = change;
    // Half the controls high: that is where the circuit has most gain.
    for (int i = 0; i < 7; ++i)
        t.before[i] = static_cast<float>(uniform(rng) < 0.5 ? uniform(rng) : 0.7 + 0.3 * uniform(rng));
    t.before[7] = 0.0f;
    t.before[8] = uniform(rng) < 0.5 ? 0.0f : 1.0f;
    std::copy(std::begin(t.before), std::end(t.before), std::begin(t.after));
    if (change == Change::bypassOn)
        t.after[7] = 1.0f;
    if (change == Change::quality)
        t.after[8] = 1.0f - t.before[8];

    const double rates[] = { 22050.0, 44100.0, 48000.0, 96000.0 };
    const int blockSizes[] = { 64, 256, 1024 };
    t.rate = rates[rng() % 4];
    t.blockSize = blockSizes[rng() % 3];
    t.wave = static_cast<Wave>(rng() % 4);
    t.hz = 30.0 * std::pow(100.0, uniform(rng));             // 30 Hz .. 3 kHz
    t.amplitude = 0.03 * std::pow(1.0 / 0.03, uniform(rng)); // -30 dBFS .. full scale

    // The switch comes after 0.3 .. 0.6 s. A bypass before it lasts from the
    // start, or begins after the circuit has played for a while and so holds
    // signal of its own when it comes back.
    const double seconds = 0.3 + 0.3 * uniform(rng);
    const double bypassed = uniform(rng) < 0.25 ? seconds : (0.02 + 0.28 * uniform(rng)) * seconds;
    t.switchBlock = static_cast<int>(seconds * t.rate / t.blockSize);
    t.bypassBlock = std::max(0, t.switchBlock - static_cast<int>(bypassed * t.rate / t.blockSize));
    return t;
}

std::vector<float> signalFor(const Trial& t, int frames)
{
    std::vector<float> s(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i)
    {
        const double phase = t.hz * i / t.rate;
        double x = 0.0;
        switch (t.wave)
        {
        case Wave::sine:
            x = std::sin(2.0 * M_PI * phase);
            break;
        case Wave::saw:
            x = 2.0 * (phase - std::floor(phase + 0.5));
            break;
        case Wave::twoTones:
            x = (std::sin(2.0 * M_PI * phase) + 0.7 * std::sin(2.0 * M_PI * 2.01 * phase + 1.0)) / 1.7;
            break;
        case Wave::square:
            x = std::sin(2.0 * M_PI * phase) >= 0.0 ? 1.0 : -1.0;
            break;
        }
        s[static_cast<size_t>(i)] = static_cast<float>(t.amplitude * x);
    }
    return s;
}

// The signal through a 1-in/1-out processor. With `switched`, the trial as it
// plays: its first setting, the bypass of a bypass trial, and from block
// `switchBlock` on the new setting. Without, the new setting from the start.
std::vector<float> render(const Trial& t, bool switched, const std::vector<float>& signal)
{
    auto p = makeProcessor(1, 1, t.rate);
    const float* first = switched ? t.before : t.after;
    for (int i = 0; i < 9; ++i)
        setHost(*p, i, first[i]);
    std::vector<float> out;
    juce::MidiBuffer midi;
    const int frames = static_cast<int>(signal.size());
    for (int block = 0; block * t.blockSize < frames; ++block)
    {
        const bool bypassed = switched && block >= t.bypassBlock && block < t.switchBlock;
        if (switched && block == t.switchBlock)
            for (int i = 0; i < 9; ++i)
                setHost(*p, i, t.after[i]);
        if (bypassed && block == t.bypassBlock && t.change == Change::bypassOff)
            setHost(*p, 7, 1.0f);

        const int start = block * t.blockSize;
        const int count = std::min(t.blockSize, frames - start);
        juce::AudioBuffer<float> buffer(1, count);
        std::copy_n(signal.data() + start, count, buffer.getWritePointer(0));
        if (bypassed && t.change == Change::hostBypassOff)
            p->processBlockBypassed(buffer, midi);
        else
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

} // namespace

TEST(ProcessorBursts, NoSwitchPeaksMoreThan6dBOverTheSettledSound)
{
    std::mt19937 rng(20261210u);
    constexpr int trialsPerChange = 16;
    const Change changes[] = { Change::bypassOff, Change::hostBypassOff, Change::bypassOn, Change::quality };
    for (const Change change : changes)
    {
        double worst = 0.0;
        for (int k = 0; k < trialsPerChange; ++k)
        {
            const Trial t = makeTrial(rng, change);
            SCOPED_TRACE(t.describe());
            const auto signal = signalFor(t, static_cast<int>(t.rate));

            const auto switched = render(t, true, signal);
            // The new setting from the start: its peak over the second half
            // second, once the circuit has settled on the signal.
            const float settled = peak(render(t, false, signal), signal.size() / 2);
            const float afterSwitch = peak(switched, static_cast<size_t>(t.switchBlock * t.blockSize));

            ASSERT_GT(settled, 0.0f);
            EXPECT_LE(afterSwitch, 2.0f * settled);
            worst = std::max(worst, static_cast<double>(afterSwitch / settled));
        }
        RecordProperty(std::string("worst ") + changeName(change), std::to_string(worst));
    }
}
