#pragma once

// One-pole RC high-pass sRC/(1 + sRC), backward Euler.
struct KYM_HIGHPASS
{
    // Rate set-up. x and y are kept, so st carries the capacitor voltage
    // across a rate change.
    void init(double fs, double cornerHz, double resistance) noexcept
    {
        T = 1.0 / fs;
        fc = cornerHz;
        C = 1e-6; // 1 uF, as in every one of the engine's high-passes
        G = 1e-6 / T;
        R = resistance;
        k = 1.0 / (R * G + 1.0);
        st = (x - y) * G;
    }

    double process(double in) noexcept
    {
        x = in;
        y = (x * G - st) * R * k;
        st = (x - y) * G;
        return y;
    }

    double fc = 0.0; // Hz
    double y = 0.0;  // last output
    double x = 0.0;  // last input
    double R = 0.0;  // ohm
    double C = 0.0;  // farad
    double G = 0.0;  // C * fs
    double st = 0.0; // G times the last capacitor voltage
    double T = 0.0;  // 1 / fs
    double k = 0.0;  // 1 / (R*G + 1)
};
