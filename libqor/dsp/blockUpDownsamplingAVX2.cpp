// The sampler's fast kernels for AVX2: an up stage's four live lanes of a
// section in one register, a down stage's two live lanes of two sections in
// one register. Compiled for AVX2 only (see SkewedHalfBand.h).

#include "libqor/dsp/SkewedHalfBand.h"

namespace libqor
{

namespace
{

using Up = skewed::UpFourLanes;
using Down = skewed::DownFourLanes;

} // namespace

void blockUpDownsampling::upsample2x_avx2(double* in, double* out, int n) noexcept
{
    skewed::upsample2x<Up>(*this, in, out, n);
}

void blockUpDownsampling::upsample4x_avx2(double* in, double* out, int n) noexcept
{
    skewed::upsample4x<Up>(*this, in, out, n);
}

void blockUpDownsampling::upsample8x_avx2(double* in, double* out, int n) noexcept
{
    skewed::upsample8x<Up>(*this, in, out, n);
}

void blockUpDownsampling::downsample2x_avx2(double* in, double* out, int n) noexcept
{
    skewed::downsample2x<Down>(*this, in, out, n);
}

void blockUpDownsampling::downsample4x_avx2(double* in, double* out, int n) noexcept
{
    skewed::downsample4x<Down>(*this, in, out, n);
}

void blockUpDownsampling::downsample8x_avx2(double* in, double* out, int n) noexcept
{
    skewed::downsample8x<Down>(*this, in, out, n);
}

} // namespace libqor
