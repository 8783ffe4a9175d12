#pragma once

#include <cstdint>

// Tabulated saturation curve of an op-amp core: entry i holds the output for
// input max - i/scale. The array carries one padding entry past the last one,
// equal to it, so the interpolation at the last entry reads inside the array
// and still yields that entry exactly.
struct TransferTable
{
    int32_t count;
    double scale;
    double max;
    double min;
    double* table;

    double lookup(double v) const noexcept
    {
        // Written as !(v <= max) so NaN takes the max side: every input, NaN
        // included, lands in [min, max] and indexes inside the table.
        const double c = !(v <= max) ? max : (v < min ? min : v);
        const double position = (max - c) * scale;
        const int32_t i = static_cast<int32_t>(position);
        const double f = position - i;
        return (table[i + 1] - table[i]) * f + table[i];
    }

    // The op-amp table of both gain stages, filled from tf_TL074: descriptor
    // first, then its array, then the fill.
    static TransferTable* createTL074();
    // Releases the array, then the descriptor.
    static void destroy(TransferTable* t) noexcept;
};
