#include "engine/KYM_TONESTAGE.h"

#include "engine/DFI.h"

#include <cmath>

namespace
{

// Factor of each monomial, columns 1, y, y², x, x·y, x·y², x², x²·y, x²·y²;
// both polynomials divided by 1020000.3. Rows D0..D6 and N0..N6.
constexpr double kD[7][9] = {
    { 1, 0, 0, 9.8039186851e-2, 0, 0, 0, 0, 0 },
    { 1.5671604404e-2, 0, 0, -8.4020557641e-3, 0, 0, -1.2941172664e-3, 0, 0 },
    { 1.9932065607e-5, 2.0029412933e-6, -1.0e-6, 3.4312681829e-5, -1.7647053633e-6, -9.8039186851e-8, -4.3776641654e-5,
      -9.8039186851e-8, 0 },
    { 6.2287185874e-9, 1.0962767022e-8, -1.3210494481e-8, 5.7260030912e-8, -1.8319014220e-8, 8.6046053124e-9,
      -5.7583484807e-8, 8.5183308279e-9, 1.1960780796e-9 },
    { 7.2301157971e-13, 1.5836531707e-12, -2.2305279868e-12, 1.7324513781e-11, 1.8700469010e-11, -2.7310835105e-11,
      -1.7324513781e-11, -1.8700469010e-11, 2.7310835105e-11 },
    { 7.5244653780e-20, 2.1457943108e-18, -2.1500635013e-18, 1.5909009292e-15, 3.4959926580e-15, -4.9190518866e-15,
      -1.5909009292e-15, -3.4959926580e-15, 4.9190518866e-15 },
    { 4.65113387e-28, 1.40929793e-26, -1.40929793e-26, 1.5503733046e-22, 4.6976456772e-21, -4.6976456772e-21,
      -1.5503733046e-22, -4.6976456772e-21, 4.6976456772e-21 },
};

constexpr double kN[7][9] = {
    { 0, 0, 0, 0, 0, 0, 0, 0, 0 },
    { -9.8042128027e-4, 0, 0, -9.8039186851e-3, 0, 0, 0, 0, 0 },
    { -5.4570171994e-6, 0, 0, -4.1823575934e-5, 0, 0, 3.1372539792e-5, 0, 0 },
    { -2.9787771594e-9, -3.2353637544e-9, 9.8042128027e-10, -3.6688414680e-8, -1.9607837370e-8, 9.8039186851e-9,
      3.6364854010e-8, 9.8039186851e-9, 0 },
    { -7.1207296740e-14, -2.8040281559e-12, 2.1569397580e-12, -7.1936898413e-12, -3.0196069550e-11, 2.1568621107e-11,
      7.1936898413e-12, 3.0196069550e-11, -2.1568621107e-11 },
    { -4.698243135e-22, -1.8505932428e-20, 1.4235332637e-20, -1.5660763469e-16, -6.1686256367e-15, 4.7450966436e-15,
      1.5660763469e-16, 6.1686256367e-15, -4.7450966436e-15 },
    { 0, 0, 0, 0, 0, 0, 0, 0, 0 },
};

constexpr double kUndivided = 1020000.3;

} // namespace

KYM_TONESTAGE::KYM_TONESTAGE() noexcept
{
    stepFn = &KYM_TONESTAGE::step_null;
    for (double& c : rampedCoef)
        c = 0.0;
    bass = 0.5;
    treble = 0.5;
    fs = 176400.0;
    updatecoefficients();
    rampFactor = 0.001;
    for (double& st : section.s)
        st = 0.0;
}

void KYM_TONESTAGE::prototype(double x, double y, double (&D)[7], double (&N)[7]) noexcept
{
    // Each monomial is formed from the pot positions as written here
    // (x·y² = x·(y·y)) and each row is summed left to right: another grouping
    // rounds differently and moves the tone filter's coefficients.
    const double yy = y * y;
    const double xx = x * x;
    const double m[9] = { 1.0, y, yy, x, x * y, x * yy, xx, xx * y, xx * yy };
    for (int k = 0; k < 7; ++k)
    {
        double d = kD[k][0];
        double n = kN[k][0];
        for (int c = 1; c < 9; ++c)
        {
            d = d + kD[k][c] * m[c];
            n = n + kN[k][c] * m[c];
        }
        D[k] = d;
        N[k] = n;
    }
}

void KYM_TONESTAGE::updatecoefficients() noexcept
{
    constexpr auto m = bilinearTerms<6>();

    const double T = 1.0 / fs;
    Tpow[0] = T;
    for (int i = 1; i < 6; ++i)
        Tpow[i] = Tpow[i - 1] * T;

    C[0] = 2.2e-8;
    C[1] = 1e-7;
    C[2] = 1e-8;
    C[3] = 1e-8;
    C[4] = 3.3e-11;
    C[5] = 2.2e-8;
    C[6] = 2.2e-8;
    rTrebleA = (1.0 - treble) * 1e5 + 0.3;
    rTrebleB = treble * 1e5 + 0.3;
    rBassA = (1.0 - bass) * 1e5 + 0.3;
    rBassB = bass * 1e5 + 0.3;
    R[0] = 3300.0;
    R[1] = 1e6;
    R[2] = 1e4;
    R[3] = 1e4;
    R[4] = 1e4;

    double D[7];
    double N[7];
    prototype(bass, treble, D, N);

    // T^(6-k); T^0 = 1.
    const double Tk[7] = { Tpow[5], Tpow[4], Tpow[3], Tpow[2], Tpow[1], Tpow[0], 1.0 };

    // a_j = sum over k = 0..6 of 1020000.3·Dk·2^k·T^(6-k)·m(j, k): summed from
    // k = 0 up, each term multiplied left to right; b_j likewise with Nk.
    for (int j = 0; j <= 6; ++j)
    {
        double sa = 0.0;
        double sb = 0.0;
        double twoPow = 1.0;
        for (int k = 0; k <= 6; ++k)
        {
            sa = sa + kUndivided * D[k] * twoPow * Tk[k] * m[k][j];
            sb = sb + kUndivided * N[k] * twoPow * Tk[k] * m[k][j];
            twoPow = twoPow * 2.0;
        }
        targetCoef[j] = sa;
        targetCoef[7 + j] = sb;
    }

    stepFn = &KYM_TONESTAGE::step;
}

void KYM_TONESTAGE::step() noexcept
{
    if (std::fabs(rampedCoef[3] - targetCoef[3]) <= 1e-20 && std::fabs(rampedCoef[10] - targetCoef[10]) <= 1e-20)
    {
        stepFn = &KYM_TONESTAGE::step_null;
        return;
    }

    for (int i = 0; i < 14; ++i)
        rampedCoef[i] = rampedCoef[i] + (targetCoef[i] - rampedCoef[i]) * rampFactor;

    for (int i = 1; i <= 6; ++i)
        section.a[i] = rampedCoef[i] / rampedCoef[0];
    for (int i = 0; i <= 6; ++i)
        section.b[i] = rampedCoef[7 + i] / rampedCoef[0];
}

void KYM_TONESTAGE::step_null() noexcept {}

// The section's states are sums of its coefficients times past samples, in
// units of the set normalised by a0. The unnormalised coefficients are
// polynomials in the pot positions, smooth all along their travel, whereas
// a0 is not: near the top of Bass, where a pot leg of 0.3 ohm puts a pole
// and a zero far above the audio band, a0 changes tenfold within the last
// percent of travel. States kept as they stand would meet a new set in
// other units, and the section would burst; kept in the unnormalised units
// (scaled by old a0 / new a0), the section runs on as the network does.
// The old a0 is the target's: during a glide the section runs with its
// target set, or ramps from zero to it.
void KYM_TONESTAGE::takeCoefficients() noexcept
{
    const double previousA0 = targetCoef[0];
    updatecoefficients();
    runWithTarget(previousA0, false);
}

void KYM_TONESTAGE::followCoefficients() noexcept
{
    // Each unnormalised coefficient is a fixed combination of the nine
    // monomials of the pot positions, for a given rate: the prototype's table
    // carried through the transform once per rate.
    if (glideWeightsFs != fs)
    {
        constexpr auto m = bilinearTerms<6>();
        const double T = 1.0 / fs;
        double TkPow[7];
        double Tk = 1.0;
        for (int k = 6; k >= 0; --k)
        {
            TkPow[k] = Tk; // T^(6-k)
            Tk = Tk * T;
        }
        for (int c = 0; c < 9; ++c)
            for (int j = 0; j <= 6; ++j)
            {
                double sa = 0.0;
                double sb = 0.0;
                double twoPow = 1.0;
                for (int k = 0; k <= 6; ++k)
                {
                    const double w = kUndivided * twoPow * TkPow[k] * m[k][j];
                    sa = sa + kD[k][c] * w;
                    sb = sb + kN[k][c] * w;
                    twoPow = twoPow * 2.0;
                }
                glideWeights[c][j] = sa;
                glideWeights[c][7 + j] = sb;
            }
        glideWeightsFs = fs;
    }

    const double x = bass;
    const double y = treble;
    const double yy = y * y;
    const double xx = x * x;
    const double monomial[9] = { 1.0, y, yy, x, x * y, x * yy, xx, xx * y, xx * yy };
    const double previousA0 = targetCoef[0];
    double coef[14] = {};
    for (int c = 0; c < 9; ++c)
        for (int j = 0; j < 14; ++j)
            coef[j] = coef[j] + glideWeights[c][j] * monomial[c];
    for (int j = 0; j < 14; ++j)
        targetCoef[j] = coef[j];
    runWithTarget(previousA0, true);
}

void KYM_TONESTAGE::runWithTarget(double previousA0, bool byReciprocal) noexcept
{
    const double scale = previousA0 / targetCoef[0];
    for (int i = 0; i < 6; ++i)
        section.s[i] = section.s[i] * scale;

    for (int i = 0; i < 14; ++i)
        rampedCoef[i] = targetCoef[i];
    if (byReciprocal)
    {
        const double r = 1.0 / rampedCoef[0];
        for (int i = 1; i <= 6; ++i)
            section.a[i] = rampedCoef[i] * r;
        for (int i = 0; i <= 6; ++i)
            section.b[i] = rampedCoef[7 + i] * r;
    }
    else
    {
        for (int i = 1; i <= 6; ++i)
            section.a[i] = rampedCoef[i] / rampedCoef[0];
        for (int i = 0; i <= 6; ++i)
            section.b[i] = rampedCoef[7 + i] / rampedCoef[0];
    }
    stepFn = &KYM_TONESTAGE::step_null;
}

void KYM_TONESTAGE::rampFromZero() noexcept
{
    for (double& c : rampedCoef)
        c = 0.0;
    stepFn = &KYM_TONESTAGE::step;
}
