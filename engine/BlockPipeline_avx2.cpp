// The block path for AVX2: the tone section's six states and its ramp in
// four-lane registers.

#include "engine/BlockPipeline.h"
#include "engine/BlockVariants.h"

#include <immintrin.h>

namespace
{

class ToneAvx2
{
public:
    [[gnu::always_inline]] explicit ToneAvx2(const KYM_TONESTAGE& ts) noexcept
    {
        const double* r = ts.rampedCoef;
        const double* t = ts.targetCoef;
        // One division by r0 yields a1..a4 | a5 a6 . b0 | b1..b4 | b5 b6 . .
        rA = _mm256_setr_pd(r[1], r[2], r[3], r[4]);
        rB = _mm256_setr_pd(r[5], r[6], r[0], r[7]);
        rC = _mm256_setr_pd(r[8], r[9], r[10], r[11]);
        rD = _mm256_setr_pd(r[12], r[13], 0.0, 0.0);
        tA = _mm256_setr_pd(t[1], t[2], t[3], t[4]);
        tB = _mm256_setr_pd(t[5], t[6], t[0], t[7]);
        tC = _mm256_setr_pd(t[8], t[9], t[10], t[11]);
        tD = _mm256_setr_pd(t[12], t[13], 0.0, 0.0);
        tTest = _mm256_setr_pd(t[3], t[4], t[10], t[11]);
        factor = _mm256_set1_pd(ts.rampFactor);

        const libqor::dsp::TDFII<6>& sec = ts.section;
        b0 = _mm_set_sd(sec.b[0]);
        bLo = _mm256_setr_pd(sec.b[1], sec.b[2], sec.b[3], sec.b[4]);
        bHi = _mm256_setr_pd(sec.b[5], sec.b[6], 0.0, 0.0);
        aLo = _mm256_setr_pd(sec.a[1], sec.a[2], sec.a[3], sec.a[4]);
        aHi = _mm256_setr_pd(sec.a[5], sec.a[6], 0.0, 0.0);
        sLo = _mm256_setr_pd(sec.s[0], sec.s[1], sec.s[2], sec.s[3]);
        sHi = _mm256_setr_pd(sec.s[4], sec.s[5], -0.0, -0.0);
    }

    [[gnu::always_inline]] void store(KYM_TONESTAGE& ts) const noexcept
    {
        alignas(32) double b[4];
        double* r = ts.rampedCoef;
        _mm256_storeu_pd(&r[1], rA);
        _mm256_store_pd(b, rB);
        r[5] = b[0];
        r[6] = b[1];
        r[0] = b[2];
        r[7] = b[3];
        _mm256_storeu_pd(&r[8], rC);
        _mm_storeu_pd(&r[12], _mm256_castpd256_pd128(rD));

        libqor::dsp::TDFII<6>& sec = ts.section;
        _mm_storel_pd(&sec.b[0], b0);
        _mm256_storeu_pd(&sec.b[1], bLo);
        _mm_storeu_pd(&sec.b[5], _mm256_castpd256_pd128(bHi));
        _mm256_storeu_pd(&sec.a[1], aLo);
        _mm_storeu_pd(&sec.a[5], _mm256_castpd256_pd128(aHi));
        _mm256_storeu_pd(&sec.s[0], sLo);
        _mm_storeu_pd(&sec.s[4], _mm256_castpd256_pd128(sHi));
    }

    // |r3 - t3| <= 1e-20 and |r10 - t10| <= 1e-20 (false for NaN).
    [[gnu::always_inline]] bool converged() const noexcept
    {
        const __m256d d = _mm256_sub_pd(_mm256_permute2f128_pd(rA, rC, 0x31), tTest); // r3 r4 r10 r11
        const __m256d a = _mm256_andnot_pd(_mm256_set1_pd(-0.0), d);
        return (_mm256_movemask_pd(_mm256_cmp_pd(a, _mm256_set1_pd(1e-20), _CMP_LE_OQ)) & 5) == 5;
    }

    // r += (t - r) * factor for all 14, then the section gets r / r0.
    [[gnu::always_inline]] void ramp() noexcept
    {
        rA = _mm256_add_pd(rA, _mm256_mul_pd(_mm256_sub_pd(tA, rA), factor));
        rB = _mm256_add_pd(rB, _mm256_mul_pd(_mm256_sub_pd(tB, rB), factor));
        rC = _mm256_add_pd(rC, _mm256_mul_pd(_mm256_sub_pd(tC, rC), factor));
        rD = _mm256_add_pd(rD, _mm256_mul_pd(_mm256_sub_pd(tD, rD), factor));

        const __m256d r0 = _mm256_permute4x64_pd(rB, 0xAA);
        aLo = _mm256_div_pd(rA, r0);
        const __m256d qB = _mm256_div_pd(rB, r0); // a5 a6 1 b0
        aHi = _mm256_blend_pd(qB, _mm256_setzero_pd(), 0xC);
        const __m128d up = _mm256_extractf128_pd(qB, 1);
        b0 = _mm_unpackhi_pd(up, up);
        bLo = _mm256_div_pd(rC, r0);
        bHi = _mm256_div_pd(rD, r0);
    }

    // y = b0·x + s1; s_i = b_i·x + s_(i+1) − a_i·y; s6 = b6·x − a6·y. Adding
    // −0.0 for the missing s7 leaves b6·x exactly as it is.
    [[gnu::always_inline]] double process(double x) noexcept
    {
        const __m256d xs = _mm256_set1_pd(x);
        const __m128d y = _mm_add_sd(_mm_mul_sd(b0, _mm_set_sd(x)), _mm256_castpd256_pd128(sLo));
        const __m256d ys = _mm256_broadcastsd_pd(y);
        const __m256d mid = _mm256_permute2f128_pd(sLo, sHi, 0x21);             // s3 s4 s5 s6
        const __m256d shLo = _mm256_shuffle_pd(sLo, mid, 0x5);                  // s2 s3 s4 s5
        const __m256d shHi = _mm256_shuffle_pd(sHi, _mm256_set1_pd(-0.0), 0x1); // s6 -0 . .
        sLo = _mm256_sub_pd(_mm256_add_pd(_mm256_mul_pd(bLo, xs), shLo), _mm256_mul_pd(aLo, ys));
        sHi = _mm256_sub_pd(_mm256_add_pd(_mm256_mul_pd(bHi, xs), shHi), _mm256_mul_pd(aHi, ys));
        return _mm_cvtsd_f64(y);
    }

private:
    __m256d rA, rB, rC, rD; // ramped coefficients
    __m256d tA, tB, tC, tD; // their targets
    __m256d tTest;          // t3 t4 t10 t11
    __m256d factor;
    __m128d b0;       // lane 0
    __m256d bLo, bHi; // b1..b6
    __m256d aLo, aHi; // a1..a6
    __m256d sLo, sHi; // s1..s6
};

} // namespace

void blockvariants::avx2(KYM& engine, double* samples, int n, bool toneGlides) noexcept
{
    pipeline::run<ToneAvx2>(engine, samples, n, toneGlides);
}
