#include "plugin/KymAudioProcessor.h"
#include "plugin/KymParameterTable.h"
#include "plugin/KymStateRecord.h"

#if __has_include("KymAudioProcessorEditor.h")
#include "KymAudioProcessorEditor.h"
#define QOR_KYM_HAS_EDITOR 1
#else
#define QOR_KYM_HAS_EDITOR 0
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
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

// A finite sample beyond 24 dB over full scale is a host fault, not a signal.
// Held there, it can neither drive the linear dry path past float's range nor
// leave the filters ringing with it for seconds.
constexpr float maxInputSample = 16.0f;

// Above 192 kHz x 4 the tone stage's sixth-order section loses its poles to
// rounding and rings up to infinity (it does from about 0.9 MHz); the engine
// is never given a higher rate.
constexpr double maxEngineRate = 768000.0;

} // namespace

void Job::operator()() const noexcept
{
    if (kind == Kind::parameter)
        processor->runParameterJob(parameter);
    else
        processor->runRecheckJob(factor);
}

KymAudioProcessor::KymAudioProcessor()
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
}

KymAudioProcessor::~KymAudioProcessor()
{
    automationSlots.clear(false);
    // The members then go in reverse order: queue (unrun jobs and all),
    // parameters last first, engine, sampler, then the buffers.
}

const juce::String KymAudioProcessor::getName() const { return "QOR KYM v2"; }

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

bool KymAudioProcessor::isInputChannelStereoPair(int) const { return true; }
bool KymAudioProcessor::isOutputChannelStereoPair(int) const { return true; }
bool KymAudioProcessor::silenceInProducesSilenceOut() const { return false; }
double KymAudioProcessor::getTailLengthSeconds() const { return 0.0; }
bool KymAudioProcessor::acceptsMidi() const { return false; }
bool KymAudioProcessor::producesMidi() const { return false; }

juce::AudioProcessorEditor* KymAudioProcessor::createEditor()
{
#if QOR_KYM_HAS_EDITOR
    auto* editor = new KymAudioProcessorEditor(*this);
    editor->loadParamsFromProcessor();
    return editor;
#else
    return nullptr;
#endif
}

bool KymAudioProcessor::hasEditor() const { return QOR_KYM_HAS_EDITOR != 0; }

int KymAudioProcessor::getNumPrograms() { return 1; }
int KymAudioProcessor::getCurrentProgram() { return 0; }
void KymAudioProcessor::setCurrentProgram(int) {}
const juce::String KymAudioProcessor::getProgramName(int) { return {}; }
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
    // (the recheck, a wrapper's parameter changes) no longer take the lock.
    messageQueue.beginDrain();
    Job job;
    while (messageQueue.try_dequeue(job))
        job();
}

void KymAudioProcessor::runParameterJob(libqor::Parameter* parameter) noexcept
{
    const double v = parameter->value.load(std::memory_order_relaxed);
    const juce::String& id = parameter->id;

    if (id == "KYM_Input")
        inputGain = v;
    else if (id == "KYM_Output")
        engine.setParameterSlot(1, v / 10.0);
    else if (id == "KYM_Drive")
        engine.setParameterSlot(4, v / 10.0);
    else if (id == "KYM_Bass")
        engine.setParameterSlot(2, v / 10.0);
    else if (id == "KYM_Treble")
        engine.setParameterSlot(3, v / 10.0);
    else if (id == "KYM_Blend")
        engine.setParameterSlot(6, v / 10.0);
    else if (id == "KYM_Presence")
        engine.setParameterSlot(5, v / 10.0);
    else if (id == "KYM_Quality")
    {
        // Truncation in double: no float-to-int conversion that a stray value could make undefined.
        oversamplingFactor = std::trunc(v + 0.5) <= 0.0 ? 2.0 : 4.0;
        sampler.setFactor(static_cast<int>(oversamplingFactor));
        audioInfoDirty = true;
    }
    else if (id == "KYM_Bypass")
        bypass = v >= 0.5;

    engine.updateParameters();
    requestEditorRefresh();
}

void KymAudioProcessor::runRecheckJob(double factor) noexcept
{
    engine.updateSamplerate(std::min(currentSampleRate * factor, maxEngineRate));
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
    // Only a real rate is adopted: a host that has not given one yet (0) or a
    // non-finite value would otherwise leave the engine without coefficients.
    const bool usable = r > 0.0 && r <= std::numeric_limits<double>::max();

    if (std::abs(r - currentSampleRate) > 50.0 && r >= 44100.0 && usable)
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

    post(Job::forRecheck(this, oversamplingFactor));
    sampler.setFactor(static_cast<int>(oversamplingFactor));
}

namespace
{

// The half-band sections set flush-to-zero only on the thread that built the
// processor; a host's audio thread is usually another. Without it, silence
// from the start leaves the input network circling on subnormal products
// (three times the CPU per block) and subnormal floats reach the host. Only
// flush-to-zero, as on the building thread, so every thread computes the same
// bits; the host's own MXCSR comes back at the end of the block.
class ScopedFlushToZero
{
public:
#if defined(__SSE__) || defined(_M_X64)
    ScopedFlushToZero() noexcept : saved(_mm_getcsr()) { _mm_setcsr(saved | 0x8000u); }
    ~ScopedFlushToZero() { _mm_setcsr(saved); }

private:
    unsigned saved;
#endif
};

} // namespace

void KymAudioProcessor::processBlock(juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    const ScopedFlushToZero flushToZero;
    runPendingJobs();

    recheckAudioInformation(getSampleRate());

    const int numChannels = buffer.getNumChannels();
    const int numSamples = buffer.getNumSamples();
    const int numOutputs = std::min(getTotalNumOutputChannels(), numChannels);

    if (bypass)
    {
        // Outputs without an input of their own would stay silent on one side
        // while the processed sound is on both; give them the dry channel 0.
        const int numInputs = getTotalNumInputChannels();
        if (numInputs >= 1 && numSamples > 0)
            for (int c = numInputs; c < numOutputs; ++c)
                buffer.copyFrom(c, 0, buffer, 0, 0, numSamples);
        return;
    }

    if (numChannels < 1)
        return;

    // Longer host blocks are served in pieces the buffers can hold.
    for (int start = 0; start < numSamples; start += maxBlockSize)
        processPiece(buffer, start, std::min(maxBlockSize, numSamples - start), numOutputs);
}

void KymAudioProcessor::processPiece(juce::AudioBuffer<float>& buffer, int start, int count,
                                     int numOutputs) noexcept
{
    const float* in = buffer.getReadPointer(0, start);
    double* gained = inputBuffer->channels[0];
    double* oversampled = oversampledBuffer->channels[0];
    double* result = outputBuffer->channels[0];

    const double gain = inputGain;
    for (int i = 0; i < count; ++i)
        gained[i] = static_cast<double>(std::clamp(finiteOrZero(in[i]), -maxInputSample, maxInputSample)) * gain;

    (sampler.*sampler.upSlot)(gained, oversampled, count);

    engine.processBlock(oversampled, count * sampler.factor);

    (sampler.*sampler.downSlot)(oversampled, result, count);

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
