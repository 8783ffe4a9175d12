#pragma once

#include <array>

// Fixed analogue network of order N, discretised by the bilinear transform
// (no prewarping) and run in direct form I.

// c(i, k): coefficient of z^-k in (1 - z^-1)^i * (1 + z^-1)^(N - i).
// Small integers, so exact as doubles.
template <int N>
constexpr std::array<std::array<double, N + 1>, N + 1> bilinearTerms()
{
    std::array<std::array<double, N + 1>, N + 1> c {};
    for (int i = 0; i <= N; ++i)
    {
        long long p[N + 1] = {};
        p[0] = 1;
        for (int f = 0; f < N; ++f)
        {
            const long long sign = f < i ? -1 : 1; // i factors (1 - z^-1), then (1 + z^-1)
            for (int k = N; k >= 1; --k)
                p[k] = p[k] + sign * p[k - 1];
        }
        for (int k = 0; k <= N; ++k)
            c[i][k] = static_cast<double>(p[k]);
    }
    return c;
}

template <int N>
struct DFI
{
    // Sets the filter up for rate fs from the prototype D(s), N(s) given in
    // ascending powers of s (d[0] = 1), and clears both histories.
    void setup(double fs, const double (&d)[N + 1], const double (&n)[N + 1]) noexcept
    {
        constexpr auto c = bilinearTerms<N>();

        T = 1.0 / fs;
        // Tp[m] = T^m as successive products T, T*T, (T*T)*T, ...
        double Tp[N + 1];
        Tp[0] = 1.0;
        Tp[1] = T;
        for (int m = 2; m <= N; ++m)
            Tp[m] = Tp[m - 1] * T;

        // a_k = sum over i = 0..N of d_i * 2^i * T^(N-i) * c(i, k): summed from
        // i = 0 up, each term multiplied left to right.
        double ak[N + 1];
        double bk[N + 1];
        for (int k = 0; k <= N; ++k)
        {
            double sa = 0.0;
            double sb = 0.0;
            double twoPow = 1.0;
            for (int i = 0; i <= N; ++i)
            {
                sa = sa + d[i] * twoPow * Tp[N - i] * c[i][k];
                sb = sb + n[i] * twoPow * Tp[N - i] * c[i][k];
                twoPow = twoPow * 2.0;
            }
            ak[k] = sa;
            bk[k] = sb;
        }

        for (int k = N; k >= 0; --k)
            coef[N - k] = bk[k];
        for (int k = N; k >= 1; --k)
            coef[N + 1 + (N - k)] = ak[k];
        coef[2 * N + 1] = 1.0 / ak[0];

        for (int k = 0; k <= N; ++k)
        {
            y[k] = 0.0;
            x[k] = 0.0;
        }
    }

    double process(double u) noexcept
    {
        // The sum reads the histories before they are shifted, so no load
        // waits on a store of this same call. x[k - 1] and y[k - 1] are the
        // shifted x[k] and y[k].
        const double x0 = u + 1e-25;

        // Input terms oldest to newest, then the output terms subtracted oldest to newest.
        double acc = coef[0] * x[N - 1];
        for (int k = N - 1; k >= 1; --k)
            acc = acc + coef[N - k] * x[k - 1];
        acc = acc + coef[N] * x0;
        for (int k = N; k >= 1; --k)
            acc = acc - coef[N + 1 + (N - k)] * y[k - 1];
        const double y0 = acc * coef[2 * N + 1];

        // Unrolled: as a loop the shift is turned into memmove calls.
#pragma GCC unroll 8
        for (int k = N; k >= 1; --k)
        {
            x[k] = x[k - 1];
            y[k] = y[k - 1];
        }
        x[0] = x0;
        y[0] = y0;
        return y0;
    }

    double b(int k) const noexcept
    {
        return coef[N - k];
    }
    double a(int k) const noexcept
    {
        return coef[N + 1 + (N - k)];
    } // k = 1..N
    double invA0() const noexcept
    {
        return coef[2 * N + 1];
    }

    double y[N + 1] = {}; // y[0] newest output
    double x[N + 1] = {}; // x[0] newest input
    double R[5] = {};     // the network's resistors (ohm); unused entries stay 0
    double T = 0.0;
    double C[5] = {}; // the network's capacitors (farad); unused entries stay 0
    // b_N..b_0, a_N..a_1, 1/a_0
    double coef[2 * N + 2] = {};
};
