#include "plugin/KymAudioProcessor.h"
#include "plugin/KymAudioProcessorEditor.h"
#include "plugin/KymParameterTable.h"
#include "plugin/KymStateRecord.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <limits>

#if defined(__SSE__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace
{

constexpr int slotKey = 593953;

// Bit mask instead of a test: any finite sample passes with its bits intact,
// Inf and NaN become 0.
inline float finiteOrZero(float sample) noexcept
{
    uint32_t bits;
    std::memcpy(&bits, &sample, sizeof(bits));
    const uint32_t finite = static_cast<uint32_t>((bits & 0x7f800000u) != 0x7f800000u);
    bits &= 0u - finite;
    std::memcpy(&sample, &bits, sizeof(bits));
    return sample;
}

// A finite sample beyond 60 dB over full scale is a host fault, not a signal.
// Held there, it can neither drive the linear dry path past float's range nor
// leave the filters ringing with it for long; real signals, hot ones
// included, never reach it.
constexpr float maxInputSample = 1000.0f;

// The lowest host rate taken up; down to it the engine, at 16 kHz or more,
// keeps its response at 1 kHz within a fraction of a dB of that at 48 kHz.
constexpr double minHostRate = 8000.0;

// The highest rate the engine runs at. From about 0.55 MHz, rounding in the
// tone stage's sixth-order section leaves a pole outside the unit circle for
// some pot positions (at 705.6 kHz, Low 8 and High 6.5 already), and the
// output grows without bound; up to 384 kHz every position holds.
constexpr double maxEngineRate = 384000.0;

bool isUsableHostRate(double rate) noexcept
{
    return rate >= minHostRate && rate <= maxEngineRate; // false for NaN
}

// The Quality's factor, halved until the engine's rate stays within range.
int factorForRate(double qualityFactor, double hostRate) noexcept
{
    int factor = qualityFactor >= 4.0 ? 4 : 2;
    while (factor > 1 && hostRate * factor > maxEngineRate)
        factor /= 2;
    return factor;
}

// The smallest double that rounds to float infinity (half an ulp above
// FLT_MAX); every sample below it in magnitude converts to a finite float.
constexpr double floatOverflow = 0x1.ffffffp127;

// The engine slot each parameter sets (its value over 10), or -1 for those
// the processor keeps itself.
constexpr auto engineSlotOf = [] {
    std::array<int, kym::parameterCount> slot {};
    for (int& s : slot)
        s = -1;
    slot[kym::levelIndex] = KYM::Slot::level;
    slot[kym::driveIndex] = KYM::Slot::drive;
    slot[kym::lowIndex] = KYM::Slot::bass;
    slot[kym::highIndex] = KYM::Slot::treble;
    slot[kym::presenceIndex] = KYM::Slot::presence;
    slot[kym::blendIndex] = KYM::Slot::blend;
    return slot;
}();

// How long the input takes to rise when the circuit restarts from clear
// histories with signal arriving: long against the input network's corners,
// short enough not to be heard as a swell.
constexpr double fadeInSeconds = 0.02;

} // namespace

void Job::operator()() const noexcept
{
    processor->runParameterJob(parameter);
}

KymAudioProcessor::ConstructionCsr::ConstructionCsr() noexcept
{
#if defined(__SSE__) || defined(_M_X64)
    saved = _mm_getcsr();
    pending = true;
#endif
}

KymAudioProcessor::ConstructionCsr::~ConstructionCsr()
{
    restore();
}

void KymAudioProcessor::ConstructionCsr::restore() noexcept
{
#if defined(__SSE__) || defined(_M_X64)
    if (pending)
        _mm_setcsr(saved);
#endif
    pending = false;
}

// Buses active by default: hosts may leave an optional bus unconnected (LV2
// marks the ports of an inactive one connectionOptional), and the wrappers
// then read and write null buffers. The wrappers replace this layout with the
// first of JucePlugin_PreferredChannelConfigurations and offer only those.
KymAudioProcessor::KymAudioProcessor()
    : juce::AudioProcessor(BusesProperties()
                               .withInput("Input", juce::AudioChannelSet::stereo(), true)
                               .withOutput("Output", juce::AudioChannelSet::stereo(), true))
{
    inputBuffer = std::make_unique<libqor::StereoSampleBuffer<double>>(maxBlockSize);
    oversampledBuffer = std::make_unique<libqor::StereoSampleBuffer<double>>(maxBlockSize * 8);
    outputBuffer = std::make_unique<libqor::StereoSampleBuffer<double>>(maxBlockSize);

    for (int i = 0; i < kym::parameterCount; ++i)
    {
        auto* slot = automationSlots.add(new libqor::AutomatableParameter(i + 1));
        slot->onChange = [this](int index, float value) { sendParamChangeMessage(index, value); };
        parameters.add(new libqor::Parameter());
    }

    for (int i = 0; i < kym::parameterCount; ++i)
    {
        const auto& row = kym::parameterTable[i];
        auto* parameter = parameters[i];
        switch (row.kind)
        {
        case kym::ParameterKind::continuous:
            parameter->InitDouble(row.id, row.name, row.defaultValue, row.minValue, row.maxValue, row.interval,
                                  juce::String(), 1.0);
            break;
        case kym::ParameterKind::toggle:
            parameter->InitBool(row.id, row.name, juce::String());
            parameter->SetDisplayText(0, "off");
            parameter->SetDisplayText(1, "on");
            break;
        case kym::ParameterKind::integer:
            parameter->InitInt(row.id, row.name, static_cast<int>(row.minValue), static_cast<int>(row.maxValue),
                               static_cast<int>(row.defaultValue), juce::String());
            break;
        }
    }

    // The engine starts at the parameters' defaults.
    glides[kym::inputIndex].jumpTo(inputGain);
    for (int i = kym::inputIndex + 1; i < glidingCount; ++i)
        glides[i].jumpTo(kym::parameterTable[i].defaultValue / 10.0);

    sampler.setFactor(static_cast<int>(oversamplingFactor + 0.5));
    engine.updateSamplerate(currentSampleRate * oversamplingFactor);
    engine.updateParameters();

    // From addParameter on the framework owns a slot; if anything below
    // throws, the slots it already owns must leave this array undeleted.
    int handedOver = 0;
    try
    {
        for (int i = 0; i < kym::parameterCount; ++i)
        {
            parameters[i]->AddObserver(this);
            addParameter(automationSlots[i]);
            ++handedOver;
            automationSlots[i]->ConnectTo(parameters[i], slotKey);
        }
    }
    catch (...)
    {
        for (int i = handedOver; --i >= 0;)
            automationSlots.removeObject(automationSlots[i], false);
        throw;
    }

    // The constructing thread gets back the MXCSR it had before the members
    // were built (if the body throws, the member's destructor does this).
    constructionCsr.restore();
}

KymAudioProcessor::~KymAudioProcessor()
{
    automationSlots.clear(false);
    // The members then go in reverse order: queue (unrun jobs and all),
    // parameters last first, engine, sampler, then the buffers.
}

const juce::String KymAudioProcessor::getName() const
{
    return "QOR KYM v2";
}

void KymAudioProcessor::prepareToPlay(double, int) {}

void KymAudioProcessor::releaseResources() {}

const juce::String KymAudioProcessor::getInputChannelName(int channelIndex) const
{
    if (channelIndex == 0)
        return "Left";
    if (channelIndex == 1)
        return "Right";
    return juce::String(channelIndex + 1);
}

const juce::String KymAudioProcessor::getOutputChannelName(int channelIndex) const
{
    return getInputChannelName(channelIndex);
}

bool KymAudioProcessor::isInputChannelStereoPair(int) const
{
    return true;
}
bool KymAudioProcessor::isOutputChannelStereoPair(int) const
{
    return true;
}
bool KymAudioProcessor::silenceInProducesSilenceOut() const
{
    return false;
}
double KymAudioProcessor::getTailLengthSeconds() const
{
    return 0.0;
}
bool KymAudioProcessor::acceptsMidi() const
{
    return false;
}
bool KymAudioProcessor::producesMidi() const
{
    return false;
}

juce::AudioProcessorEditor* KymAudioProcessor::createEditor()
{
    auto* editor = new KymAudioProcessorEditor(*this);
    editor->loadParamsFromProcessor();
    return editor;
}

bool KymAudioProcessor::hasEditor() const
{
    return true;
}

int KymAudioProcessor::getNumPrograms()
{
    return 1;
}
int KymAudioProcessor::getCurrentProgram()
{
    return 0;
}
void KymAudioProcessor::setCurrentProgram(int) {}
const juce::String KymAudioProcessor::getProgramName(int)
{
    return {};
}
void KymAudioProcessor::changeProgramName(int, const juce::String&) {}

//==============================================================================
// Jobs

void KymAudioProcessor::notifyParamChange(libqor::Parameter* parameter)
{
    parameterCheck(parameter);
}

void KymAudioProcessor::parameterCheck(libqor::Parameter* parameter)
{
    if (parameter == nullptr)
        return;
    // A job reads the value when it runs, so one waiting job per parameter
    // carries every change made before it runs. (A parameter that is not one
    // of ours changes nothing, whatever its jobs.)
    const int index = parameters.indexOf(parameter);
    if (index < 0 || !jobWaiting[index].exchange(true, std::memory_order_acq_rel))
        post(Job::forParameter(this, parameter));
    // The new value is already stored, so an open editor can show it now:
    // with the transport stopped no job runs to ask for the refresh.
    requestEditorRefresh();
}

void KymAudioProcessor::post(const Job& job) noexcept
{
    messageQueue.post(job);
}

void KymAudioProcessor::runPendingJobs() noexcept
{
    // The thread that drains is the audio thread from here on: its own posts
    // (a wrapper's parameter changes during playback) no longer take the lock.
    messageQueue.beginDrain();
    Job job;
    while (messageQueue.try_dequeue(job))
        job();
}

void KymAudioProcessor::runParameterJob(libqor::Parameter* parameter) noexcept
{
    // A parameter that is not one of ours (indexOf gives -1) changes nothing.
    const int index = parameters.indexOf(parameter);
    // Lowered before the value is read, so a change stored after the read
    // posts a job of its own; the exchange pairs with the poster's.
    if (index >= 0)
        jobWaiting[index].exchange(false, std::memory_order_acq_rel);
    const double v = parameter->value.load(std::memory_order_relaxed);

    if (index == kym::inputIndex)
        moveControl(index, v);
    else if (index == kym::bypassIndex)
    {
        bypass = v >= 0.5;
        // The circuit stands still from here and restarts afterwards: a
        // glide under way ends now.
        if (bypass)
            finishGlides();
    }
    else if (index == kym::qualityIndex)
    {
        // Truncation in double: no float-to-int conversion that a stray value could make undefined.
        // The recheck of the same block gives the sampler and the engine the
        // new factor together.
        oversamplingFactor = std::trunc(v + 0.5) <= 0.0 ? 2.0 : 4.0;
        audioInfoDirty = true;
    }
    else if (index >= 0 && index < kym::parameterCount && engineSlotOf[index] >= 0)
        moveControl(index, v / 10.0);

    engine.updateParameters();
    // With no signal in the circuit yet, the tone stage starts its ramp from
    // zero as a new one does, whatever silence it has run through: where it
    // comes to rest then depends on the settings alone.
    if (!signalHeard && engine.tonestage.stepFn == &KYM_TONESTAGE::step)
        engine.tonestage.rampFromZero();
    requestEditorRefresh();
}

//==============================================================================
// Glides

bool KymAudioProcessor::isTonePot(int index) noexcept
{
    return index == kym::lowIndex || index == kym::highIndex;
}

void KymAudioProcessor::setControl(int index, double position) noexcept
{
    if (index == kym::inputIndex)
        inputGain = position;
    else
        engine.setParameterSlot(engineSlotOf[index], position);
}

void KymAudioProcessor::moveControl(int index, double position) noexcept
{
    // Before the input has carried any signal (a host that restores a session
    // after its first, silent cycles included), and while the block is passed
    // through (a restart from clear histories follows), there is nothing to
    // glide over.
    if (!signalHeard || bypass || restartDue)
    {
        if (isTonePot(index))
            engine.finishToneGlide();
        glides[index].jumpTo(position);
        setControl(index, position);
        return;
    }
    if (isTonePot(index))
    {
        engine.glideTone(engineSlotOf[index], position, glideSteps(index, currentSampleRate),
                         toneStepFrames * sampler.factor);
        return;
    }
    libqor::dsp::ControlGlide& glide = glides[index];
    if (!glide.moving() && position == glide.position())
        return;
    glide.glideTo(position, glideSteps(index, currentSampleRate));
    glideFramesLeft = 0; // the first step with the next frame
}

int KymAudioProcessor::glideSteps(int index, double hostRate) noexcept
{
    const double steps = isTonePot(index) ? std::round(toneGlideSeconds * hostRate / toneStepFrames)
                                          : std::round(glideSeconds * hostRate / glideStepFrames);
    return static_cast<int>(std::max(1.0, steps));
}

bool KymAudioProcessor::ownGlidesMoving() const noexcept
{
    for (const libqor::dsp::ControlGlide& glide : glides)
        if (glide.moving())
            return true;
    return false;
}

bool KymAudioProcessor::glidesMoving() const noexcept
{
    return ownGlidesMoving() || engine.toneGliding();
}

void KymAudioProcessor::stepInputGlide() noexcept
{
    libqor::dsp::ControlGlide& glide = glides[kym::inputIndex];
    if (glide.moving())
        inputGain = glide.advance();
}

bool KymAudioProcessor::engineGlidesMoving() const noexcept
{
    for (int i = kym::inputIndex + 1; i < glidingCount; ++i)
        if (glides[i].moving())
            return true;
    return false;
}

void KymAudioProcessor::stepEngineGlides() noexcept
{
    for (int i = kym::inputIndex + 1; i < glidingCount; ++i)
    {
        libqor::dsp::ControlGlide& glide = glides[i];
        if (!glide.moving())
            continue;
        const double position = glide.advance();
        if (glide.moving())
            engine.setParameterSlot(engineSlotOf[i], position);
        else
            engine.settleSlot(engineSlotOf[i], position);
    }
    engine.followParameters();
}

void KymAudioProcessor::finishGlides() noexcept
{
    for (int i = 0; i < glidingCount; ++i)
    {
        libqor::dsp::ControlGlide& glide = glides[i];
        if (!glide.moving())
            continue;
        const double position = glide.target();
        glide.jumpTo(position);
        if (i == kym::inputIndex)
            inputGain = position;
        else
            engine.settleSlot(engineSlotOf[i], position);
    }
    engine.finishToneGlide();
    glideFramesLeft = 0;
}

//==============================================================================
// Audio road

libqor::dsp::SimdLevel KymAudioProcessor::setSimdLevel(libqor::dsp::SimdLevel level) noexcept
{
    const libqor::dsp::SimdLevel was = engine.simdLevel();
    if (engine.setSimdLevel(level) == level && sampler.setSimdLevel(level))
        return level;
    engine.setSimdLevel(was);
    return was;
}

void KymAudioProcessor::recheckAudioInformation(double hostSampleRate) noexcept
{
    const double r = hostSampleRate;
    // A rate the engine cannot run at (none yet, 0, not finite, or out of
    // range) is never adopted: the known one is kept.
    const bool usable = isUsableHostRate(r);

    if (std::abs(r - currentSampleRate) > 50.0 && usable)
    {
        currentSampleRate = r;
        audioInfoDirty = false;
    }
    else if (audioInfoDirty)
    {
        if (usable)
            currentSampleRate = r;
        audioInfoDirty = false;
    }
    else
    {
        return;
    }

    // The sampler and the engine change together: a block at the new factor
    // with coefficients for the old rate is a burst.
    const int factor = factorForRate(oversamplingFactor, currentSampleRate);
    sampler.setFactor(factor);
    engine.updateSamplerate(currentSampleRate * static_cast<double>(factor));
    clearHistories(signalHeard);
}

void KymAudioProcessor::listen(const juce::AudioBuffer<float>& buffer) noexcept
{
    if (signalHeard || buffer.getNumChannels() < 1)
        return;
    const float* in = buffer.getReadPointer(0);
    signalHeard = std::any_of(in, in + buffer.getNumSamples(), [](float x) { return x != 0.0f; });
}

void KymAudioProcessor::clearHistories(bool signalUnderWay) noexcept
{
    finishGlides();
    engine.reset();
    sampler.reset();

    // On a signal already under way, a step into it would thump through the
    // coupling networks, so the input rises over a short fade. Otherwise the
    // circuit starts as a new one does.
    if (signalUnderWay)
    {
        fadeInLength = std::max(1, static_cast<int>(fadeInSeconds * currentSampleRate));
        fadeInPosition = 0;
    }
    restartDue = false;
}

void KymAudioProcessor::fadeIn(double* gained, int count) noexcept
{
    const int n = std::min(count, fadeInLength - fadeInPosition);
    const double step = M_PI / fadeInLength;
    for (int i = 0; i < n; ++i)
        gained[i] *= 0.5 - 0.5 * std::cos(step * (fadeInPosition + i));
    fadeInPosition += n;
}

namespace
{

// Flush-to-zero for the block, whatever thread runs it: without it, silence
// from the start leaves the input network circling on subnormal products
// (three times the CPU per block) and subnormal floats reach the host. Only
// flush-to-zero, so every thread computes the same bits; the host's own
// MXCSR comes back at the end of the block.
class ScopedFlushToZero
{
public:
#if defined(__SSE__) || defined(_M_X64)
    ScopedFlushToZero() noexcept : saved(_mm_getcsr())
    {
        _mm_setcsr(saved | 0x8000u);
    }
    ~ScopedFlushToZero()
    {
        _mm_setcsr(saved);
    }

private:
    unsigned saved;
#endif
};

} // namespace

void KymAudioProcessor::passThrough(juce::AudioBuffer<float>& buffer) const noexcept
{
    // Outputs without an input of their own would stay silent on one side
    // while the processed sound is on both; give them the dry channel 0.
    const int numSamples = buffer.getNumSamples();
    const int numOutputs = std::min(getTotalNumOutputChannels(), buffer.getNumChannels());
    const int numInputs = getTotalNumInputChannels();
    if (numInputs >= 1 && numSamples > 0)
        for (int c = numInputs; c < numOutputs; ++c)
            buffer.copyFrom(c, 0, buffer, 0, 0, numSamples);
}

void KymAudioProcessor::processBlockBypassed(juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    // Without the drain, automation during a long host bypass would pile up
    // in the queue and all run in one later block. The recheck waits for the
    // next processed block, which starts from clear histories anyway.
    const ScopedFlushToZero flushToZero;
    runPendingJobs();
    restartDue = true;
    finishGlides();
    listen(buffer);
    passThrough(buffer);
}

void KymAudioProcessor::processBlock(juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    const ScopedFlushToZero flushToZero;
    runPendingJobs();

    recheckAudioInformation(getSampleRate());

    const int numChannels = buffer.getNumChannels();
    const int numSamples = buffer.getNumSamples();
    const int numOutputs = std::min(getTotalNumOutputChannels(), numChannels);

    const bool heardBefore = signalHeard;
    listen(buffer);

    if (bypass)
    {
        restartDue = true;
        passThrough(buffer);
        return;
    }

    if (numChannels < 1)
        return;

    // The state left from before the pass-through does not fit the signal
    // arriving now: going on from it would burst. Until the first sample
    // other than zero, the circuit has run on silence alone: it starts from
    // clear histories there, as a new one would, so that what it renders
    // does not depend on how many silent blocks came first (a host's first
    // cycles, before or after it restored a session).
    if (restartDue || heardBefore != signalHeard)
        clearHistories(heardBefore);

    // Longer host blocks are served in pieces the buffers can hold.
    for (int start = 0; start < numSamples; start += maxBlockSize)
        processPiece(buffer, start, std::min(maxBlockSize, numSamples - start), numOutputs);
}

void KymAudioProcessor::processPiece(juce::AudioBuffer<float>& buffer, int start, int count, int numOutputs) noexcept
{
    const float* in = buffer.getReadPointer(0, start);
    double* gained = inputBuffer->channels[0];
    double* oversampled = oversampledBuffer->channels[0];
    double* result = outputBuffer->channels[0];

    // While controls glide, their steps fall every glideStepFrames frames,
    // counted on from the glide's start: Input's here, the engine's controls'
    // between pieces of the engine's work below, at the same frames.
    const bool gliding = ownGlidesMoving();
    const int firstStep = glideFramesLeft;

    if (gliding && glides[kym::inputIndex].moving())
    {
        for (int i = 0, next = firstStep; i < count; ++i)
        {
            if (i == next)
            {
                stepInputGlide();
                next += glideStepFrames;
            }
            gained[i] =
                static_cast<double>(std::clamp(finiteOrZero(in[i]), -maxInputSample, maxInputSample)) * inputGain;
        }
    }
    else
    {
        const double gain = inputGain;
        for (int i = 0; i < count; ++i)
            gained[i] = static_cast<double>(std::clamp(finiteOrZero(in[i]), -maxInputSample, maxInputSample)) * gain;
    }

    if (fadeInPosition < fadeInLength)
        fadeIn(gained, count);

    (sampler.*sampler.upSlot)(gained, oversampled, count);

    const int factor = sampler.factor;
    if (gliding)
    {
        for (int done = 0, next = firstStep; done < count;)
        {
            if (done == next)
            {
                stepEngineGlides();
                next += glideStepFrames;
            }
            const int end = engineGlidesMoving() ? std::min(next, count) : count;
            engine.processBlock(oversampled + done * factor, (end - done) * factor);
            done = end;
        }
        int nextStep = firstStep;
        while (nextStep < count)
            nextStep += glideStepFrames;
        glideFramesLeft = nextStep - count;
    }
    else
        engine.processBlock(oversampled, count * factor);

    (sampler.*sampler.downSlot)(oversampled, result, count);

    // Once per piece, not per sample: should the circuit's state ever turn
    // non-finite, it would stay so for good; it starts again from clear
    // histories, and this piece is silent.
    bool overflow = false;
    for (int i = 0; i < count; ++i)
        overflow |= !(std::abs(result[i]) < floatOverflow);
    if (overflow)
    {
        clearHistories(signalHeard);
        std::fill(result, result + count, 0.0);
    }

    for (int c = 0; c < numOutputs; ++c)
    {
        float* out = buffer.getWritePointer(c, start);
        for (int i = 0; i < count; ++i)
            out[i] = static_cast<float>(result[i]);
    }
}

//==============================================================================
// Host messages

void KymAudioProcessor::sendParamChangeMessage(int index, float value)
{
    if (auto* slot = getParameters()[index])
        slot->sendValueChangedMessageToListeners(value);
}

//==============================================================================
// State record

void KymAudioProcessor::getStateInformation(juce::MemoryBlock& destData)
{
    KymStateRecord::write(parameters, destData);
}

void KymAudioProcessor::setStateInformation(const void* data, int sizeInBytes)
{
    if (KymStateRecord::read(data, sizeInBytes, parameters))
        KymStateRecord::reportLoaded();
}
