#pragma once

// Signals and measurements shared by the filter and sampler tests.

#include <cmath>
#include <random>
#include <vector>

namespace signal_support
{

constexpr double pi = 3.14159265358979323846;

// Amplitude of the component at frequency f (cycles per sample) in y[start..],
// by a least-squares fit of a cosine and a sine at that frequency.
inline double toneAmplitude(const std::vector<double>& y, int start, double f)
{
    double cc = 0, ss = 0, cs = 0, yc = 0, ys = 0;
    for (int n = start; n < static_cast<int>(y.size()); ++n)
    {
        const double c = std::cos(2.0 * pi * f * n), s = std::sin(2.0 * pi * f * n);
        cc += c * c;
        ss += s * s;
        cs += c * s;
        yc += y[n] * c;
        ys += y[n] * s;
    }
    const double det = cc * ss - cs * cs;
    const double A = (yc * ss - ys * cs) / det;
    const double B = (ys * cc - yc * cs) / det;
    return std::sqrt(A * A + B * B);
}

// Uniform noise in [-1, 1), the same for the same seed.
inline std::vector<double> randomSignal(int n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<double> v(n);
    for (auto& x : v)
        x = d(rng);
    return v;
}

} // namespace signal_support
