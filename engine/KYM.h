#pragma once

#include "engine/DFI.h"
#include "engine/KYM_BLEND.h"
#include "engine/KYM_HIGHPASS.h"
#include "engine/KYM_TONESTAGE.h"
#include "engine/OpampStage.h"
#include "libqor/dsp/ControlGlide.h"
#include "libqor/dsp/SimdLevel.h"

#include <cstdint>

// A control position as the engine holds it, after its taper.
struct ParamSlot
{
    double value = 0.0;
    uint8_t changed = 0;
    uint8_t segTaper = 0;
    uint8_t logTaper = 0;
};

// The overdrive circuit model, run one oversampled sample at a time.
//
// After construction call updateSamplerate(rate) and then updateParameters()
// before processing. Not thread-safe: every call after that belongs to the
// audio thread.
class KYM
{
public:
    // The control slots, by what each one sets in the circuit. Plain
    // enumerators inside a struct: they index slots as they are, and do not
    // clash with the stages of the same names.
    struct Slot
    {
        enum : int
        {
            inputScale, // scales the chain's input; stays 1.0
            level,      // output level, with the log taper
            bass,       // tone stage, Bass pot
            treble,     // tone stage, Treble pot
            drive,      // drive stage's gain pot
            presence,   // presence stage's gain pot
            blend,      // blend pot between the dry tap and the driven signal
            count
        };
    };

    KYM(); // the op-amp stages allocate their tables: may throw std::bad_alloc

    // Stores position (after the slot's taper) and raises the slot's changed
    // flag when the value moved by more than 1e-9. Indices outside the slots are ignored.
    void setParameterSlot(int index, double position) noexcept;
    // Consumes the changed flags and recomputes the stages they belong to.
    void updateParameters() noexcept;
    // The same for one step of a glide (controls moving while audio plays),
    // but for the tone stage: the tone pots glide on their own (glideTone),
    // and their flags wait for updateParameters.
    void followParameters() noexcept;
    // Ends a slot's glide at position: the slot's stage is recomputed as a
    // newly started engine computes it (the tone stage ramping from zero), so
    // that where the engine comes to rest depends on the settings alone, not
    // on the path that led there. Both flags of the stage's pair are cleared.
    void settleSlot(int index, double position) noexcept;

    // The tone pots' glide (slots bass and treble). The block paths step it
    // every toneStepSamples samples, more finely than a host block could be
    // cut: each step is a new coefficient set, and the section's states are
    // only carried well from one set to the next when the two are close.
    // glideTone starts it, or takes up a new target on the way; it lands in
    // settleSlot's state. finishToneGlide jumps to the targets (a restart).
    void glideTone(int index, double position, int steps, int stepSamples) noexcept;
    bool toneGliding() const noexcept { return bassGlide.moving() || trebleGlide.moving(); }
    void toneGlideStep() noexcept;
    void finishToneGlide() noexcept;
    // Recomputes everything that depends on the (oversampled) rate.
    void updateSamplerate(double rate) noexcept;
    // One sample through the whole chain; the result is already polarity-inverted.
    double processSample(double s) noexcept;
    // Clears every signal history, as a newly built engine has them, and lets
    // the tone section start again from its present coefficients; the rate
    // and the control positions stay.
    void reset() noexcept;

    // The chain over n samples in place: the same outputs and final state,
    // to the bit, as processSample on each sample in turn. Controls and rate
    // may change between calls; n <= 0 does nothing.
    void processBlock(double* samples, int n) noexcept;
    // Which build of processBlock runs: reference is the loop over
    // processSample. Construction picks bestSimdLevel(). A level this
    // processor cannot run is refused and the current one stays; returns the
    // level in use.
    libqor::dsp::SimdLevel setSimdLevel(libqor::dsp::SimdLevel level) noexcept;
    libqor::dsp::SimdLevel simdLevel() const noexcept { return blockLevel; }

    // Analogue prototypes of the fixed networks, ascending powers of s, D(0) = 1.
    static constexpr double inputNetworkD[5] = { 1.0, 7.6648e-3, 1.08731568e-5, 3.17182624e-9, 1.13379904e-13 };
    static constexpr double inputNetworkN[5] = { 0.0, 2.2e-3, 2.34256e-6, 1.5460896e-10, 1.13379904e-13 };
    static constexpr double firstNetworkD[4] = { 1.0, 1.85103625e-3, 2.8256635e-8, 1.40326725e-12 };
    static constexpr double firstNetworkN[4] = { 0.6875, 3.23125e-4, 0.0, 0.0 };
    static constexpr double secondNetworkD[4] = { 1.0, 1.5558e-3, 2.556988e-7, 1.01547072e-11 };
    static constexpr double secondNetworkN[4] = { 1.0, 4.278e-4, 1.410376e-7, 0.0 };

    ParamSlot slots[Slot::count];
    KYM_HIGHPASS inputHighpass; // its output is also the dry tap
    KYM_HIGHPASS outputHighpass;
    KYM_HIGHPASS finalHighpass;
    KYM_BLEND blend;
    DFI<4> inputNetwork;
    DFI<3> firstNetwork;
    DFI<3> secondNetwork;
    KYM_PRESENCE presence;
    KYM_DRIVE drive; // declared after presence so its table is released first
    KYM_TONESTAGE tonestage;
    double fs = 0.0;      // oversampled rate
    double current = 0.0; // running sample; the tone section works on it in place
    double dry = 0.0;     // dry tap of the current sample
    libqor::dsp::ControlGlide bassGlide;
    libqor::dsp::ControlGlide trebleGlide;
    int toneStepSamples = 16;
    int toneStepCountdown = 0; // samples until the glide's next step

private:
    void updateBlend() noexcept;
    // take: the tone stage takes the new set at once (a glide's step);
    // otherwise it ramps to it.
    void updateTonestage(bool take) noexcept;
    void applyChanges(bool withTone) noexcept;

    void (*blockFn)(KYM&, double*, int, bool) noexcept = nullptr;
    libqor::dsp::SimdLevel blockLevel = libqor::dsp::SimdLevel::reference;
};
