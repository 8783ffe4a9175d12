#pragma once

// Transposed direct form II filter section. The caller goes through processFn
// so the routine for the order is chosen once, not tested per sample.

namespace libqor::dsp
{

template <int N>
class TDFII
{
    // Only the sixth-order routine is written; other orders would need theirs.
    static_assert(N == 6, "TDFII: only order 6 has a process routine");

public:
    TDFII() noexcept
    {
        for (int i = 0; i <= N; ++i)
        {
            a[i] = 1.0;
            b[i] = 1.0;
            s[i] = 0.0;
        }
    }

    // In place: x is replaced by the section's output.
    void process_order6(double& x) noexcept
    {
        const double in = x;
        const double y = b[0] * in + s[0];
        // Each state reads the next one before that one is overwritten.
        s[0] = b[1] * in + s[1] - a[1] * y;
        s[1] = b[2] * in + s[2] - a[2] * y;
        s[2] = b[3] * in + s[3] - a[3] * y;
        s[3] = b[4] * in + s[4] - a[4] * y;
        s[4] = b[5] * in + s[5] - a[5] * y;
        s[5] = b[6] * in - a[6] * y;
        x = y;
    }

    void (TDFII::*processFn)(double&) = &TDFII::process_order6;
    double a[N + 1]; // a[0] stays 1.0: the set is normalised to it
    double b[N + 1];
    double s[N + 1]; // s[0..5] are s1..s6; s[6] is unused at order 6
};

} // namespace libqor::dsp
