#include "libqor/dsp/CAllPassFilter.h"

#include <atomic>
#include <xmmintrin.h>

#include <juce_core/juce_core.h>

namespace libqor
{

namespace
{

// Set once the framework has answered yes; a "no" is asked again next time.
std::atomic<bool> sse2Confirmed { false };

constexpr unsigned int flushToZeroBit = 0x8000u;

void enableFlushToZero() noexcept
{
    if (!sse2Confirmed.load(std::memory_order_relaxed))
    {
        if (juce::SystemStats::hasSSE2())
            sse2Confirmed.store(true, std::memory_order_relaxed);
    }
    if (sse2Confirmed.load(std::memory_order_relaxed))
        _mm_setcsr(_mm_getcsr() | flushToZeroBit);
}

} // namespace

CAllPassFilter::CAllPassFilter(double coefficient)
    : a(coefficient), aSquared(coefficient * coefficient), oneMinusASquared(1.0 - coefficient * coefficient)
{
    clear();

    const float fa = static_cast<float>(a);
    const float fa2 = static_cast<float>(aSquared);
    const float f1ma2 = static_cast<float>(oneMinusASquared);
    const float m[8][4] = {
        { 0.0f, 0.0f, 0.0f, fa },  // x3
        { 0.0f, 0.0f, fa, 0.0f },  // x2
        { 0.0f, fa, 0.0f, f1ma2 }, // x1
        { fa, 0.0f, f1ma2, 0.0f }, // x0
        { 0.0f, 1.0f, 0.0f, -fa }, // x[-1]
        { 1.0f, 0.0f, -fa, 0.0f }, // x[-2]
        { 0.0f, -fa, 0.0f, fa2 },  // y[-1]
        { -fa, 0.0f, fa2, 0.0f },  // y[-2]
    };
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 4; ++c)
            blockMatrix[r][c] = m[r][c];

    enableFlushToZero();
}

void CAllPassFilter::clear() noexcept
{
    for (int i = 0; i < 3; ++i)
    {
        xHist[i] = 0.0;
        yHist[i] = 0.0;
    }
    pairIn = Vec2();
    pairOut = Vec2();
    blockXm2 = 0.0f;
    blockXm1 = 0.0f;
    blockYm2 = 0.0f;
    blockYm1 = 0.0f;
}

void CAllPassFilter::process_simd_4float(float* data, int n) noexcept
{
    const __m128 r0 = _mm_load_ps(blockMatrix[0]);
    const __m128 r1 = _mm_load_ps(blockMatrix[1]);
    const __m128 r2 = _mm_load_ps(blockMatrix[2]);
    const __m128 r3 = _mm_load_ps(blockMatrix[3]);
    const __m128 r4 = _mm_load_ps(blockMatrix[4]);
    const __m128 r5 = _mm_load_ps(blockMatrix[5]);
    const __m128 r6 = _mm_load_ps(blockMatrix[6]);
    const __m128 r7 = _mm_load_ps(blockMatrix[7]);

    float xm2 = blockXm2, xm1 = blockXm1, ym2 = blockYm2, ym1 = blockYm1;

    for (int g = 0; g + 4 <= n; g += 4)
    {
        float* x = data + g;
        // Accumulated from zero, row by row in matrix order.
        __m128 acc = _mm_setzero_ps();
        acc = _mm_add_ps(acc, _mm_mul_ps(r0, _mm_set1_ps(x[3])));
        acc = _mm_add_ps(acc, _mm_mul_ps(r1, _mm_set1_ps(x[2])));
        acc = _mm_add_ps(acc, _mm_mul_ps(r2, _mm_set1_ps(x[1])));
        acc = _mm_add_ps(acc, _mm_mul_ps(r3, _mm_set1_ps(x[0])));
        acc = _mm_add_ps(acc, _mm_mul_ps(r4, _mm_set1_ps(xm1)));
        acc = _mm_add_ps(acc, _mm_mul_ps(r5, _mm_set1_ps(xm2)));
        acc = _mm_add_ps(acc, _mm_mul_ps(r6, _mm_set1_ps(ym1)));
        acc = _mm_add_ps(acc, _mm_mul_ps(r7, _mm_set1_ps(ym2)));

        xm2 = x[2];
        xm1 = x[3];
        _mm_storeu_ps(x, acc);
        ym2 = x[2];
        ym1 = x[3];
    }

    const float fa = blockMatrix[3][0];
    for (int i = n - (n > 0 ? n % 4 : 0); i < n; ++i)
    {
        const float x = data[i];
        const float y = fa * (x - ym2) + xm2;
        data[i] = y;
        xm2 = xm1;
        xm1 = x;
        ym2 = ym1;
        ym1 = y;
    }

    blockXm2 = xm2;
    blockXm1 = xm1;
    blockYm2 = ym2;
    blockYm1 = ym1;
}

} // namespace libqor
