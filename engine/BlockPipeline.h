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

namespace {
namespace pipeline {

#define QOR_STAGE [[gnu::always_inline]] inline

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
template<int N>
struct Network
{
    double c[2 * N + 2]; // b_N..b_0, a_N..a_1, 1/a_0
    double x[N + 1];
    double y[N + 1];

    QOR_STAGE void load(const DFI<N>& d) noexcept
    {
        for (int i = 0; i < 2 * N + 2; ++i)
            c[i] = d.coef[i];
        for (int i = 0; i <= N; ++i)
        {
            x[i] = d.x[i];
            y[i] = d.y[i];
        }
    }

    QOR_STAGE void store(DFI<N>& d) const noexcept
    {
        for (int i = 0; i <= N; ++i)
        {
            d.x[i] = x[i];
            d.y[i] = y[i];
        }
    }

    QOR_STAGE double process(double u) noexcept
    {
        const double x0 = u + 1e-25;
        double acc = c[0] * x[N - 1];
#pragma GCC unroll 8
        for (int k = N - 1; k >= 1; --k)
            acc = acc + c[N - k] * x[k - 1];
        acc = acc + c[N] * x0;
#pragma GCC unroll 8
        for (int k = N; k >= 1; --k)
            acc = acc - c[N + 1 + (N - k)] * y[k - 1];
        const double y0 = acc * c[2 * N + 1];
#pragma GCC unroll 8
        for (int k = N; k >= 1; --k)
        {
            x[k] = x[k - 1];
            y[k] = y[k - 1];
        }
        x[0] = x0;
        y[0] = y0;
        return y0;
    }
};

// Op-amp gain stage with its table lookup, as OpampStage<Circuit>::process
// and TransferTable::lookup.
template<class Circuit>
struct Opamp
{
    using Stage = OpampStage<Circuit>;

    double c[Stage::coefficientCount];
    double Rf, Rv, G1, G2, G3;
    double s1, s2, s3;
    double in, fb, out, leg, core;
    double tmax, tmin, tscale;
    const double* table;

    QOR_STAGE void load(const Stage& s) noexcept
    {
        for (int i = 0; i < Stage::coefficientCount; ++i)
            c[i] = s.coeffs[i];
        Rf = s.Rf;
        Rv = s.Rv;
        G1 = s.G1;
        G2 = s.G2;
        G3 = s.G3;
        s1 = s.s1;
        s2 = s.s2;
        s3 = s.s3;
        in = s.in;
        fb = s.fb;
        out = s.out;
        leg = s.leg;
        core = s.core;
        tmax = s.table->max;
        tmin = s.table->min;
        tscale = s.table->scale;
        table = s.table->table;
    }

    QOR_STAGE void store(Stage& s) const noexcept
    {
        s.s1 = s1;
        s.s2 = s2;
        s.s3 = s3;
        s.in = in;
        s.fb = fb;
        s.out = out;
        s.leg = leg;
        s.core = core;
    }

    QOR_STAGE double lookup(double v) const noexcept
    {
        // !(v <= max) takes the max side, NaN included, so the index stays
        // inside the table.
        const double low = v < tmin ? tmin : v;
        const double clamped = v <= tmax ? low : tmax;
        const double position = (tmax - clamped) * tscale;
        const int32_t i = static_cast<int32_t>(position);
        const double f = position - i;
        return (table[i + 1] - table[i]) * f + table[i];
    }

    QOR_STAGE double process(double x) noexcept
    {
        in = x;
        const double v = c[Stage::cN2] * s2 * c[Stage::cN2_invSc] + c[Stage::cN3] * s3 * c[Stage::cN3_invSc]
                         + c[Stage::cN1] * s1 * c[Stage::cN1_invSc] + c[Stage::cNx] * x * c[Stage::cNx_invSc];
        const double u = lookup(v);
        core = u;
        const double w = c[Stage::cNw2] * s2 * c[Stage::cNw2_invSw] + c[Stage::cNw1] * s1 * c[Stage::cNw1_invSw]
                         + c[Stage::cNwu] * u * c[Stage::cNwu_invSw];
        out = w;
        const double z = Rf * s2 * c[Stage::cRf_invSz] + c[Stage::cNz1] * s1 * c[Stage::cNz1_invSz]
                         + c[Stage::cNzw] * w * c[Stage::cNzw_invSz];
        fb = z;
        const double q = c[Stage::cRvG2] * z * c[Stage::cInvOnePlusRvG2] - s2 * Rv * c[Stage::cInvOnePlusRvG2];
        leg = q;
        if constexpr (Circuit::trapezoidal)
        {
            s1 = (w - z) * 2 * G1 - s1;
            s2 = (z - q) * 2 * G2 - s2;
            s3 = 2 * G3 * u - s3;
        }
        else
        {
            s1 = (w - z) * G1;
            s2 = (z - q) * G2;
            s3 = u * G3;
        }
        return w;
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
        out = (D * G * R2 + R1 * G * W + R1 * st + D) * R3
              / (R1 * R2 * G + R3 * R1 * G + R3 * R2 * G + R3 + R1);
        v = ((W * G + st) * R2 + out) / (G * R2 + 1.0);
        st = (v - W) * 2.0 * G - st;
        return out * level * 2.2 + 1e-25;
    }
};

// The whole chain. Tone is the variant's tone section: it loads and stores
// the KYM_TONESTAGE's ramp and section, and offers converged() (the test at
// the head of KYM_TONESTAGE::step), ramp() (the rest of it) and process(x)
// (TDFII<6>::process_order6).
template<class Tone>
class Pipeline
{
public:
    static constexpr int stages = 11;

    QOR_STAGE explicit Pipeline(const KYM& e) noexcept : tone(e.tonestage)
    {
        scale = e.slots[0].value;
        inputHighpass.load(e.inputHighpass);
        inputNetwork.load(e.inputNetwork);
        presence.load(e.presence);
        drive.load(e.drive);
        firstNetwork.load(e.firstNetwork);
        secondNetwork.load(e.secondNetwork);
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
        presence.store(e.presence);
        drive.store(e.drive);
        firstNetwork.store(e.firstNetwork);
        secondNetwork.store(e.secondNetwork);
        blend.store(e.blend);
        outputHighpass.store(e.outputHighpass);
        finalHighpass.store(e.finalHighpass);
        tone.store(e.tonestage);
        e.tonestage.stepFn = ramping ? &KYM_TONESTAGE::step : &KYM_TONESTAGE::step_null;
        e.current = current;
        e.dry = dry;
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

    QOR_STAGE double throughAll(double s) noexcept
    {
        const double y1 = inputHighpass.process(s * scale + 1e-25);
        dry = y1;
        const double u = inputNetwork.process(y1);
        const double p = presence.process(u);
        const double d = drive.process(p);
        const double w1 = firstNetwork.process(d);
        const double W = secondNetwork.process(w1);
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
    template<int Lo, int Hi, bool MayRamp>
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
            link[6] = blend.process(dryLink[5], link[5]);
        if constexpr (Lo <= 5 && 5 <= Hi)
        {
            link[5] = secondNetwork.process(link[4]);
            dryLink[5] = dryLink[4];
        }
        if constexpr (Lo <= 4 && 4 <= Hi)
        {
            link[4] = firstNetwork.process(link[3]);
            dryLink[4] = dryLink[3];
        }
        if constexpr (Lo <= 3 && 3 <= Hi)
        {
            link[3] = drive.process(link[2]);
            dryLink[3] = dryLink[2];
        }
        if constexpr (Lo <= 2 && 2 <= Hi)
        {
            link[2] = presence.process(link[1]);
            dryLink[2] = dryLink[1];
        }
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
    template<int... T>
    QOR_STAGE void prologue(double* samples, std::integer_sequence<int, T...>) noexcept
    {
        (iterate<0, T, true>(samples, T), ...);
    }

    // Passes n .. n+stages-2 drain it: pass n-1+e runs stages e..stages-1.
    template<int... E>
    QOR_STAGE void epilogue(double* samples, int n, std::integer_sequence<int, E...>) noexcept
    {
        (iterate<E + 1, stages - 1, true>(samples, n + E), ...);
    }

    double scale;
    Highpass inputHighpass;
    Network<4> inputNetwork;
    Opamp<PresenceCircuit> presence;
    Opamp<DriveCircuit> drive;
    Network<3> firstNetwork;
    Network<3> secondNetwork;
    BlendLevel blend;
    Highpass outputHighpass;
    Tone tone;
    Highpass finalHighpass;
    bool ramping;
    double current;
    double dry;
    double link[stages - 1] = {};    // link[g]: stage g's latest output
    double dryLink[6] = {};          // the dry tap beside link[0..5]
};

template<class Tone>
void run(KYM& e, double* samples, int n) noexcept
{
    if (n <= 0)
        return;
    Pipeline<Tone> p(e);
    p.run(samples, n);
    p.store(e);
}

#undef QOR_STAGE

} // namespace pipeline
} // namespace
