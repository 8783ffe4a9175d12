#pragma once

#include <cstdint>

#include "libqor/dsp/CHalfBandFilter.h"
#include "libqor/dsp/Vec.h"

namespace libqor {

// Block up/down-sampler by 1, 2, 4 or 8. Each doubling interleaves a
// first-order all-pass interpolation before every sample and runs a half-band
// filter; each halving runs a half-band filter and keeps every second sample.
// Kernels are reached through the slots: (sampler.*sampler.upSlot)(in, out, n).
class blockUpDownsampling
{
public:
    using Kernel = void (blockUpDownsampling::*)(double*, double*, int);
    using FloatKernel = void (blockUpDownsampling::*)(float*, float*, int);

    blockUpDownsampling();

    blockUpDownsampling(const blockUpDownsampling&) = delete;
    blockUpDownsampling& operator=(const blockUpDownsampling&) = delete;

    // 1, 2, 4 or 8; anything else gives 1. A new factor clears the
    // half-band sections and nothing else.
    void setFactor(int n) noexcept;

    // Up kernels read n samples and write factor * n; down kernels read
    // factor * n and write n. n <= 0 touches nothing.
    void noUpsample(double* in, double* out, int n) noexcept;
    void upsampleSIMDd2x(double* in, double* out, int n) noexcept;
    void upsampleSIMDd4x(double* in, double* out, int n) noexcept;
    void upsampleSIMDd8x(double* in, double* out, int n) noexcept;
    void noDownsample(double* in, double* out, int n) noexcept;
    void downsampleSIMDd2x(double* in, double* out, int n) noexcept;
    void downsampleSIMDd4x(double* in, double* out, int n) noexcept;
    void downsampleSIMDd8x(double* in, double* out, int n) noexcept;

    // Float 2x upsampler on the level-1 interpolator and up1's float path.
    void upsample2x_sse(float* in, float* out, int n) noexcept;

    Kernel upSlot;
    FloatKernel floatUpSlot;
    Kernel downSlot;
    // Matches the slots set at construction until the first setFactor.
    int32_t factor = 4;

    CHalfBandFilter up1, up2, up3;
    CHalfBandFilter down1, down2, down3;

    // Interpolator state per up level (index 0 = level 1): previous input
    // and previous output.
    double interpIn[3] = {0.0, 0.0, 0.0};
    double interpOut[3] = {0.0, 0.0, 0.0};

    // Scratch of one kernel call.
    Vec2 work[7];

    // The double nearest 0.33333333 (not one third); the float kernel uses
    // the float nearest one third.
    static constexpr double interpCoefficient = 0.33333333;
    static constexpr double floatInterpCoefficient = static_cast<double>(1.0f / 3.0f);

private:
    void clearSections() noexcept;
    // The doubling stages the up kernels share: level 1 turns one base-rate
    // sample into two, level 2 turns those two into four.
    void upLevel1(double x, double& r0, double& r1) noexcept;
    void upLevel2(double r0, double r1, double* o) noexcept;
};

} // namespace libqor
