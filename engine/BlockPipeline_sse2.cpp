// The block path for SSE2: the tone section's six states and its ramp in
// two-lane registers.

#include "engine/BlockPipeline.h"
#include "engine/BlockVariants.h"

#include <emmintrin.h>

namespace
{

class ToneSse2
{
public:
    [[gnu::always_inline]] explicit ToneSse2(const KYM_TONESTAGE& ts) noexcept
    {
        const double* r = ts.rampedCoef;
        const double* t = ts.targetCoef;
        // Lanes laid out so that one division by r0 yields the section's
        // a1..a6 and b1..b6 pairs as they are used; b0 comes beside r0.
        ra01 = _mm_setr_pd(r[1], r[2]);
        ra23 = _mm_setr_pd(r[3], r[4]);
        ra45 = _mm_setr_pd(r[5], r[6]);
        rb01 = _mm_setr_pd(r[8], r[9]);
        rb23 = _mm_setr_pd(r[10], r[11]);
        rb45 = _mm_setr_pd(r[12], r[13]);
        r07 = _mm_setr_pd(r[0], r[7]);
        ta01 = _mm_setr_pd(t[1], t[2]);
        ta23 = _mm_setr_pd(t[3], t[4]);
        ta45 = _mm_setr_pd(t[5], t[6]);
        tb01 = _mm_setr_pd(t[8], t[9]);
        tb23 = _mm_setr_pd(t[10], t[11]);
        tb45 = _mm_setr_pd(t[12], t[13]);
        t07 = _mm_setr_pd(t[0], t[7]);
        t3and10 = _mm_setr_pd(t[3], t[10]);
        factor = _mm_set1_pd(ts.rampFactor);

        const libqor::dsp::TDFII<6>& sec = ts.section;
        b0 = _mm_set_sd(sec.b[0]);
        bv01 = _mm_setr_pd(sec.b[1], sec.b[2]);
        bv23 = _mm_setr_pd(sec.b[3], sec.b[4]);
        bv45 = _mm_setr_pd(sec.b[5], sec.b[6]);
        av01 = _mm_setr_pd(sec.a[1], sec.a[2]);
        av23 = _mm_setr_pd(sec.a[3], sec.a[4]);
        av45 = _mm_setr_pd(sec.a[5], sec.a[6]);
        s01 = _mm_setr_pd(sec.s[0], sec.s[1]);
        s23 = _mm_setr_pd(sec.s[2], sec.s[3]);
        s45 = _mm_setr_pd(sec.s[4], sec.s[5]);
    }

    [[gnu::always_inline]] void store(KYM_TONESTAGE& ts) const noexcept
    {
        double* r = ts.rampedCoef;
        _mm_storel_pd(&r[0], r07);
        _mm_storeu_pd(&r[1], ra01);
        _mm_storeu_pd(&r[3], ra23);
        _mm_storeu_pd(&r[5], ra45);
        _mm_storeh_pd(&r[7], r07);
        _mm_storeu_pd(&r[8], rb01);
        _mm_storeu_pd(&r[10], rb23);
        _mm_storeu_pd(&r[12], rb45);

        libqor::dsp::TDFII<6>& sec = ts.section;
        _mm_storel_pd(&sec.b[0], b0);
        _mm_storeu_pd(&sec.b[1], bv01);
        _mm_storeu_pd(&sec.b[3], bv23);
        _mm_storeu_pd(&sec.b[5], bv45);
        _mm_storeu_pd(&sec.a[1], av01);
        _mm_storeu_pd(&sec.a[3], av23);
        _mm_storeu_pd(&sec.a[5], av45);
        _mm_storeu_pd(&sec.s[0], s01);
        _mm_storeu_pd(&sec.s[2], s23);
        _mm_storeu_pd(&sec.s[4], s45);
    }

    // |r3 - t3| <= 1e-20 and |r10 - t10| <= 1e-20 (false for NaN).
    [[gnu::always_inline]] bool converged() const noexcept
    {
        const __m128d d = _mm_sub_pd(_mm_unpacklo_pd(ra23, rb23), t3and10);
        const __m128d a = _mm_andnot_pd(_mm_set1_pd(-0.0), d);
        return _mm_movemask_pd(_mm_cmple_pd(a, _mm_set1_pd(1e-20))) == 3;
    }

    // r += (t - r) * factor for all 14, then the section gets r / r0.
    [[gnu::always_inline]] void ramp() noexcept
    {
        ra01 = _mm_add_pd(ra01, _mm_mul_pd(_mm_sub_pd(ta01, ra01), factor));
        ra23 = _mm_add_pd(ra23, _mm_mul_pd(_mm_sub_pd(ta23, ra23), factor));
        ra45 = _mm_add_pd(ra45, _mm_mul_pd(_mm_sub_pd(ta45, ra45), factor));
        rb01 = _mm_add_pd(rb01, _mm_mul_pd(_mm_sub_pd(tb01, rb01), factor));
        rb23 = _mm_add_pd(rb23, _mm_mul_pd(_mm_sub_pd(tb23, rb23), factor));
        rb45 = _mm_add_pd(rb45, _mm_mul_pd(_mm_sub_pd(tb45, rb45), factor));
        r07 = _mm_add_pd(r07, _mm_mul_pd(_mm_sub_pd(t07, r07), factor));

        const __m128d r0 = _mm_unpacklo_pd(r07, r07);
        av01 = _mm_div_pd(ra01, r0);
        av23 = _mm_div_pd(ra23, r0);
        av45 = _mm_div_pd(ra45, r0);
        bv01 = _mm_div_pd(rb01, r0);
        bv23 = _mm_div_pd(rb23, r0);
        bv45 = _mm_div_pd(rb45, r0);
        const __m128d q07 = _mm_div_pd(r07, r0);
        b0 = _mm_unpackhi_pd(q07, q07);
    }

    // y = b0·x + s1; s_i = b_i·x + s_(i+1) − a_i·y; s6 = b6·x − a6·y. Adding
    // −0.0 for the missing s7 leaves b6·x exactly as it is.
    [[gnu::always_inline]] double process(double x) noexcept
    {
        const __m128d xs = _mm_set1_pd(x);
        const __m128d y = _mm_add_sd(_mm_mul_sd(b0, xs), s01);
        const __m128d ys = _mm_unpacklo_pd(y, y);
        const __m128d sh01 = _mm_shuffle_pd(s01, s23, 1);
        const __m128d sh23 = _mm_shuffle_pd(s23, s45, 1);
        const __m128d sh45 = _mm_shuffle_pd(s45, _mm_set1_pd(-0.0), 1);
        s01 = _mm_sub_pd(_mm_add_pd(_mm_mul_pd(bv01, xs), sh01), _mm_mul_pd(av01, ys));
        s23 = _mm_sub_pd(_mm_add_pd(_mm_mul_pd(bv23, xs), sh23), _mm_mul_pd(av23, ys));
        s45 = _mm_sub_pd(_mm_add_pd(_mm_mul_pd(bv45, xs), sh45), _mm_mul_pd(av45, ys));
        return _mm_cvtsd_f64(y);
    }

private:
    __m128d ra01, ra23, ra45, rb01, rb23, rb45, r07; // ramped coefficients
    __m128d ta01, ta23, ta45, tb01, tb23, tb45, t07; // their targets
    __m128d t3and10;
    __m128d factor;
    __m128d b0;               // lane 0
    __m128d bv01, bv23, bv45; // b1..b6
    __m128d av01, av23, av45; // a1..a6
    __m128d s01, s23, s45;    // s1..s6
};

} // namespace

void blockvariants::sse2(KYM& engine, double* samples, int n, bool toneGlides) noexcept
{
    pipeline::run<ToneSse2>(engine, samples, n, toneGlides);
}
