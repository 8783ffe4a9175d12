#pragma once

#include "libqor/dsp/TDFII.h"

// The passive Bass/Treble network as one sixth-order section. New coefficient
// sets are approached by a first-order ramp so pot and rate changes never jump.
class KYM_TONESTAGE
{
public:
    KYM_TONESTAGE() noexcept;

    // Recomputes targetCoef from fs, bass and treble and restarts the ramp.
    void updatecoefficients() noexcept;

    // One ramp step and the normalised hand-over into section; switches to
    // step_null once a3 and b3 have arrived.
    void step() noexcept;
    void step_null() noexcept;

    // Recomputes targetCoef, as updatecoefficients does, and runs with it
    // from the next sample on, with no ramp: each step of a glide is a
    // setting of the pots, whereas a mix of two sets need not be a stable
    // filter. The section's states are carried over as the states of the
    // unnormalised set (see the .cpp).
    void takeCoefficients() noexcept;
    // The same for the steps on a glide's way, by a shorter road: the
    // transform's weights are kept for the rate, and the set is normalised by
    // one reciprocal. Its last digits differ from updatecoefficients'; a
    // glide's last step goes through takeCoefficients.
    void followCoefficients() noexcept;
    // Ramps from zero to targetCoef, as a newly built tone stage does: the
    // ratios of the set hold from the first step, and where the ramp comes to
    // rest depends on the set alone. The section's states carry over.
    void rampFromZero() noexcept;

    // The analogue prototype divided by 1020000.3, ascending powers of s:
    // D[0..6], N[0..6] (N[0] = N[6] = 0). x = bass, y = treble.
    static void prototype(double x, double y, double (&D)[7], double (&N)[7]) noexcept;

    void (KYM_TONESTAGE::*stepFn)() = &KYM_TONESTAGE::step_null;
    double rTrebleA = 0.0, rTrebleB = 0.0; // Treble pot legs (ohm)
    double rBassA = 0.0, rBassB = 0.0;     // Bass pot legs (ohm)
    double R[5] = {};                      // ohm
    double C[7] = {};                      // farad
    double Tpow[6] = {};                   // T .. T^6
    double fs = 0.0;
    double bass = 0.0;
    double treble = 0.0;
    double rampFactor = 0.0;
    libqor::dsp::TDFII<6> section;
    double targetCoef[14] = {}; // a0..a6, b0..b6, unnormalised
    double rampedCoef[14] = {}; // same order, what section runs with before normalising
    // followCoefficients' weights: what each monomial of the pot positions
    // (1, y, y², x, x·y, x·y², x², x²·y, x²·y²) adds to each unnormalised
    // coefficient (a0..a6, b0..b6) at the rate glideWeightsFs.
    double glideWeights[9][14] = {};
    double glideWeightsFs = 0.0;

private:
    // Runs with targetCoef, normalised, from the next sample on; the states
    // scaled from the set whose a0 was previousA0.
    void runWithTarget(double previousA0, bool byReciprocal) noexcept;
};
