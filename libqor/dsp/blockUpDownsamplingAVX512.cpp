// The sampler's fast kernels for AVX-512 (F, VL, DQ): the AVX2 layouts with
// twice the registers, so that an up stage's six sections, their histories
// and the interpolator all stay in registers (with AVX2 some of them go
// through the stack). Compiled for AVX-512 only (see SkewedHalfBand.h).

#include "libqor/dsp/SkewedHalfBand.h"

namespace libqor
{

namespace
{

using Up = skewed::UpFourLanes;
using Down = skewed::DownFourLanes;

} // namespace

void blockUpDownsampling::upsample2x_avx512(double* in, double* out, int n) noexcept
{
    skewed::upsample2x<Up>(*this, in, out, n);
}

void blockUpDownsampling::upsample4x_avx512(double* in, double* out, int n) noexcept
{
    skewed::upsample4x<Up>(*this, in, out, n);
}

void blockUpDownsampling::upsample8x_avx512(double* in, double* out, int n) noexcept
{
    skewed::upsample8x<Up>(*this, in, out, n);
}

void blockUpDownsampling::downsample2x_avx512(double* in, double* out, int n) noexcept
{
    skewed::downsample2x<Down>(*this, in, out, n);
}

void blockUpDownsampling::downsample4x_avx512(double* in, double* out, int n) noexcept
{
    skewed::downsample4x<Down>(*this, in, out, n);
}

void blockUpDownsampling::downsample8x_avx512(double* in, double* out, int n) noexcept
{
    skewed::downsample8x<Down>(*this, in, out, n);
}

} // namespace libqor
