#include "engine/OpampStage.h"

#include <cmath>

// Every sum below is evaluated left to right as written and every product left
// to right, except that Rf*A0 (and gm*Rp*Rf, the same product) is formed as
// Rf*Rp*gm = 66000000000.00001, not A0*Rf = 66000000000: the order decides
// the last bit, and the coefficients depend on it.

namespace
{

// The op-amp's open-loop model, a TL07x: DC gain A0 = gm·Rp = 200000 with one
// pole at 15 Hz from Rp || Cp, so a gain-bandwidth of gm/(2·pi·Cp) = 3 MHz.
// Cp is 10 nF as the double just below 1e-8; Rp = 1/(2·pi·15 Hz·Cp) and
// gm = A0/Rp, each exactly as those doubles give it.
constexpr double openLoopGain = 200000.0;
constexpr double poleHz = 15.0;
constexpr double coreCapacitance = 9.999999999999999e-9;
constexpr double coreResistance = 1061032.9539459692;
constexpr double coreTransconductance = 0.18849555921538755;
static_assert(coreResistance == 1.0 / (2.0 * M_PI * poleHz * coreCapacitance), "Rp: the 15 Hz pole");
static_assert(coreTransconductance == openLoopGain / coreResistance, "gm: A0 / Rp");
static_assert(coreCapacitance == 1.0 / (2.0 * M_PI * poleHz * coreResistance), "Cp: the 15 Hz pole");
static_assert(coreTransconductance / (2.0 * M_PI * coreCapacitance) == 3e6, "3 MHz gain-bandwidth");

constexpr double feedbackCapacitance = 2.2e-10; // C1, 220 pF across Rf
constexpr double feedbackResistance = 330000;   // Rf, 330 kOhm
constexpr double outputResistance = 100;        // Ro, the op-amp's output

} // namespace

template <class Circuit>
OpampStage<Circuit>::OpampStage() : table(TransferTable::createTL074())
{}

template <class Circuit>
OpampStage<Circuit>::~OpampStage()
{
    TransferTable::destroy(table);
}

template <class Circuit>
void OpampStage<Circuit>::init(double fs, double pot)
{
    const double T = 1.0 / fs;
    C1 = feedbackCapacitance;
    C2 = Circuit::C2;
    Rf = feedbackResistance;
    Rv = potLaw(pot);
    Ro = outputResistance;
    Cp = coreCapacitance;
    Rp = coreResistance;
    gm = coreTransconductance;

    G3 = k * Cp / T;
    G1 = k * C1 / T;
    G2 = k * C2 / T;

    const double A0 = gm * Rp;
    const double RfA0 = Rf * Rp * gm;

    const double M = 1 + Rf * G1 + Rf * G2 + Ro * G2 + Rv * G2 + Rf * Ro * G1 * G2 + Rv * Rf * G1 * G2;
    const double Sc = 1 + A0 + Rf * G1 + RfA0 * G1 + Rp * G3 + Rf * Rp * G1 * G3 + Rv * Rp * gm * G2
        + Rv * Rf * Rp * gm * G1 * G2 + Rf * Rp * G2 * G3 + Rp * Ro * G2 * G3 + Rv * Rp * G2 * G3
        + Rf * Rp * Ro * G1 * G2 * G3 + Rv * Rf * Rp * G1 * G2 * G3 + Rv * Rf * G1 * G2 + Rf * Ro * G1 * G2 + Rv * G2
        + Ro * G2 + Rf * G2;
    const double Nx = A0 * M;
    const double N1 = RfA0 * (1 + Rv * G2);
    const double N2 = -A0 * (Rf + Ro + Rf * Ro * G1);
    const double N3 = Rp * M;
    const double Sw = M;
    const double Nwu = 1 + Rf * G1 + Rf * G2 + Rv * G2 + Rv * Rf * G1 * G2;
    const double Nw1 = Rf * Ro * G2;
    const double Nw2 = Ro * (1 + Rf * G1);
    const double Sz = 1 + Rf * G1 + Rf * G2 + Rv * G2 + Rf * Rv * G1 * G2;
    const double Nzw = 1 + Rf * G1 + Rv * G2 + Rf * Rv * G1 * G2;
    const double Nz1 = -Rf * (1 + Rv * G2);
    const double RvG2 = Rv * G2;

    const double invSc = 1.0 / Sc;
    const double invSw = 1.0 / Sw;
    const double invSz = 1.0 / Sz;
    const double invLeg = 1.0 / (1 + RvG2);

    double* c = coeffs;
    c[cN2] = N2;
    c[cN2_invSc] = invSc;
    c[cN3] = N3;
    c[cN3_invSc] = invSc;
    c[cN1] = N1;
    c[cN1_invSc] = invSc;
    c[cNx] = Nx;
    c[cNx_invSc] = invSc;
    c[cNw2] = Nw2;
    c[cNw2_invSw] = invSw;
    c[cNw1] = Nw1;
    c[cNw1_invSw] = invSw;
    c[cNwu] = Nwu;
    c[cNwu_invSw] = invSw;
    c[cRf_invSz] = invSz;
    c[cNz1] = Nz1;
    c[cNz1_invSz] = invSz;
    c[cNzw] = Nzw;
    c[cNzw_invSz] = invSz;
    c[cRvG2] = RvG2;
    c[cInvOnePlusRvG2] = invLeg;
}

template class OpampStage<PresenceCircuit>;
template class OpampStage<DriveCircuit>;
