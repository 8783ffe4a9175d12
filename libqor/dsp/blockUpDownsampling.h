#pragma once

#include <cstdint>

#include "libqor/dsp/CHalfBandFilter.h"
#include "libqor/dsp/SimdLevel.h"
#include "libqor/dsp/Vec.h"

namespace libqor
{

// Block up/down-sampler by 1, 2, 4 or 8. Each doubling interleaves a
// first-order all-pass interpolation before every sample and runs a half-band
// filter; each halving runs a half-band filter and keeps every second sample.
// Kernels are reached through the slots: (sampler.*sampler.upSlot)(in, out, n).
//
// Besides the plain per-sample kernels (SimdLevel::reference) there are fast
// block kernels for SSE2, AVX2 and AVX-512. They do the same double
// operations on the same operands in the same order for every value they
// keep, so their outputs are bit for bit the reference's, and the state they
// leave continues bit for bit in any variant. The one state they do not
// compute is lane 1 of every down filter's pair histories (pairIn[1] and
// pairOut[1] of each section of both cascades of down1, down2 and down3):
// the down kernels keep only element 0 of each pair, which never depends
// on lane 1, so those histories are left as they were. The work pairs (the
// sampler's and each filter's) are scratch and are not written either.
class blockUpDownsampling
{
public:
    using Kernel = void (blockUpDownsampling::*)(double*, double*, int);
    using FloatKernel = void (blockUpDownsampling::*)(float*, float*, int);

    // Chooses the fastest variant this processor runs.
    blockUpDownsampling();

    blockUpDownsampling(const blockUpDownsampling&) = delete;
    blockUpDownsampling& operator=(const blockUpDownsampling&) = delete;

    // 1, 2, 4 or 8; anything else gives 1. A new factor clears the
    // half-band sections and nothing else.
    void setFactor(int n) noexcept;

    // Back to rest, as after construction: every filter history, the
    // interpolators and each half-band filter's saved input. Factor, slots
    // and variant stay.
    void reset() noexcept;

    // Chooses the kernel variant for this and every later setFactor and puts
    // the current factor's kernels in the slots; the state is kept, so a
    // stream continues unbroken. A variant this processor cannot run (or an
    // unknown value) is refused: false, and nothing changes.
    bool setSimdLevel(dsp::SimdLevel level) noexcept;
    dsp::SimdLevel simdLevel() const noexcept { return level; }

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

    // Fast block kernels, one set per instruction set; each file
    // blockUpDownsampling<SET>.cpp is compiled for its own set only.
    void upsample2x_sse2(double* in, double* out, int n) noexcept;
    void upsample4x_sse2(double* in, double* out, int n) noexcept;
    void upsample8x_sse2(double* in, double* out, int n) noexcept;
    void downsample2x_sse2(double* in, double* out, int n) noexcept;
    void downsample4x_sse2(double* in, double* out, int n) noexcept;
    void downsample8x_sse2(double* in, double* out, int n) noexcept;
    void upsample2x_avx2(double* in, double* out, int n) noexcept;
    void upsample4x_avx2(double* in, double* out, int n) noexcept;
    void upsample8x_avx2(double* in, double* out, int n) noexcept;
    void downsample2x_avx2(double* in, double* out, int n) noexcept;
    void downsample4x_avx2(double* in, double* out, int n) noexcept;
    void downsample8x_avx2(double* in, double* out, int n) noexcept;
    void upsample2x_avx512(double* in, double* out, int n) noexcept;
    void upsample4x_avx512(double* in, double* out, int n) noexcept;
    void upsample8x_avx512(double* in, double* out, int n) noexcept;
    void downsample2x_avx512(double* in, double* out, int n) noexcept;
    void downsample4x_avx512(double* in, double* out, int n) noexcept;
    void downsample8x_avx512(double* in, double* out, int n) noexcept;

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
    double interpIn[3] = { 0.0, 0.0, 0.0 };
    double interpOut[3] = { 0.0, 0.0, 0.0 };

    // Scratch of one kernel call.
    Vec2 work[7];

    // The fast down kernels take their input in chunks of this many
    // base-rate samples and keep the levels' results in between here.
    static constexpr int downChunk = 256;
    double levelScratch[4 * downChunk];

    // The double nearest 0.33333333 (not one third); the float kernel uses
    // the float nearest one third.
    static constexpr double interpCoefficient = 0.33333333;
    static constexpr double floatInterpCoefficient = static_cast<double>(1.0f / 3.0f);

private:
    void useKernels() noexcept;
    void clearSections() noexcept;
    // The doubling stages the up kernels share: level 1 turns one base-rate
    // sample into two, level 2 turns those two into four.
    void upLevel1(double x, double& r0, double& r1) noexcept;
    void upLevel2(double r0, double r1, double* o) noexcept;

    dsp::SimdLevel level;
};

} // namespace libqor
