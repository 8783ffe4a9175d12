// The block path for AVX-512: the tone section's six states in one
// eight-lane register, its ramp in two.

#include "engine/BlockPipeline.h"
#include "engine/BlockVariants.h"

#include <immintrin.h>

namespace
{

class ToneAvx512
{
public:
    [[gnu::always_inline]] explicit ToneAvx512(const KYM_TONESTAGE& ts) noexcept
    {
        const double* r = ts.rampedCoef;
        const double* t = ts.targetCoef;
        // One division by r0 yields a1..a6 1 b0 | b1..b6 . .
        rA = _mm512_setr_pd(r[1], r[2], r[3], r[4], r[5], r[6], r[0], r[7]);
        rB = _mm512_setr_pd(r[8], r[9], r[10], r[11], r[12], r[13], 0.0, 0.0);
        tA = _mm512_setr_pd(t[1], t[2], t[3], t[4], t[5], t[6], t[0], t[7]);
        tB = _mm512_setr_pd(t[8], t[9], t[10], t[11], t[12], t[13], 0.0, 0.0);
        factor = _mm512_set1_pd(ts.rampFactor);

        const libqor::dsp::TDFII<6>& sec = ts.section;
        b0 = _mm_set_sd(sec.b[0]);
        bv = _mm512_setr_pd(sec.b[1], sec.b[2], sec.b[3], sec.b[4], sec.b[5], sec.b[6], 0.0, 0.0);
        av = _mm512_setr_pd(sec.a[1], sec.a[2], sec.a[3], sec.a[4], sec.a[5], sec.a[6], 0.0, 0.0);
        s = _mm512_setr_pd(sec.s[0], sec.s[1], sec.s[2], sec.s[3], sec.s[4], sec.s[5], -0.0, -0.0);
    }

    [[gnu::always_inline]] void store(KYM_TONESTAGE& ts) const noexcept
    {
        alignas(64) double a[8];
        double* r = ts.rampedCoef;
        _mm512_store_pd(a, rA);
        for (int i = 0; i < 6; ++i)
            r[1 + i] = a[i];
        r[0] = a[6];
        r[7] = a[7];
        _mm512_mask_storeu_pd(&r[8], 0x3F, rB);

        libqor::dsp::TDFII<6>& sec = ts.section;
        _mm_storel_pd(&sec.b[0], b0);
        _mm512_mask_storeu_pd(&sec.b[1], 0x3F, bv);
        _mm512_mask_storeu_pd(&sec.a[1], 0x3F, av);
        _mm512_mask_storeu_pd(&sec.s[0], 0x3F, s);
    }

    // |r3 - t3| <= 1e-20 and |r10 - t10| <= 1e-20 (false for NaN).
    [[gnu::always_inline]] bool converged() const noexcept
    {
        const __m512d eps = _mm512_set1_pd(1e-20);
        const __mmask8 a = _mm512_mask_cmp_pd_mask(0x4, _mm512_abs_pd(_mm512_sub_pd(rA, tA)), eps, _CMP_LE_OQ);
        const __mmask8 b = _mm512_mask_cmp_pd_mask(0x4, _mm512_abs_pd(_mm512_sub_pd(rB, tB)), eps, _CMP_LE_OQ);
        return (a & b) != 0;
    }

    // r += (t - r) * factor for all 14, then the section gets r / r0.
    [[gnu::always_inline]] void ramp() noexcept
    {
        rA = _mm512_add_pd(rA, _mm512_mul_pd(_mm512_sub_pd(tA, rA), factor));
        rB = _mm512_add_pd(rB, _mm512_mul_pd(_mm512_sub_pd(tB, rB), factor));

        const __m512d r0 = _mm512_permutexvar_pd(_mm512_set1_epi64(6), rA);
        const __m512d qA = _mm512_div_pd(rA, r0); // a1..a6 1 b0
        av = _mm512_maskz_mov_pd(0x3F, qA);
        b0 = _mm512_castpd512_pd128(_mm512_permutexvar_pd(_mm512_set1_epi64(7), qA));
        bv = _mm512_div_pd(rB, r0);
    }

    // y = b0·x + s1; s_i = b_i·x + s_(i+1) − a_i·y; s6 = b6·x − a6·y. Adding
    // −0.0 for the missing s7 leaves b6·x exactly as it is.
    [[gnu::always_inline]] double process(double x) noexcept
    {
        const __m512d xs = _mm512_set1_pd(x);
        const __m128d y = _mm_add_sd(_mm_mul_sd(b0, _mm_set_sd(x)), _mm512_castpd512_pd128(s));
        const __m512d ys = _mm512_broadcastsd_pd(y);
        const __m512d sh = _mm512_permutex2var_pd(s, _mm512_setr_epi64(1, 2, 3, 4, 5, 8, 8, 8),
                                                  _mm512_set1_pd(-0.0)); // s2..s6 -0 -0 -0
        s = _mm512_sub_pd(_mm512_add_pd(_mm512_mul_pd(bv, xs), sh), _mm512_mul_pd(av, ys));
        return _mm_cvtsd_f64(y);
    }

private:
    __m512d rA, rB; // ramped coefficients
    __m512d tA, tB; // their targets
    __m512d factor;
    __m128d b0; // lane 0
    __m512d bv; // b1..b6
    __m512d av; // a1..a6
    __m512d s;  // s1..s6
};

} // namespace

void blockvariants::avx512(KYM& engine, double* samples, int n, bool toneGlides) noexcept
{
    pipeline::run<ToneAvx512>(engine, samples, n, toneGlides);
}
