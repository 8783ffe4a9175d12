#pragma once

#include "libqor/dsp/Vec.h"

namespace libqor
{

// One second-order all-pass section in z^-2: y[n] = a * (x[n] - y[n-2]) + x[n-2].
// Three paths share the coefficient and keep separate histories: scalar,
// pair (two independent lanes, one step each) and float blocks of four.
class CAllPassFilter
{
public:
    explicit CAllPassFilter(double coefficient);

    CAllPassFilter(const CAllPassFilter&) = delete;
    CAllPassFilter& operator=(const CAllPassFilter&) = delete;

    // Filters n floats in place, four at a time; a trailing part of fewer
    // than four samples runs through the plain recursion in float, so any
    // length continues the same stream.
    void process_simd_4float(float* data, int n) noexcept;

    // Zeroes every history (scalar, pair and block).
    void clear() noexcept;

    double a;
    double aSquared;
    double oneMinusASquared;

    // Scalar history: [0] newest, [1] the one before, [2] the one before that.
    double xHist[3];
    double yHist[3];

    // Pair history, lane 0 in element 0.
    Vec2 pairIn;
    Vec2 pairOut;

    // Four steps of the recursion in closed form. Rows: x3, x2, x1, x0,
    // x[-1], x[-2], y[-1], y[-2]; columns: y0..y3.
    alignas(16) float blockMatrix[8][4];

    // Block history: x[-2], x[-1], y[-2], y[-1].
    float blockXm2;
    float blockXm1;
    float blockYm2;
    float blockYm1;
};

} // namespace libqor
