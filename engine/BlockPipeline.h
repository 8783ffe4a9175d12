#pragma once

// The engine's block path: KYM::processSample's chain over a whole block as a
// software pipeline. Each stage keeps its state in locals for the block; in
// one pass stage g works on sample t - g, so the stages' recurrences run side
// by side instead of one after another. Every stage does the same double
// operations on the same operands in the same order as the per-sample code,
// so outputs and final state are the same bits.
//
// Included only by the variant files (BlockPipeline_*.cpp), each compiled for
// its own instruction set. Everything here has internal linkage and calls no
// inline function of the engine's headers: a shared inline function could be
// emitted from a wide variant and then picked by the linker for every caller.
// The tone section (with its coefficient ramp) is the variant's own class.

#include "engine/KYM.h"

#include <cstdint>
#include <utility>

#include <emmintrin.h>
#ifdef __SSE4_1__
#include <smmintrin.h>
#endif

namespace
{
namespace pipeline
{

#define QOR_STAGE [[gnu::always_inline]] inline

// f(0), f(1), ..., f(N - 1) with each index a constant, so that the stages'
// arrays are indexed only by constants and the compiler can keep them in
// registers for the whole block.
template <class F, int... I>
QOR_STAGE void unrolled(F&& f, std::integer_sequence<int, I...>) noexcept
{
    (f(std::integral_constant<int, I>()), ...);
}

template <int N, class F>
QOR_STAGE void repeat(F&& f) noexcept
{
    unrolled(f, std::make_integer_sequence<int, N>());
}

// One-pole RC high-pass, as KYM_HIGHPASS::process.
struct Highpass
{
    double G, R, k, st, x, y;

    QOR_STAGE void load(const KYM_HIGHPASS& h) noexcept
    {
        G = h.G;
        R = h.R;
        k = h.k;
        st = h.st;
        x = h.x;
        y = h.y;
    }

    QOR_STAGE void store(KYM_HIGHPASS& h) const noexcept
    {
        h.st = st;
        h.x = x;
        h.y = y;
    }

    QOR_STAGE double process(double in) noexcept
    {
        x = in;
        y = (x * G - st) * R * k;
        st = (x - y) * G;
        return y;
    }
};

// Fixed network in direct form I, as DFI<N>::process.
template <int N>
struct Network
{
    double c[2 * N + 2]; // b_N..b_0, a_N..a_1, 1/a_0
    double x[N + 1];
    double y[N + 1];

    QOR_STAGE void load(const DFI<N>& d) noexcept
    {
        repeat<2 * N + 2>([&](auto i) __attribute__((always_inline)) { c[i] = d.coef[i]; });
        repeat<N + 1>([&](auto i) __attribute__((always_inline)) {
            x[i] = d.x[i];
            y[i] = d.y[i];
        });
    }

    QOR_STAGE void store(DFI<N>& d) const noexcept
    {
        repeat<N + 1>([&](auto i) __attribute__((always_inline)) {
            d.x[i] = x[i];
            d.y[i] = y[i];
        });
    }

    QOR_STAGE double process(double u) noexcept
    {
        const double x0 = u + 1e-25;
        // Input terms oldest to newest, then the output terms subtracted
        // oldest to newest; x[k - 1] and y[k - 1] are the shifted x[k], y[k].
        double acc = c[0] * x[N - 1];
        repeat<N - 1>([&](auto j) __attribute__((always_inline)) {
            constexpr int k = N - 1 - j;
            acc = acc + c[N - k] * x[k - 1];
        });
        acc = acc + c[N] * x0;
        repeat<N>([&](auto j) __attribute__((always_inline)) {
            constexpr int k = N - j;
            acc = acc - c[N + 1 + (N - k)] * y[k - 1];
        });
        const double y0 = acc * c[2 * N + 1];
        repeat<N>([&](auto j) __attribute__((always_inline)) {
            constexpr int k = N - j;
            x[k] = x[k - 1];
            y[k] = y[k - 1];
        });
        x[0] = x0;
        y[0] = y0;
        return y0;
    }
};

// The new value in the working lanes (Lanes: 1 lane 0, 2 lane 1, 3 both),
// the old one in the other.
template <int Lanes>
QOR_STAGE __m128d keep(__m128d old, __m128d now) noexcept
{
    if constexpr (Lanes == 1)
        return _mm_move_sd(old, now);
    else if constexpr (Lanes == 2)
        return _mm_move_sd(now, old);
    else
        return now;
}

// ifSet where mask is set, ifClear elsewhere.
QOR_STAGE __m128d pick(__m128d mask, __m128d ifSet, __m128d ifClear) noexcept
{
#ifdef __SSE4_1__
    return _mm_blendv_pd(ifClear, ifSet, mask);
#else
    return _mm_or_pd(_mm_and_pd(mask, ifSet), _mm_andnot_pd(mask, ifClear));
#endif
}

// Two networks of order N with the same operations, one in each lane:
// lane 0 the first, lane 1 the second, which filters what the first gave in
// the previous pass. Lanes says which of them work in this pass (1: the
// first, 2: the second, 3: both); a lane that does not work keeps its state.
template <int N>
struct NetworkPair
{
    __m128d c[2 * N + 2];
    __m128d x[N + 1];
    __m128d y[N + 1];

    QOR_STAGE void load(const DFI<N>& a, const DFI<N>& b) noexcept
    {
        repeat<2 * N + 2>([&](auto i) __attribute__((always_inline)) { c[i] = _mm_setr_pd(a.coef[i], b.coef[i]); });
        repeat<N + 1>([&](auto i) __attribute__((always_inline)) {
            x[i] = _mm_setr_pd(a.x[i], b.x[i]);
            y[i] = _mm_setr_pd(a.y[i], b.y[i]);
        });
    }

    QOR_STAGE void store(DFI<N>& a, DFI<N>& b) const noexcept
    {
        repeat<N + 1>([&](auto i) __attribute__((always_inline)) {
            _mm_storel_pd(&a.x[i], x[i]);
            _mm_storeh_pd(&b.x[i], x[i]);
            _mm_storel_pd(&a.y[i], y[i]);
            _mm_storeh_pd(&b.y[i], y[i]);
        });
    }

    // As Network<N>::process, lane by lane.
    template <int Lanes>
    QOR_STAGE __m128d process(__m128d u) noexcept
    {
        const __m128d x0 = _mm_add_pd(u, _mm_set1_pd(1e-25));
        __m128d acc = _mm_mul_pd(c[0], x[N - 1]);
        repeat<N - 1>([&](auto j) __attribute__((always_inline)) {
            constexpr int k = N - 1 - j;
            acc = _mm_add_pd(acc, _mm_mul_pd(c[N - k], x[k - 1]));
        });
        acc = _mm_add_pd(acc, _mm_mul_pd(c[N], x0));
        repeat<N>([&](auto j) __attribute__((always_inline)) {
            constexpr int k = N - j;
            acc = _mm_sub_pd(acc, _mm_mul_pd(c[N + 1 + (N - k)], y[k - 1]));
        });
        const __m128d y0 = _mm_mul_pd(acc, c[2 * N + 1]);
        repeat<N>([&](auto j) __attribute__((always_inline)) {
            constexpr int k = N - j;
            x[k] = keep<Lanes>(x[k], x[k - 1]);
            y[k] = keep<Lanes>(y[k], y[k - 1]);
        });
        x[0] = keep<Lanes>(x[0], x0);
        y[0] = keep<Lanes>(y[0], y0);
        return y0;
    }
};

// The two op-amp gain stages with their table lookups, as
// OpampStage<Circuit>::process and TransferTable::lookup, one in each lane:
// lane 0 KYM_PRESENCE, lane 1 KYM_DRIVE, which works on what the presence
// stage gave in the previous pass. They differ only in their values and in
// the state update, which the lanes' factors make exact for both: the
// presence stage's (d·2)·G − s, the drive stage's (d·1)·G − (+0.0), and
// x·1 and x − (+0.0) are x itself.
struct OpampPair
{
    using P = KYM_PRESENCE;

    __m128d c[P::coefficientCount];
    __m128d Rf, Rv, G1, G2, G3k; // G3k: 2·G3 for the presence stage, G3 for the drive stage
    __m128d s1, s2, s3;
    __m128d in, fb, out, leg, core;
    __m128d tmax, tmin, tscale;
    const double* table0;
    const double* table1;

    QOR_STAGE void load(const KYM_PRESENCE& p, const KYM_DRIVE& d) noexcept
    {
        repeat<P::coefficientCount>([&](auto i) __attribute__((always_inline)) {
            c[i] = _mm_setr_pd(p.coeffs[i], d.coeffs[i]);
        });
        Rf = _mm_setr_pd(p.Rf, d.Rf);
        Rv = _mm_setr_pd(p.Rv, d.Rv);
        G1 = _mm_setr_pd(p.G1, d.G1);
        G2 = _mm_setr_pd(p.G2, d.G2);
        G3k = _mm_setr_pd(2 * p.G3, d.G3);
        s1 = _mm_setr_pd(p.s1, d.s1);
        s2 = _mm_setr_pd(p.s2, d.s2);
        s3 = _mm_setr_pd(p.s3, d.s3);
        in = _mm_setr_pd(p.in, d.in);
        fb = _mm_setr_pd(p.fb, d.fb);
        out = _mm_setr_pd(p.out, d.out);
        leg = _mm_setr_pd(p.leg, d.leg);
        core = _mm_setr_pd(p.core, d.core);
        tmax = _mm_setr_pd(p.table->max, d.table->max);
        tmin = _mm_setr_pd(p.table->min, d.table->min);
        tscale = _mm_setr_pd(p.table->scale, d.table->scale);
        table0 = p.table->table;
        table1 = d.table->table;
    }

    QOR_STAGE void store(KYM_PRESENCE& p, KYM_DRIVE& d) const noexcept
    {
        split(s1, p.s1, d.s1);
        split(s2, p.s2, d.s2);
        split(s3, p.s3, d.s3);
        split(in, p.in, d.in);
        split(fb, p.fb, d.fb);
        split(out, p.out, d.out);
        split(leg, p.leg, d.leg);
        split(core, p.core, d.core);
    }

    // !(v <= max) takes the max side, NaN included, so the index stays
    // inside the table; v < min ? min : v is max(min, v) operand for operand.
    QOR_STAGE __m128d lookup(__m128d v) const noexcept
    {
        const __m128d low = _mm_max_pd(tmin, v);
        const __m128d clamped = pick(_mm_cmple_pd(v, tmax), low, tmax);
        const __m128d position = _mm_mul_pd(_mm_sub_pd(tmax, clamped), tscale);
        // The position lies in 0 .. (max - min)·scale, so the 64-bit
        // truncation is the 32-bit one, without a sign extension before the
        // load.
        const int64_t i0 = _mm_cvttsd_si64(position);
        const int64_t i1 = _mm_cvttsd_si64(_mm_unpackhi_pd(position, position));
        const __m128d f = _mm_sub_pd(position, _mm_cvtepi32_pd(_mm_cvttpd_epi32(position)));
        const __m128d at = _mm_loadh_pd(_mm_load_sd(&table0[i0]), &table1[i1]);
        const __m128d next = _mm_loadh_pd(_mm_load_sd(&table0[i0 + 1]), &table1[i1 + 1]);
        return _mm_add_pd(_mm_mul_pd(_mm_sub_pd(next, at), f), at);
    }

    template <int Lanes>
    QOR_STAGE __m128d process(__m128d x) noexcept
    {
        const __m128d v =
            _mm_add_pd(_mm_add_pd(_mm_add_pd(term<P::cN2, P::cN2_invSc>(s2), term<P::cN3, P::cN3_invSc>(s3)),
                                  term<P::cN1, P::cN1_invSc>(s1)),
                       term<P::cNx, P::cNx_invSc>(x));
        const __m128d u = lookup(v);
        const __m128d w = _mm_add_pd(_mm_add_pd(term<P::cNw2, P::cNw2_invSw>(s2), term<P::cNw1, P::cNw1_invSw>(s1)),
                                     term<P::cNwu, P::cNwu_invSw>(u));
        const __m128d z =
            _mm_add_pd(_mm_add_pd(_mm_mul_pd(_mm_mul_pd(Rf, s2), c[P::cRf_invSz]), term<P::cNz1, P::cNz1_invSz>(s1)),
                       term<P::cNzw, P::cNzw_invSz>(w));
        const __m128d q =
            _mm_sub_pd(term<P::cRvG2, P::cInvOnePlusRvG2>(z), _mm_mul_pd(_mm_mul_pd(s2, Rv), c[P::cInvOnePlusRvG2]));
        const __m128d two = _mm_setr_pd(2.0, 1.0);
        const __m128d presenceOnly = _mm_castsi128_pd(_mm_setr_epi32(-1, -1, 0, 0));
        const __m128d n1 = _mm_sub_pd(_mm_mul_pd(_mm_mul_pd(_mm_sub_pd(w, z), two), G1), _mm_and_pd(s1, presenceOnly));
        const __m128d n2 = _mm_sub_pd(_mm_mul_pd(_mm_mul_pd(_mm_sub_pd(z, q), two), G2), _mm_and_pd(s2, presenceOnly));
        const __m128d n3 = _mm_sub_pd(_mm_mul_pd(G3k, u), _mm_and_pd(s3, presenceOnly));
        s1 = keep<Lanes>(s1, n1);
        s2 = keep<Lanes>(s2, n2);
        s3 = keep<Lanes>(s3, n3);
        in = keep<Lanes>(in, x);
        core = keep<Lanes>(core, u);
        out = keep<Lanes>(out, w);
        fb = keep<Lanes>(fb, z);
        leg = keep<Lanes>(leg, q);
        return w;
    }

private:
    // numerator · variable · reciprocal
    template <int Numerator, int Reciprocal>
    QOR_STAGE __m128d term(__m128d variable) const noexcept
    {
        return _mm_mul_pd(_mm_mul_pd(c[Numerator], variable), c[Reciprocal]);
    }

    QOR_STAGE static void split(__m128d v, double& lane0, double& lane1) noexcept
    {
        _mm_storel_pd(&lane0, v);
        _mm_storeh_pd(&lane1, v);
    }
};

// Blend network and output level, as KYM_BLEND::process and the level step.
struct BlendLevel
{
    double G, R1, R2, R3, st, out, v, level;

    QOR_STAGE void load(const KYM_BLEND& b) noexcept
    {
        G = b.G;
        R1 = b.R1;
        R2 = b.R2;
        R3 = b.R3;
        st = b.st;
        out = b.out;
        v = b.v;
        level = b.level;
    }

    QOR_STAGE void store(KYM_BLEND& b) const noexcept
    {
        b.st = st;
        b.out = out;
        b.v = v;
    }

    QOR_STAGE double process(double D, double W) noexcept
    {
        out = (D * G * R2 + R1 * G * W + R1 * st + D) * R3 / (R1 * R2 * G + R3 * R1 * G + R3 * R2 * G + R3 + R1);
        v = ((W * G + st) * R2 + out) / (G * R2 + 1.0);
        st = (v - W) * 2.0 * G - st;
        return out * level * 2.2 + 1e-25;
    }
};

// The whole chain. Tone is the variant's tone section: it loads and stores
// the KYM_TONESTAGE's ramp and section, and offers converged() (the test at
// the head of KYM_TONESTAGE::step), ramp() (the rest of it) and process(x)
// (TDFII<6>::process_order6). With ToneGlides the tone pots' glide steps
// every toneStepSamples samples, before the tone stage takes the sample, as
// the per-sample road steps it.
template <class Tone, bool ToneGlides>
class Pipeline
{
public:
    static constexpr int stages = 11;

    QOR_STAGE explicit Pipeline(KYM& e) noexcept : engine(e), tone(e.tonestage)
    {
        toneCountdown = e.toneStepCountdown;
        toneStepSamples = e.toneStepSamples;
        scale = e.slots[KYM::Slot::inputScale].value;
        inputHighpass.load(e.inputHighpass);
        inputNetwork.load(e.inputNetwork);
        opamps.load(e.presence, e.drive);
        networks.load(e.firstNetwork, e.secondNetwork);
        blend.load(e.blend);
        outputHighpass.load(e.outputHighpass);
        finalHighpass.load(e.finalHighpass);
        ramping = e.tonestage.stepFn == &KYM_TONESTAGE::step;
        current = e.current;
        dry = e.dry;
    }

    QOR_STAGE void store(KYM& e) const noexcept
    {
        inputHighpass.store(e.inputHighpass);
        inputNetwork.store(e.inputNetwork);
        opamps.store(e.presence, e.drive);
        networks.store(e.firstNetwork, e.secondNetwork);
        blend.store(e.blend);
        outputHighpass.store(e.outputHighpass);
        finalHighpass.store(e.finalHighpass);
        tone.store(e.tonestage);
        e.tonestage.stepFn = ramping ? &KYM_TONESTAGE::step : &KYM_TONESTAGE::step_null;
        e.current = current;
        e.dry = dry;
        e.toneStepCountdown = toneCountdown;
    }

    QOR_STAGE void run(double* samples, int n) noexcept
    {
        if (n < stages - 1)
        {
            // Too short to fill the pipeline: each sample through every stage.
            for (int i = 0; i < n; ++i)
                samples[i] = throughAll(samples[i]);
            return;
        }

        prologue(samples, std::make_integer_sequence<int, stages - 1>());
        int t = stages - 1;
        // A glide's landing starts the ramp anywhere in the block.
        if constexpr (ToneGlides)
        {
            for (; t < n; ++t)
                iterate<0, stages - 1, true>(samples, t);
            epilogue(samples, n, std::make_integer_sequence<int, stages - 1>());
            return;
        }
        while (ramping && t < n)
        {
            iterate<0, stages - 1, true>(samples, t);
            ++t;
        }
        for (; t < n; ++t)
            iterate<0, stages - 1, false>(samples, t);
        epilogue(samples, n, std::make_integer_sequence<int, stages - 1>());
    }

private:
    QOR_STAGE double toneStage(double h, bool mayRamp) noexcept
    {
        if constexpr (ToneGlides)
        {
            if (toneCountdown == 0)
            {
                stepToneGlide();
                toneCountdown = toneStepSamples;
            }
            --toneCountdown;
        }
        // The ramp's switch to idle lands on the sample whose test passes,
        // as with KYM_TONESTAGE::stepFn.
        if (mayRamp && ramping)
        {
            if (tone.converged())
                ramping = false;
            else
                tone.ramp();
        }
        current = tone.process(h + 1e-25);
        return current;
    }

    // The engine's own step, between the tone section's register copy and
    // the KYM_TONESTAGE it came from.
    [[gnu::noinline]] void stepToneGlide() noexcept
    {
        KYM_TONESTAGE& ts = engine.tonestage;
        tone.store(ts);
        ts.stepFn = ramping ? &KYM_TONESTAGE::step : &KYM_TONESTAGE::step_null;
        engine.toneGlideStep();
        tone = Tone(ts);
        ramping = ts.stepFn == &KYM_TONESTAGE::step;
    }

    QOR_STAGE double throughAll(double s) noexcept
    {
        const double y1 = inputHighpass.process(s * scale + 1e-25);
        dry = y1;
        const double u = inputNetwork.process(y1);
        const __m128d p = opamps.process<1>(_mm_set_sd(u));
        const __m128d d = opamps.process<2>(_mm_unpacklo_pd(p, p));
        const __m128d w1 = networks.process<1>(_mm_unpackhi_pd(d, d));
        const __m128d w2 = networks.process<2>(_mm_unpacklo_pd(w1, w1));
        const double W = _mm_cvtsd_f64(_mm_unpackhi_pd(w2, w2));
        const double o = blend.process(y1, W);
        const double h = outputHighpass.process(o);
        const double c = toneStage(h, true);
        const double f = finalHighpass.process(c + 1e-25);
        return 0.0 - f;
    }

    // One pass: stages Lo..Hi, stage g on sample t - g. Stages run from the
    // last to the first so each reads what the stage before it produced in
    // the previous pass before that stage overwrites it. The dry tap rides
    // along from the input high-pass to the blend.
    template <int Lo, int Hi, bool MayRamp>
    QOR_STAGE void iterate(double* samples, int t) noexcept
    {
        if constexpr (Lo <= 10 && 10 <= Hi)
            samples[t - 10] = 0.0 - link[9];
        if constexpr (Lo <= 9 && 9 <= Hi)
            link[9] = finalHighpass.process(link[8] + 1e-25);
        if constexpr (Lo <= 8 && 8 <= Hi)
            link[8] = toneStage(link[7], MayRamp);
        if constexpr (Lo <= 7 && 7 <= Hi)
            link[7] = outputHighpass.process(link[6]);
        if constexpr (Lo <= 6 && 6 <= Hi)
            link[6] = blend.process(dryLink[5], _mm_cvtsd_f64(_mm_unpackhi_pd(pair, pair)));
        constexpr int pairLanes = (Lo <= 4 && 4 <= Hi ? 1 : 0) | (Lo <= 5 && 5 <= Hi ? 2 : 0);
        if constexpr (pairLanes != 0)
            pair = networks.process<pairLanes>(_mm_shuffle_pd(opOut, pair, 1)); // drive's, first network's
        if constexpr (Lo <= 5 && 5 <= Hi)
            dryLink[5] = dryLink[4];
        if constexpr (Lo <= 4 && 4 <= Hi)
            dryLink[4] = dryLink[3];
        constexpr int opampLanes = (Lo <= 2 && 2 <= Hi ? 1 : 0) | (Lo <= 3 && 3 <= Hi ? 2 : 0);
        if constexpr (opampLanes != 0)
            opOut = opamps.process<opampLanes>(_mm_unpacklo_pd(_mm_set_sd(link[1]), opOut));
        if constexpr (Lo <= 3 && 3 <= Hi)
            dryLink[3] = dryLink[2];
        if constexpr (Lo <= 2 && 2 <= Hi)
            dryLink[2] = dryLink[1];
        if constexpr (Lo <= 1 && 1 <= Hi)
        {
            link[1] = inputNetwork.process(link[0]);
            dryLink[1] = dryLink[0];
        }
        if constexpr (Lo <= 0 && 0 <= Hi)
        {
            link[0] = inputHighpass.process(samples[t] * scale + 1e-25);
            dryLink[0] = link[0];
            dry = link[0];
        }
    }

    // Passes 0 .. stages-2 fill the pipeline: pass t runs stages 0..t.
    template <int... T>
    QOR_STAGE void prologue(double* samples, std::integer_sequence<int, T...>) noexcept
    {
        (iterate<0, T, true>(samples, T), ...);
    }

    // Passes n .. n+stages-2 drain it: pass n-1+e runs stages e..stages-1.
    template <int... E>
    QOR_STAGE void epilogue(double* samples, int n, std::integer_sequence<int, E...>) noexcept
    {
        (iterate<E + 1, stages - 1, true>(samples, n + E), ...);
    }

    KYM& engine;
    int toneCountdown;
    int toneStepSamples;
    double scale;
    Highpass inputHighpass;
    Network<4> inputNetwork;
    OpampPair opamps;        // presence and drive
    NetworkPair<3> networks; // first and second third-order network
    BlendLevel blend;
    Highpass outputHighpass;
    Tone tone;
    Highpass finalHighpass;
    bool ramping;
    double current;
    double dry;
    double link[stages - 1] = {};     // link[g]: stage g's latest output
    __m128d opOut = _mm_setzero_pd(); // the op-amp stages' outputs, in place of link[2], link[3]
    __m128d pair = _mm_setzero_pd();  // the third-order networks' outputs, in place of link[4], link[5]
    double dryLink[6] = {};           // the dry tap beside link[0..5]
};

template <class Tone, bool ToneGlides>
QOR_STAGE void runWith(KYM& e, double* samples, int n) noexcept
{
    Pipeline<Tone, ToneGlides> p(e);
    p.run(samples, n);
    p.store(e);
}

template <class Tone>
void run(KYM& e, double* samples, int n, bool toneGlides) noexcept
{
    if (n <= 0)
        return;
    if (toneGlides)
        runWith<Tone, true>(e, samples, n);
    else
        runWith<Tone, false>(e, samples, n);
}

#undef QOR_STAGE

} // namespace pipeline
} // namespace
