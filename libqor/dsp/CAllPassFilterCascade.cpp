#include "libqor/dsp/CAllPassFilterCascade.h"

#include <emmintrin.h>

namespace libqor
{

CAllPassFilterCascade::~CAllPassFilterCascade()
{
    if (sections != nullptr)
    {
        for (int32_t i = 0; i < sectionsPerCascade; ++i)
            delete sections[i];
        delete[] sections;
    }
}

void CAllPassFilterCascade::processOrder12(double& x) noexcept
{
    for (int32_t i = 0; i < sectionsPerCascade; ++i)
    {
        CAllPassFilter& s = *sections[i];
        s.xHist[2] = s.xHist[1];
        s.xHist[1] = s.xHist[0];
        s.xHist[0] = x;
        s.yHist[2] = s.yHist[1];
        s.yHist[1] = s.yHist[0];
        const double y = s.xHist[2] + s.a * (x - s.yHist[2]);
        s.yHist[0] = y;
        x = y;
    }
}

void CAllPassFilterCascade::processOrder12_SIMD(float* data, int n) noexcept
{
    for (int32_t i = 0; i < sectionsPerCascade; ++i)
        sections[i]->process_simd_4float(data, n);
}

// One group of four consecutive samples through the block path of each section.
void CAllPassFilterCascade::processOrder12_SIMD(Vec4& v) noexcept
{
    alignas(16) float group[4];
    _mm_store_ps(group, v.v);
    for (int32_t i = 0; i < sectionsPerCascade; ++i)
        sections[i]->process_simd_4float(group, 4);
    v.v = _mm_load_ps(group);
}

void CAllPassFilterCascade::processOrder12_SIMDd(Vec2& v) noexcept
{
    // Adding and removing the offset flushes tiny outputs to exactly zero.
    const __m128d up = _mm_set1_pd(1e-25);
    const __m128d down = _mm_set1_pd(-1e-25);
    __m128d u = v.v;
#pragma GCC unroll 6
    for (int32_t i = 0; i < sectionsPerCascade; ++i)
    {
        CAllPassFilter& s = *sections[i];
        const __m128d a = _mm_set1_pd(s.a);
        __m128d out = _mm_add_pd(_mm_mul_pd(a, u), s.pairIn.v);
        out = _mm_sub_pd(out, _mm_mul_pd(a, s.pairOut.v));
        out = _mm_add_pd(out, up);
        out = _mm_add_pd(out, down);
        s.pairIn.v = u;
        s.pairOut.v = out;
        u = out;
    }
    v.v = u;
}

void CAllPassFilterCascade::clear() noexcept
{
    if (sections == nullptr)
        return;
    for (int32_t i = 0; i < sectionsPerCascade; ++i)
        if (sections[i] != nullptr)
            sections[i]->clear();
}

} // namespace libqor
