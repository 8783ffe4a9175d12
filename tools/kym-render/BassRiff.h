#pragma once

// The built-in bass phrase as plain samples: two bars of plucked eighths in E
// at 100 bpm, then a held low E. Standard library only, so that the render
// tool and the benchmarks play the same phrase.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace kymrender
{

namespace riff
{

struct Note
{
    int midi;     // note number; E1 is 28
    double beats; // length in eighths
};

inline constexpr Note notes[] = {
    { 28, 1 }, { 28, 1 }, { 31, 1 }, { 33, 1 }, { 28, 1 }, { 28, 1 }, { 38, 1 }, { 35, 1 }, { 28, 1 },
    { 28, 1 }, { 31, 1 }, { 33, 1 }, { 36, 1 }, { 35, 1 }, { 33, 1 }, { 31, 1 }, { 28, 4 },
};

inline constexpr double eighthSeconds = 0.3; // 100 beats per minute
inline constexpr double tailSeconds = 0.5;
inline constexpr int harmonics = 24;

} // namespace riff

// Mono, scaled so that its peak is peakLevel; the same samples for the same
// arguments every time.
inline std::vector<float> bassRiff(double sampleRate, double peakLevel)
{
    const double pi = M_PI;
    double totalBeats = 0.0;

    for (const auto& n : riff::notes)
        totalBeats += n.beats;

    const int length = (int) std::ceil((totalBeats * riff::eighthSeconds + riff::tailSeconds) * sampleRate);
    std::vector<double> mix((size_t) length, 0.0);
    double start = 0.0;

    for (const auto& note : riff::notes)
    {
        const double f0 = 440.0 * std::pow(2.0, (note.midi - 69) / 12.0);
        const double gate = note.beats * riff::eighthSeconds * 0.92;
        const int first = (int) std::lround(start * sampleRate);
        const int count = (int) std::ceil((gate + 0.03) * sampleRate);

        std::vector<double> voice((size_t) count, 0.0);

        for (int k = 1; k <= riff::harmonics; ++k)
        {
            const double fk = f0 * k;

            if (fk > 0.45 * sampleRate)
                break;

            // A pluck a fifth of the way along the string, upper partials dying first.
            const double amp = std::abs(std::sin(pi * k * 0.2)) / k;
            const double decay = 1.5 + 0.9 * (k - 1);

            for (int i = 0; i < count; ++i)
            {
                const double t = i / sampleRate;
                voice[(size_t) i] += amp * std::exp(-decay * t) * std::sin(2.0 * pi * fk * t);
            }
        }

        // A few milliseconds of attack and release keep the notes free of clicks.
        for (int i = 0; i < count && first + i < length; ++i)
        {
            const double t = i / sampleRate;
            const double attack = std::min(1.0, t / 0.003);
            const double release = t < gate ? 1.0 : std::max(0.0, 1.0 - (t - gate) / 0.03);
            mix[(size_t) (first + i)] += voice[(size_t) i] * attack * release;
        }

        start += note.beats * riff::eighthSeconds;
    }

    double peak = 0.0;

    for (double v : mix)
        peak = std::max(peak, std::abs(v));

    std::vector<float> samples((size_t) length);
    const double gain = peak > 0.0 ? peakLevel / peak : 0.0;

    for (int i = 0; i < length; ++i)
        samples[(size_t) i] = (float) (mix[(size_t) i] * gain);

    return samples;
}

} // namespace kymrender
