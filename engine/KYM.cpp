#include "engine/KYM.h"

#include "engine/BlockVariants.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <iterator>

namespace
{

// The three RC high-passes: each a 1 uF capacitor into the resistance that
// puts its corner at fc, R = 1/(2·pi·fc·C), stored as the double that formula
// gives. Input: at the head of the chain, its output also the dry tap.
// Output: after the level stage. Final: after the tone stage.
constexpr double kCouplingC = 1e-6;
constexpr double kInputHighpassFc = 7.162;
constexpr double kInputHighpassR = 22222.13670649195;
constexpr double kOutputHighpassFc = 15.0;
constexpr double kOutputHighpassR = 10610.32953945969;
constexpr double kFinalHighpassFc = 13.386;
constexpr double kFinalHighpassR = 11889.6565883681;

constexpr double cornerResistance(double fc) noexcept
{
    return 1.0 / (2.0 * M_PI * fc * kCouplingC);
}
static_assert(kInputHighpassR == cornerResistance(kInputHighpassFc), "R of the input corner");
static_assert(kOutputHighpassR == cornerResistance(kOutputHighpassFc), "R of the output corner");
static_assert(kFinalHighpassR == cornerResistance(kFinalHighpassFc), "R of the final corner");

// The Level pot's log (audio) taper, the rational law p / (1 + b·(1 - p))
// written out as p / (-b·p + (b + 1)): 0 at 0, 1 at full travel and, with b
// within 2e-9 of 2·(0.5/0.095 - 1), 9.5 % of full level at half travel.
constexpr double kLevelTaperB = 8.526315791;
constexpr double kLevelTaperB1 = 9.526315791; // b + 1

template <int N, int NR, int NC>
void setComponents(DFI<N>& net, const double (&r)[NR], const double (&c)[NC]) noexcept
{
    static_assert(NR <= 5 && NC <= 5, "DFI keeps at most five of each");
    for (int i = 0; i < NR; ++i)
        net.R[i] = r[i];
    for (int i = 0; i < NC; ++i)
        net.C[i] = c[i];
}

} // namespace

KYM::KYM()
{
    setComponents(inputNetwork, { 2200.0, 22000.0, 100000.0, 100000.0 }, { 2.2e-8, 2.2e-8, 2.2e-8, 2.2e-8 });
    setComponents(firstNetwork, { 22000.0, 10000.0, 10000.0, 22000.0, 22000.0 }, { 1e-8, 4.7e-8, 4.7e-10 });
    setComponents(secondNetwork, { 6200.0, 33000.0, 22000.0, 39000.0 }, { 1e-9, 4.7e-8, 2.2e-8, 2.2e-9, 2.2e-9 });

    slots[Slot::level].logTaper = 1;

    setParameterSlot(Slot::inputScale, 1.0);
    setParameterSlot(Slot::level, 0.5);
    setParameterSlot(Slot::bass, 0.5);
    setParameterSlot(Slot::treble, 0.5);
    setParameterSlot(Slot::presence, 0.5);
    setParameterSlot(Slot::blend, 0.0);
    setParameterSlot(Slot::drive, 0.5);

    setSimdLevel(libqor::dsp::bestSimdLevel());
}

void KYM::setParameterSlot(int index, double position) noexcept
{
    if (index < 0 || index >= Slot::count)
        return;

    ParamSlot& slot = slots[index];
    const double old = slot.value;
    slot.value = position;
    if (slot.segTaper)
    {
        slot.value = position < 0.5 ? 0.2 * position : 1.8 * position + (-0.8);
    }
    else if (slot.logTaper)
    {
        double p = position;
        if (p < 0.0)
            p = 0.0;
        else if (p > 1.0)
            p = 1.0;
        slot.value = p / (-kLevelTaperB * p + kLevelTaperB1);
    }

    if (std::fabs(slot.value - old) > 1e-9)
        slot.changed = 1;
}

void KYM::updateBlend() noexcept
{
    blend.update(slots[Slot::blend].value, slots[Slot::level].value, fs);
}

void KYM::updateTonestage(bool take) noexcept
{
    tonestage.fs = fs;
    tonestage.bass = slots[Slot::bass].value;
    tonestage.treble = slots[Slot::treble].value;
    if (take)
        tonestage.takeCoefficients();
    else
        tonestage.updatecoefficients();
}

void KYM::applyChanges(bool withTone) noexcept
{
    // Pairs share a stage: the second flag is read only when the first was
    // clear, so when both are set the next call recomputes once more.
    bool blendChanged = slots[Slot::blend].changed != 0;
    slots[Slot::blend].changed = 0;
    if (!blendChanged)
    {
        blendChanged = slots[Slot::level].changed != 0;
        slots[Slot::level].changed = 0;
    }
    if (blendChanged)
        updateBlend();

    if (slots[Slot::drive].changed)
    {
        slots[Slot::drive].changed = 0;
        drive.init(fs, slots[Slot::drive].value);
    }

    if (slots[Slot::presence].changed)
    {
        slots[Slot::presence].changed = 0;
        presence.init(fs, slots[Slot::presence].value);
    }

    if (!withTone)
        return;
    bool toneChanged = slots[Slot::bass].changed != 0;
    slots[Slot::bass].changed = 0;
    if (!toneChanged)
    {
        toneChanged = slots[Slot::treble].changed != 0;
        slots[Slot::treble].changed = 0;
    }
    if (toneChanged)
        updateTonestage(false);
}

void KYM::updateParameters() noexcept
{
    applyChanges(true);
}

void KYM::followParameters() noexcept
{
    applyChanges(false);
}

void KYM::settleSlot(int index, double position) noexcept
{
    setParameterSlot(index, position);
    switch (index)
    {
    case Slot::level:
    case Slot::blend:
        slots[Slot::level].changed = 0;
        slots[Slot::blend].changed = 0;
        updateBlend();
        break;
    case Slot::drive:
        slots[Slot::drive].changed = 0;
        drive.init(fs, slots[Slot::drive].value);
        break;
    case Slot::presence:
        slots[Slot::presence].changed = 0;
        presence.init(fs, slots[Slot::presence].value);
        break;
    case Slot::bass:
    case Slot::treble:
        slots[Slot::bass].changed = 0;
        slots[Slot::treble].changed = 0;
        updateTonestage(true); // the states for this set
        tonestage.rampFromZero();
        break;
    default:
        break;
    }
}

void KYM::glideTone(int index, double position, int steps, int stepSamples) noexcept
{
    if (index != Slot::bass && index != Slot::treble)
        return;
    libqor::dsp::ControlGlide& glide = index == Slot::bass ? bassGlide : trebleGlide;
    if (!glide.moving())
    {
        if (position == slots[index].value)
            return;
        glide.jumpTo(slots[index].value); // the pot has no taper: its slot is its position
    }
    glide.glideTo(position, steps);
    toneStepSamples = std::max(1, stepSamples);
    toneStepCountdown = 0; // the first step before the next sample
}

void KYM::toneGlideStep() noexcept
{
    if (!toneGliding())
        return;
    for (auto* glide : { &bassGlide, &trebleGlide })
        if (glide->moving())
        {
            const double position = glide->advance();
            setParameterSlot(glide == &bassGlide ? Slot::bass : Slot::treble, position);
        }
    if (toneGliding())
    {
        slots[Slot::bass].changed = 0;
        slots[Slot::treble].changed = 0;
        tonestage.fs = fs;
        tonestage.bass = slots[Slot::bass].value;
        tonestage.treble = slots[Slot::treble].value;
        tonestage.followCoefficients();
    }
    else
        settleSlot(Slot::bass, slots[Slot::bass].value);
}

void KYM::finishToneGlide() noexcept
{
    if (!toneGliding())
        return;
    // A pot at rest keeps its slot: its glide's last target may be older
    // than a value written at once since.
    for (auto* glide : { &bassGlide, &trebleGlide })
        if (glide->moving())
        {
            glide->jumpTo(glide->target());
            setParameterSlot(glide == &bassGlide ? Slot::bass : Slot::treble, glide->position());
        }
    settleSlot(Slot::bass, slots[Slot::bass].value);
}

void KYM::updateSamplerate(double rate) noexcept
{
    fs = rate;

    inputHighpass.init(fs, kInputHighpassFc, kInputHighpassR);
    outputHighpass.init(fs, kOutputHighpassFc, kOutputHighpassR);
    finalHighpass.init(fs, kFinalHighpassFc, kFinalHighpassR);

    updateBlend();

    drive.init(fs, slots[Slot::drive].value);
    presence.init(fs, slots[Slot::presence].value);

    updateTonestage(false);

    inputNetwork.setup(fs, inputNetworkD, inputNetworkN);
    firstNetwork.setup(fs, firstNetworkD, firstNetworkN);
    secondNetwork.setup(fs, secondNetworkD, secondNetworkN);
}

void KYM::reset() noexcept
{
    for (KYM_HIGHPASS* h : { &inputHighpass, &outputHighpass, &finalHighpass })
    {
        h->x = 0.0;
        h->y = 0.0;
        h->st = 0.0;
    }

    blend.out = 0.0;
    blend.v = 0.0;
    blend.st = 0.0;

    std::fill(std::begin(inputNetwork.x), std::end(inputNetwork.x), 0.0);
    std::fill(std::begin(inputNetwork.y), std::end(inputNetwork.y), 0.0);
    std::fill(std::begin(firstNetwork.x), std::end(firstNetwork.x), 0.0);
    std::fill(std::begin(firstNetwork.y), std::end(firstNetwork.y), 0.0);
    std::fill(std::begin(secondNetwork.x), std::end(secondNetwork.x), 0.0);
    std::fill(std::begin(secondNetwork.y), std::end(secondNetwork.y), 0.0);

    presence.in = presence.fb = presence.out = presence.leg = presence.core = 0.0;
    presence.s1 = presence.s2 = presence.s3 = 0.0;
    drive.in = drive.fb = drive.out = drive.leg = drive.core = 0.0;
    drive.s1 = drive.s2 = drive.s3 = 0.0;

    // A ramp from zero keeps the ratios of the target set from its first
    // step, as after construction, so the section runs at once with the
    // coefficients of the present rate and pots.
    tonestage.rampFromZero();
    std::fill(std::begin(tonestage.section.s), std::end(tonestage.section.s), 0.0);

    current = 0.0;
    dry = 0.0;
}

double KYM::processSample(double s) noexcept
{
    const double x = s * slots[Slot::inputScale].value + 1e-25;
    const double y1 = inputHighpass.process(x);
    dry = y1;
    const double u = inputNetwork.process(y1);
    const double p = presence.process(u);
    const double d = drive.process(p);
    const double w1 = firstNetwork.process(d);
    const double W = secondNetwork.process(w1);
    const double out = blend.process(dry, W);
    const double o = out * blend.level * 2.2 + 1e-25; // the output stage's fixed gain of 2.2 after the Level pot
    current = outputHighpass.process(o);

    (tonestage.*tonestage.stepFn)();
    current = current + 1e-25;
    (tonestage.section.*tonestage.section.processFn)(current);

    const double f = finalHighpass.process(current + 1e-25);
    return 0.0 - f;
}

namespace
{

void referenceBlock(KYM& engine, double* samples, int n, bool toneGlides) noexcept
{
    if (!toneGlides)
    {
        for (int i = 0; i < n; ++i)
            samples[i] = engine.processSample(samples[i]);
        return;
    }
    for (int i = 0; i < n; ++i)
    {
        if (engine.toneStepCountdown == 0)
        {
            engine.toneGlideStep();
            engine.toneStepCountdown = engine.toneStepSamples;
        }
        --engine.toneStepCountdown;
        samples[i] = engine.processSample(samples[i]);
    }
}

} // namespace

void KYM::processBlock(double* samples, int n) noexcept
{
    blockFn(*this, samples, n, toneGliding());
}

libqor::dsp::SimdLevel KYM::setSimdLevel(libqor::dsp::SimdLevel level) noexcept
{
    using libqor::dsp::SimdLevel;
    blockvariants::BlockFn fn = nullptr;
    switch (level)
    {
    case SimdLevel::reference:
        fn = &referenceBlock;
        break;
#if QOR_ENGINE_BLOCK_VARIANTS
    case SimdLevel::sse2:
        fn = &blockvariants::sse2;
        break;
    case SimdLevel::avx2:
        fn = &blockvariants::avx2;
        break;
    case SimdLevel::avx512:
        fn = &blockvariants::avx512;
        break;
#endif
    default:
        break;
    }
    if (fn != nullptr && libqor::dsp::simdLevelSupported(level))
    {
        blockFn = fn;
        blockLevel = level;
    }
    else if (blockFn == nullptr)
    {
        blockFn = &referenceBlock;
        blockLevel = SimdLevel::reference;
    }
    return blockLevel;
}
