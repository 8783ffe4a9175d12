// The sampler's fast kernels for SSE2: two lanes per register. Compiled for
// SSE2 only (see SkewedHalfBand.h).

#include <emmintrin.h>

#include "libqor/dsp/SkewedHalfBand.h"

namespace libqor
{

namespace
{

// Up stages: a section's four live lanes in two registers, cascade A's two
// lanes in one and cascade B's in the other, as the reference holds them.
struct UpSSE2
{
    struct V
    {
        __m128d a;
        __m128d b;
    };
    using Mask = __m128d;
    static constexpr int lanesPerSection = 4;
    static constexpr int perGroup = 1;
    static constexpr int delay = 1;
    static constexpr int laneOf[4] = { 0, 1, 2, 3 };

    static V load(const double* x) noexcept { return { _mm_loadu_pd(x), _mm_loadu_pd(x + 2) }; }
    static void store(double* x, const V& v) noexcept
    {
        _mm_storeu_pd(x, v.a);
        _mm_storeu_pd(x + 2, v.b);
    }
    static V set1(double x) noexcept { return { _mm_set1_pd(x), _mm_set1_pd(x) }; }
    static V add(const V& x, const V& y) noexcept { return { _mm_add_pd(x.a, y.a), _mm_add_pd(x.b, y.b) }; }
    static V sub(const V& x, const V& y) noexcept { return { _mm_sub_pd(x.a, y.a), _mm_sub_pd(x.b, y.b) }; }
    static V mul(const V& x, const V& y) noexcept { return { _mm_mul_pd(x.a, y.a), _mm_mul_pd(x.b, y.b) }; }
    static Mask mask(const bool* active) noexcept { return _mm_castsi128_pd(_mm_set1_epi64x(active[0] ? -1 : 0)); }
    static V select(Mask k, const V& taken, const V& kept) noexcept
    {
        return { _mm_or_pd(_mm_and_pd(k, taken.a), _mm_andnot_pd(k, kept.a)),
                 _mm_or_pd(_mm_and_pd(k, taken.b), _mm_andnot_pd(k, kept.b)) };
    }
    static V shiftIn(const V& previous, const V&) noexcept { return previous; }
    static V shiftIn0(const V& input, const V&) noexcept { return input; }
    // y: {y, y}, savedX: {saved, x}; v = {y, x}, w = {saved, y}
    static V input(__m128d y, __m128d savedX) noexcept
    {
        return { _mm_shuffle_pd(y, savedX, 0x2), _mm_unpacklo_pd(savedX, y) };
    }
    // {(A0 + B0) * 0.5, (A1 + B1) * 0.5}
    static void emit(const V& v, double* dst) noexcept
    {
        _mm_storeu_pd(dst, _mm_mul_pd(_mm_add_pd(v.a, v.b), _mm_set1_pd(0.5)));
    }
};

using Down = skewed::DownTwoLanes;

} // namespace

void blockUpDownsampling::upsample2x_sse2(double* in, double* out, int n) noexcept
{
    skewed::upsample2x<UpSSE2>(*this, in, out, n);
}

void blockUpDownsampling::upsample4x_sse2(double* in, double* out, int n) noexcept
{
    skewed::upsample4x<UpSSE2>(*this, in, out, n);
}

void blockUpDownsampling::upsample8x_sse2(double* in, double* out, int n) noexcept
{
    skewed::upsample8x<UpSSE2>(*this, in, out, n);
}

void blockUpDownsampling::downsample2x_sse2(double* in, double* out, int n) noexcept
{
    skewed::downsample2x<Down>(*this, in, out, n);
}

void blockUpDownsampling::downsample4x_sse2(double* in, double* out, int n) noexcept
{
    skewed::downsample4x<Down>(*this, in, out, n);
}

void blockUpDownsampling::downsample8x_sse2(double* in, double* out, int n) noexcept
{
    skewed::downsample8x<Down>(*this, in, out, n);
}

} // namespace libqor
