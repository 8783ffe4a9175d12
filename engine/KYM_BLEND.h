#pragma once

// Blend network and output level: a 100k pot (R1 | R2, wiper = output node)
// between the dry tap and the driven signal, which arrives through C; R3 to
// ground. C uses the trapezoidal companion model.
struct KYM_BLEND
{
    // The coupling capacitor, 47 nF as the double 47 * 1e-9 (one ulp above
    // 4.7e-8), and twice it, the trapezoidal companion's 2·C that G = 2·C·fs
    // divides by the step T = 1/fs.
    static constexpr double capacitance = 4.7000000000000004e-08;
    static constexpr double twiceCapacitance = 9.400000000000001e-08;
    static_assert(capacitance == 47 * 1e-9 && twiceCapacitance == 2 * capacitance, "47 nF and 2·C");

    // st is left alone so a control or rate change does not click.
    void update(double blendPosition, double levelValue, double fs) noexcept
    {
        level = levelValue;
        C = capacitance;
        R1 = (1.0 - blendPosition) * 100000.0; // the 100k Blend pot's two legs
        R2 = blendPosition * 100000.0;
        R3 = 100000.0;
        G = twiceCapacitance / (1.0 / fs);
    }

    // D: dry tap, W: driven signal. Returns the output node.
    double process(double D, double W) noexcept
    {
        out = (D * G * R2 + R1 * G * W + R1 * st + D) * R3 / (R1 * R2 * G + R3 * R1 * G + R3 * R2 * G + R3 + R1);
        v = ((W * G + st) * R2 + out) / (G * R2 + 1.0);
        st = (v - W) * 2.0 * G - st;
        return out;
    }

    double out = 0.0;   // output node
    double v = 0.0;     // inner node
    double R1 = 0.0;    // ohm, dry leg
    double R2 = 0.0;    // ohm, leg to the inner node
    double R3 = 0.0;    // ohm, to ground
    double C = 0.0;     // farad
    double G = 0.0;     // 2*C*fs
    double st = 0.0;    // companion source of C
    double level = 0.0; // copy of the level slot
};
