#pragma once

// The common part of the fast sampler kernels: one doubling or halving stage
// run over a whole block, with a half-band filter's six all-pass sections
// skewed so that their recurrences run side by side: in iteration t, section
// k works on step t - D * k (D is the traits' delay). Every value gets the
// operations of CAllPassFilterCascade::processOrder12_SIMDd and
// CHalfBandFilter::process_simdd in their order; only the order in which
// independent values are computed changes.
//
// Included only by the blockUpDownsampling<SET>.cpp files, each compiled for
// its own instruction set. Everything here is in an unnamed namespace, so
// each file gets its own copy, with internal linkage, compiled for that
// file's instruction set only: nothing compiled for AVX2 can stand in for
// code a plain SSE2 caller runs.
//
// Traits T:
//   V                         one register of lanes
//   lanesPerSection           4 (up: A lane 0, A lane 1, B lane 0, B lane 1)
//                             or 2 (down: A lane 0, B lane 0)
//   perGroup                  sections per register, 1 or 2
//   delay                     D; 2 when perGroup is 2, so that a register's
//                             dependence on itself through its shifted
//                             input spans two iterations
//   load, store               perGroup * lanesPerSection doubles, unaligned
//   set1, add, sub, mul       lane by lane
//   Mask, mask(active), select(mask, taken, kept)
//   shiftIn(previous, group)  the input lanes of the group's sections: each
//                             section takes the section before it
//   shiftIn0(input, group)    the same for the first group, whose first
//                             section takes the stage's input
//   laneOf[4]                 (up only) the lane of A0, A1, B0 and B1
//   input(...), emit(group, destination)
//                             the stage's input pair and its kept result,
//                             from the last group's last section

#include <emmintrin.h>
#if defined(__AVX__)
#include <immintrin.h>
#endif

#include "libqor/dsp/blockUpDownsampling.h"

namespace libqor::skewed
{
namespace
{

constexpr int sectionCount = CAllPassFilterCascade::sectionsPerCascade;

template <class T>
struct Pipeline
{
    using V = typename T::V;
    static constexpr int groups = sectionCount / T::perGroup;
    static constexpr int lanes = T::perGroup * T::lanesPerSection;
    static constexpr int delay = T::delay;
    // Iterations from a step entering section 0 to its leaving section 5.
    static constexpr int latency = delay * (sectionCount - 1);

    static_assert(groups * T::perGroup == sectionCount, "sections split evenly into registers");

    V a[groups];
    V p[groups];     // previous input of each lane
    V q[groups];     // previous output of each lane
    V qBack[groups]; // q as it was one iteration earlier (delay 2 only)

    // Arrays of sectionCount * lanesPerSection doubles, section by section.
    void load(const double* coefficients, const double* in, const double* out) noexcept
    {
        for (int g = 0; g < groups; ++g)
        {
            a[g] = T::load(coefficients + g * lanes);
            p[g] = T::load(in + g * lanes);
            q[g] = T::load(out + g * lanes);
            qBack[g] = q[g];
        }
    }

    void store(double* in, double* out) const noexcept
    {
        for (int g = 0; g < groups; ++g)
        {
            T::store(in + g * lanes, p[g]);
            T::store(out + g * lanes, q[g]);
        }
    }

    // One iteration on the sections whose step t - delay * k lies in [0, m);
    // the others keep their state when masked (only at a block's two ends).
    template <bool masked>
    void iterate(V input, int t, int m) noexcept
    {
        const V up = T::set1(1e-25);
        const V down = T::set1(-1e-25);
        // Highest group first: each reads its predecessor's output as it was
        // before this iteration.
#pragma GCC unroll 6
        for (int g = groups - 1; g >= 0; --g)
        {
            const V* source = delay == 1 ? q : qBack;
            const V u = g == 0 ? T::shiftIn0(input, source[0]) : T::shiftIn(source[g - 1], source[g]);
            V out = T::add(T::mul(a[g], u), p[g]);
            out = T::sub(out, T::mul(a[g], q[g]));
            out = T::add(out, up);
            out = T::add(out, down);
            if constexpr (delay != 1)
                qBack[g] = q[g];
            if constexpr (masked)
            {
                bool active[T::perGroup];
                for (int j = 0; j < T::perGroup; ++j)
                {
                    const int step = t - delay * (g * T::perGroup + j);
                    active[j] = step >= 0 && step < m;
                }
                const auto k = T::mask(active);
                p[g] = T::select(k, u, p[g]);
                q[g] = T::select(k, out, q[g]);
            }
            else
            {
                p[g] = u;
                q[g] = out;
            }
        }
    }

    const V& last() const noexcept
    {
        return q[groups - 1];
    }
};

// Runs a stage of m steps: iterations 0 .. m + latency - 1, the first and the
// last `latency` of them masked. Step t's input is fed in iteration t and
// its result leaves in iteration t + latency.
template <class Stage>
void run(Stage& stage, int m) noexcept
{
    constexpr int latency = Stage::latency;
    const int fill = m < latency ? m : latency;
    int t = 0;
    for (; t < fill; ++t)
        stage.template step<true, true, false>(t, m);
    for (; t < latency; ++t)
        stage.template step<true, false, false>(t, m);
    // Two steps per pass: each section's input becomes its previous input,
    // and over two steps the registers can swap roles instead of moving.
    for (; t + 1 < m; t += 2)
    {
        stage.template step<false, true, true>(t, m);
        stage.template step<false, true, true>(t + 1, m);
    }
    for (; t < m; ++t)
        stage.template step<false, true, true>(t, m);
    for (; t < m + latency; ++t)
        stage.template step<true, false, true>(t, m);
}

// Lane gathers: each section's coefficient and pair histories, laid out as
// the traits' registers take them.
template <class T>
void gatherUp(const CHalfBandFilter& h, double* coefficients, double* in, double* out) noexcept
{
    constexpr int A0 = T::laneOf[0], A1 = T::laneOf[1], B0 = T::laneOf[2], B1 = T::laneOf[3];
    for (int k = 0; k < sectionCount; ++k)
    {
        const CAllPassFilter& A = *h.cascadeA->sections[k];
        const CAllPassFilter& B = *h.cascadeB->sections[k];
        double* c = coefficients + 4 * k;
        double* i = in + 4 * k;
        double* o = out + 4 * k;
        c[A0] = A.a;
        c[A1] = A.a;
        c[B0] = B.a;
        c[B1] = B.a;
        i[A0] = A.pairIn.v[0];
        i[A1] = A.pairIn.v[1];
        i[B0] = B.pairIn.v[0];
        i[B1] = B.pairIn.v[1];
        o[A0] = A.pairOut.v[0];
        o[A1] = A.pairOut.v[1];
        o[B0] = B.pairOut.v[0];
        o[B1] = B.pairOut.v[1];
    }
}

template <class T>
void scatterUp(CHalfBandFilter& h, const double* in, const double* out) noexcept
{
    constexpr int A0 = T::laneOf[0], A1 = T::laneOf[1], B0 = T::laneOf[2], B1 = T::laneOf[3];
    for (int k = 0; k < sectionCount; ++k)
    {
        CAllPassFilter& A = *h.cascadeA->sections[k];
        CAllPassFilter& B = *h.cascadeB->sections[k];
        const double* i = in + 4 * k;
        const double* o = out + 4 * k;
        A.pairIn.v[0] = i[A0];
        A.pairIn.v[1] = i[A1];
        B.pairIn.v[0] = i[B0];
        B.pairIn.v[1] = i[B1];
        A.pairOut.v[0] = o[A0];
        A.pairOut.v[1] = o[A1];
        B.pairOut.v[0] = o[B0];
        B.pairOut.v[1] = o[B1];
    }
}

// Down stages keep only lane 0 of each cascade; lane 1 stays as it was.
inline void gatherDown(const CHalfBandFilter& h, double* coefficients, double* in, double* out) noexcept
{
    for (int k = 0; k < sectionCount; ++k)
    {
        const CAllPassFilter& A = *h.cascadeA->sections[k];
        const CAllPassFilter& B = *h.cascadeB->sections[k];
        coefficients[2 * k] = A.a;
        coefficients[2 * k + 1] = B.a;
        in[2 * k] = A.pairIn.v[0];
        in[2 * k + 1] = B.pairIn.v[0];
        out[2 * k] = A.pairOut.v[0];
        out[2 * k + 1] = B.pairOut.v[0];
    }
}

inline void scatterDown(CHalfBandFilter& h, const double* in, const double* out) noexcept
{
    for (int k = 0; k < sectionCount; ++k)
    {
        CAllPassFilter& A = *h.cascadeA->sections[k];
        CAllPassFilter& B = *h.cascadeB->sections[k];
        A.pairIn.v[0] = in[2 * k];
        B.pairIn.v[0] = in[2 * k + 1];
        A.pairOut.v[0] = out[2 * k];
        B.pairOut.v[0] = out[2 * k + 1];
    }
}

// One doubling: the level's interpolator over src[0..m), each sample x
// giving the pair {y, x}, the pair through the half-band filter, both
// results to dst[0..2m). dst may overlap src from src - m on (the wider
// kernels expand in place from the top of their output block): a result
// is written only after the samples it could cover have been read.
//
// The interpolator runs on a pair holding the same value twice, so that its
// output y is ready for both lanes that take it, and the pair {saved, x}
// that the other two lanes take is read straight from src once t > 0.
template <class T>
struct UpStage
{
    using P = Pipeline<T>;
    static constexpr int latency = P::latency;

    P pipe;
    const double* src;
    double* dst;
    __m128d prevIn;  // the interpolator's previous input, twice
    __m128d prevOut; // its previous output, twice
    __m128d lastX;   // the last sample read, twice: the saved element 1

    template <bool masked, bool feed, bool emit>
    void step(int t, int m) noexcept
    {
        typename T::V input = T::set1(0.0);
        if constexpr (feed)
        {
            const __m128d x = _mm_load1_pd(src + t);
            const __m128d c = _mm_set1_pd(blockUpDownsampling::interpCoefficient);
            const __m128d y = _mm_add_pd(_mm_mul_pd(_mm_sub_pd(x, prevOut), c), prevIn);
            prevOut = y;
            prevIn = x;
            // {saved, x}; in the steady loop t > 0 and src[t - 1] is the saved sample.
            const __m128d savedX = masked ? _mm_unpacklo_pd(lastX, x) : _mm_loadu_pd(src + t - 1);
            lastX = x;
            // v = {y, x} for cascade A, w = {saved, y} for cascade B.
            input = T::input(y, savedX);
        }
        pipe.template iterate<masked>(input, t, m);
        if constexpr (emit)
            T::emit(pipe.last(), dst + 2 * static_cast<long>(t - latency));
    }
};

template <class T>
void upStage(CHalfBandFilter& h, double& prevIn, double& prevOut, const double* src, double* dst, int m) noexcept
{
    double coefficients[4 * sectionCount], in[4 * sectionCount], out[4 * sectionCount];
    gatherUp<T>(h, coefficients, in, out);
    UpStage<T> stage;
    stage.pipe.load(coefficients, in, out);
    stage.src = src;
    stage.dst = dst;
    stage.prevIn = _mm_set1_pd(prevIn);
    stage.prevOut = _mm_set1_pd(prevOut);
    stage.lastX = _mm_set1_pd(h.savedElement1);

    run(stage, m);

    stage.pipe.store(in, out);
    scatterUp<T>(h, in, out);
    prevIn = _mm_cvtsd_f64(stage.prevIn);
    prevOut = _mm_cvtsd_f64(stage.prevOut);
    h.savedElement1 = _mm_cvtsd_f64(stage.lastX);
}

// One halving: pairs {src[2t], src[2t+1]} through the half-band filter,
// element 0 of each result to dst[t]. dst may be src: result t is written
// after pair t + latency was read.
template <class T>
struct DownStage
{
    using P = Pipeline<T>;
    static constexpr int latency = P::latency;

    P pipe;
    const double* src;
    double* dst;
    double saved;

    template <bool masked, bool feed, bool emit>
    void step(int t, int m) noexcept
    {
        typename T::V input = T::set1(0.0);
        if constexpr (feed)
        {
            // Cascade A lane 0 takes the earlier sample, cascade B lane 0
            // the saved later sample of the pair before.
            input = T::input(src[2 * static_cast<long>(t)], saved);
            saved = src[2 * static_cast<long>(t) + 1];
        }
        pipe.template iterate<masked>(input, t, m);
        if constexpr (emit)
            T::emit(pipe.last(), dst + (t - latency));
    }
};

template <class T>
void downStage(CHalfBandFilter& h, const double* src, double* dst, int m) noexcept
{
    double coefficients[2 * sectionCount], in[2 * sectionCount], out[2 * sectionCount];
    gatherDown(h, coefficients, in, out);
    DownStage<T> stage;
    stage.pipe.load(coefficients, in, out);
    stage.src = src;
    stage.dst = dst;
    stage.saved = h.savedElement1;

    run(stage, m);

    stage.pipe.store(in, out);
    scatterDown(h, in, out);
    h.savedElement1 = stage.saved;
}

// Down stages in every variant: cascade A's and cascade B's lane 0 of one
// section share a two-lane register, with the per-lane coefficients {aA, aB}.
struct DownTwoLanes
{
    using V = __m128d;
    using Mask = __m128d;
    static constexpr int lanesPerSection = 2;
    static constexpr int perGroup = 1;
    static constexpr int delay = 1;

    static V load(const double* x) noexcept { return _mm_loadu_pd(x); }
    static void store(double* x, V v) noexcept { _mm_storeu_pd(x, v); }
    static V set1(double x) noexcept { return _mm_set1_pd(x); }
    static V add(V x, V y) noexcept { return _mm_add_pd(x, y); }
    static V sub(V x, V y) noexcept { return _mm_sub_pd(x, y); }
    static V mul(V x, V y) noexcept { return _mm_mul_pd(x, y); }
    static Mask mask(const bool* active) noexcept { return _mm_castsi128_pd(_mm_set1_epi64x(active[0] ? -1 : 0)); }
    static V select(Mask k, V taken, V kept) noexcept
    {
        return _mm_or_pd(_mm_and_pd(k, taken), _mm_andnot_pd(k, kept));
    }
    static V shiftIn(V previous, V) noexcept { return previous; }
    static V shiftIn0(V input, V) noexcept { return input; }
    static V input(double earlier, double saved) noexcept { return _mm_set_pd(saved, earlier); }
    // (A lane 0 + B lane 0) * 0.5
    static void emit(V v, double* dst) noexcept
    {
        _mm_store_sd(dst, _mm_mul_sd(_mm_add_sd(v, _mm_unpackhi_pd(v, v)), _mm_set_sd(0.5)));
    }
};

#if defined(__AVX__)
// The lane-by-lane operations of the 256-bit traits below.
struct FourLaneOps
{
    using V = __m256d;
    using Mask = __m256d;

    static V load(const double* x) noexcept { return _mm256_loadu_pd(x); }
    static void store(double* x, V v) noexcept { _mm256_storeu_pd(x, v); }
    static V set1(double x) noexcept { return _mm256_set1_pd(x); }
    static V add(V x, V y) noexcept { return _mm256_add_pd(x, y); }
    static V sub(V x, V y) noexcept { return _mm256_sub_pd(x, y); }
    static V mul(V x, V y) noexcept { return _mm256_mul_pd(x, y); }
    static V select(Mask k, V taken, V kept) noexcept { return _mm256_blendv_pd(kept, taken, k); }
};

// Up stages with 256-bit registers: one section's four live lanes in one
// register, {B0, A1, A0, B1}, with coefficients {aB, aA, aA, aB}; the pair
// {saved, x} that B0 and A1 take comes in one load, y fills the upper two.
struct UpFourLanes : FourLaneOps
{
    static constexpr int lanesPerSection = 4;
    static constexpr int perGroup = 1;
    static constexpr int delay = 1;
    static constexpr int laneOf[4] = { 2, 1, 0, 3 };

    static Mask mask(const bool* active) noexcept
    {
        return _mm256_castsi256_pd(_mm256_set1_epi64x(active[0] ? -1 : 0));
    }
    static V shiftIn(V previous, V) noexcept { return previous; }
    static V shiftIn0(V input, V) noexcept { return input; }
    // y: {y, y}, savedX: {saved, x}
    static V input(__m128d y, __m128d savedX) noexcept
    {
        return _mm256_insertf128_pd(_mm256_castpd128_pd256(savedX), y, 1);
    }
    // {(A0 + B0) * 0.5, (A1 + B1) * 0.5}: the two halves added, then halved.
    static void emit(V v, double* dst) noexcept
    {
        const __m128d low = _mm256_castpd256_pd128(v);    // {B0, A1}
        const __m128d high = _mm256_extractf128_pd(v, 1); // {A0, B1}
        const __m128d a = _mm_blend_pd(high, low, 0x2);
        const __m128d b = _mm_blend_pd(low, high, 0x2);
        _mm_storeu_pd(dst, _mm_mul_pd(_mm_add_pd(a, b), _mm_set1_pd(0.5)));
    }
};

// Down stages with 256-bit registers: lane 0 of cascades A and B of two
// neighbouring sections, {A0, B0} of section 2g, then of section 2g + 1.
// A register's input takes its own lower section's output; with sections
// two iterations apart that loop spans two iterations, and the add units
// do half the work of one section per register.
struct DownFourLanes : FourLaneOps
{
    static constexpr int lanesPerSection = 2;
    static constexpr int perGroup = 2;
    static constexpr int delay = 2;

    static Mask mask(const bool* active) noexcept
    {
        const long long lo = active[0] ? -1 : 0, hi = active[1] ? -1 : 0;
        return _mm256_castsi256_pd(_mm256_set_epi64x(hi, hi, lo, lo));
    }
    // {upper section of the previous register, lower section of this one}
    static V shiftIn(V previous, V group) noexcept { return _mm256_permute2f128_pd(previous, group, 0x21); }
    static V shiftIn0(V input, V group) noexcept { return _mm256_permute2f128_pd(input, group, 0x20); }
    static V input(double earlier, double saved) noexcept { return _mm256_castpd128_pd256(_mm_set_pd(saved, earlier)); }
    // From the upper section: (A lane 0 + B lane 0) * 0.5
    static void emit(V v, double* dst) noexcept { DownTwoLanes::emit(_mm256_extractf128_pd(v, 1), dst); }
};
#endif

// The kernels, level by level over the block. The up kernels use their
// output block for the levels in between: level 1 writes to its top, each
// further level expands from there towards the start. The down kernels go
// in chunks of downChunk base-rate samples through the sampler's scratch.
template <class Up>
void upsample2x(blockUpDownsampling& s, const double* in, double* out, int n) noexcept
{
    if (n <= 0)
        return;
    upStage<Up>(s.up1, s.interpIn[0], s.interpOut[0], in, out, n);
}

template <class Up>
void upsample4x(blockUpDownsampling& s, const double* in, double* out, int n) noexcept
{
    if (n <= 0)
        return;
    double* level1 = out + 2 * static_cast<long>(n);
    upStage<Up>(s.up1, s.interpIn[0], s.interpOut[0], in, level1, n);
    upStage<Up>(s.up2, s.interpIn[1], s.interpOut[1], level1, out, 2 * n);
}

template <class Up>
void upsample8x(blockUpDownsampling& s, const double* in, double* out, int n) noexcept
{
    if (n <= 0)
        return;
    double* level1 = out + 6 * static_cast<long>(n);
    double* level2 = out + 4 * static_cast<long>(n);
    upStage<Up>(s.up1, s.interpIn[0], s.interpOut[0], in, level1, n);
    upStage<Up>(s.up2, s.interpIn[1], s.interpOut[1], level1, level2, 2 * n);
    upStage<Up>(s.up3, s.interpIn[2], s.interpOut[2], level2, out, 4 * n);
}

template <class Down>
void downsample2x(blockUpDownsampling& s, const double* in, double* out, int n) noexcept
{
    if (n <= 0)
        return;
    downStage<Down>(s.down1, in, out, n);
}

template <class Down>
void downsample4x(blockUpDownsampling& s, const double* in, double* out, int n) noexcept
{
    constexpr int chunk = blockUpDownsampling::downChunk;
    for (int c = 0; c < n; c += chunk)
    {
        const int m = n - c < chunk ? n - c : chunk;
        downStage<Down>(s.down2, in + 4 * static_cast<long>(c), s.levelScratch, 2 * m);
        downStage<Down>(s.down1, s.levelScratch, out + c, m);
    }
}

template <class Down>
void downsample8x(blockUpDownsampling& s, const double* in, double* out, int n) noexcept
{
    constexpr int chunk = blockUpDownsampling::downChunk;
    for (int c = 0; c < n; c += chunk)
    {
        const int m = n - c < chunk ? n - c : chunk;
        downStage<Down>(s.down3, in + 8 * static_cast<long>(c), s.levelScratch, 4 * m);
        downStage<Down>(s.down2, s.levelScratch, s.levelScratch, 2 * m);
        downStage<Down>(s.down1, s.levelScratch, out + c, m);
    }
}

} // namespace
} // namespace libqor::skewed
