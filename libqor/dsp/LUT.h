#pragma once

#include <cstdint>

namespace libqor
{

// Linear-interpolating lookup over a descending-input table: entry i holds the
// value for input top - i/scale. Inputs at or beyond upper/lower give the
// first/last entry. The table is borrowed, not owned.
class LUT
{
public:
    void (LUT::*processFn)(double&);
    void (LUT::*triodeFn)(double&, double&);
    int32_t count;
    double upper;
    double lower;
    double top;
    double scale;
    double position = 0.0;
    double fraction = 0.0;
    int32_t index = 0;
    double y0 = 0.0;
    double y1 = 0.0;
    const double* table;

    // entries must hold n >= 1 values.
    LUT(const double* entries, int32_t n, double upperInput, double lowerInput, double topInput, double entriesPerUnit)
    noexcept
        : processFn(&LUT::process_linear), triodeFn(&LUT::linear_triode), count(n), upper(upperInput),
          lower(lowerInput), top(topInput), scale(entriesPerUnit), table(entries)
    {}

    void process_linear(double& x) noexcept { x = lookup(x); }

    void linear_triode(double& in, double& out) noexcept { out = lookup(in); }

private:
    double lookup(double x) noexcept
    {
        // !(x < upper) sends NaN to the first entry.
        if (!(x < upper))
            return table[0];
        if (x <= lower)
            return table[count - 1];
        position = (top - x) * scale;
        // Rounding, or bounds that overreach the table, must not carry the
        // index outside it; for bounds that fit these change nothing.
        const double last = static_cast<double>(count - 1);
        position = position > 0.0 ? position : 0.0;
        position = position < last ? position : last;
        index = static_cast<int32_t>(position);
        fraction = position - index;
        const int32_t next = index + 1 < count ? index + 1 : count - 1;
        y0 = table[index];
        y1 = table[next];
        return (y1 - y0) * fraction + y0;
    }
};

} // namespace libqor
