#pragma once

#include "engine/TransferTable.h"

// One op-amp wired as a non-inverting amplifier: transconductance core (gm
// into Rp || Cp) limited by the transfer table, output resistance Ro,
// feedback Rf || C1, gain leg C2 then the pot resistance Rv to ground. The
// capacitors are companion models (conductance k*C/T plus a current state).
// KYM_PRESENCE and KYM_DRIVE differ only in C2 and in k (trapezoidal or
// backward Euler), so both are this one template.
struct PresenceCircuit
{
    static constexpr double C2 = 1e-8; // 10 nF
    static constexpr bool trapezoidal = true;
};

struct DriveCircuit
{
    // One farad: at audio rates the leg capacitor is a plain connection.
    static constexpr double C2 = 1.0;
    static constexpr bool trapezoidal = false;
};

template <class Circuit>
class OpampStage
{
public:
    static constexpr double k = Circuit::trapezoidal ? 2.0 : 1.0;

    // Indices into coeffs; the reciprocal of a denominator is stored once per
    // term that uses it, in the order the sample update reads them.
    enum Coefficient
    {
        cN2,
        cN2_invSc,
        cN3,
        cN3_invSc,
        cN1,
        cN1_invSc,
        cNx,
        cNx_invSc,
        cNw2,
        cNw2_invSw,
        cNw1,
        cNw1_invSw,
        cNwu,
        cNwu_invSw,
        cRf_invSz,
        cNz1,
        cNz1_invSz,
        cNzw,
        cNzw_invSz,
        cRvG2,
        cInvOnePlusRvG2,
        coefficientCount
    };

    double in = 0.0;
    double fb = 0.0;
    double out = 0.0;
    double leg = 0.0;
    double core = 0.0;
    double Rp = 0.0, Ro = 0.0, Cp = 0.0, Rf = 0.0, Rv = 0.0, C1 = 0.0, C2 = 0.0;
    double G1 = 0.0, G2 = 0.0, G3 = 0.0;
    double s1 = 0.0, s2 = 0.0, s3 = 0.0;
    double gm = 0.0;
    double coeffs[coefficientCount] = {};
    TransferTable* table;

    OpampStage();
    ~OpampStage();
    OpampStage(const OpampStage&) = delete;
    OpampStage& operator=(const OpampStage&) = delete;

    // Circuit values, conductances and coefficients for rate fs and pot
    // position pot (0..1). Node values and states carry over untouched.
    void init(double fs, double pot);

    // Leg resistance of the gain pot: 3.3 kOhm in series with the share
    // 1 - 9p/(8p + 1) of a 100 kOhm pot (0.8888888889 and 0.1111111112 stand
    // for 8/9 and 1/9), a reverse-log law that leaves 10 % at half travel:
    // the resistance falls steeply as the pot turns up.
    static double potLaw(double p) noexcept { return (1 - p / (0.8888888889 * p + 0.1111111112)) * 1e5 + 3300; }

    double process(double x) noexcept
    {
        const double* c = coeffs;
        // Each term is numerator * variable * reciprocal; each sum is formed
        // from its last term to its first.
        in = x;
        const double v = c[cN2] * s2 * c[cN2_invSc] + c[cN3] * s3 * c[cN3_invSc] + c[cN1] * s1 * c[cN1_invSc]
            + c[cNx] * x * c[cNx_invSc];
        core = v;
        const double u = table->lookup(v);
        core = u;
        const double w = c[cNw2] * s2 * c[cNw2_invSw] + c[cNw1] * s1 * c[cNw1_invSw] + c[cNwu] * u * c[cNwu_invSw];
        out = w;
        const double z = Rf * s2 * c[cRf_invSz] + c[cNz1] * s1 * c[cNz1_invSz] + c[cNzw] * w * c[cNzw_invSz];
        fb = z;
        // The leg voltage is the sum -s2*Rv/(1+Rv*G2) + Rv*G2*z/(1+Rv*G2);
        // a - b rounds exactly as -b + a, so it is written as a difference.
        const double q = c[cRvG2] * z * c[cInvOnePlusRvG2] - s2 * Rv * c[cInvOnePlusRvG2];
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

extern template class OpampStage<PresenceCircuit>;
extern template class OpampStage<DriveCircuit>;

class KYM_PRESENCE : public OpampStage<PresenceCircuit>
{};

class KYM_DRIVE : public OpampStage<DriveCircuit>
{};
