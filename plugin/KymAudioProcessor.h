#pragma once

#include "engine/KYM.h"
#include "libqor/AutomatableParameter.h"
#include "libqor/ParamObserver.h"
#include "libqor/Parameter.h"
#include "libqor/dsp/ControlGlide.h"
#include "libqor/dsp/StereoSampleBuffer.h"
#include "libqor/dsp/blockUpDownsampling.h"
#include "plugin/Job.h"
#include "plugin/JobQueue.h"
#include "plugin/KymParameterTable.h"
#include "plugin/KymStateRecord.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <atomic>
#include <cstdint>
#include <memory>

// The plug-in's processor: owns the engine, the sampler, the buffers, the nine
// parameters with their host slots, and the queue that carries every change to
// the audio thread.
//
// Editor refresh hand-over. Every parameter change asks for a refresh where it
// is made (parameterCheck, on whatever thread changed the value: host, state
// load, editor), so the editor follows with no audio running; the parameter
// job asks again on the audio thread. Asking only raises an atomic flag (no
// allocation, no lock, no system call). An open editor polls
// consumeEditorRefreshRequest() from a juce::Timer on the message thread and,
// when it returns true, calls its own loadParamsFromProcessor(). A closed
// editor has no timer left, so a refresh can never reach it; a request made
// while no editor is open only causes one extra, harmless refresh later.
class KymAudioProcessor : public juce::AudioProcessor, public libqor::ParamObserver
{
public:
    KymAudioProcessor();
    ~KymAudioProcessor() override;

    const juce::String getName() const override;
    void prepareToPlay(double sampleRate, int maximumExpectedSamplesPerBlock) override;
    void releaseResources() override;
    void processBlock(juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi) override;
    using juce::AudioProcessor::processBlock;
    // The host's own bypass: the jobs still run, and the block leaves as the
    // plug-in's Bypass leaves it.
    void processBlockBypassed(juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi) override;
    using juce::AudioProcessor::processBlockBypassed;

    JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE("-Wdeprecated-declarations")
    const juce::String getInputChannelName(int channelIndex) const override;
    const juce::String getOutputChannelName(int channelIndex) const override;
    bool isInputChannelStereoPair(int index) const override;
    bool isOutputChannelStereoPair(int index) const override;
    JUCE_END_IGNORE_WARNINGS_GCC_LIKE

    bool silenceInProducesSilenceOut() const override;
    double getTailLengthSeconds() const override;
    bool acceptsMidi() const override;
    bool producesMidi() const override;

    juce::AudioProcessorEditor* createEditor() override;
    bool hasEditor() const override;

    int getNumPrograms() override;
    int getCurrentProgram() override;
    void setCurrentProgram(int index) override;
    const juce::String getProgramName(int index) override;
    void changeProgramName(int index, const juce::String& newName) override;

    void getStateInformation(juce::MemoryBlock& destData) override;
    void setStateInformation(const void* data, int sizeInBytes) override;

    void notifyParamChange(libqor::Parameter* parameter) override;
    void parameterCheck(libqor::Parameter* parameter) override;

    // Tells the host's listeners that host parameter index now reads value.
    void sendParamChangeMessage(int index, float value);
    // The rate and Quality recheck at the start of each block: takes up the
    // host rates the engine can run at, and gives the sampler and the engine
    // their factor and rate together.
    void recheckAudioInformation(double hostSampleRate) noexcept;

    // Editor refresh hand-over (see the class comment).
    void requestEditorRefresh() noexcept { editorRefreshRequested.store(true, std::memory_order_release); }
    bool consumeEditorRefreshRequest() noexcept
    {
        return editorRefreshRequested.exchange(false, std::memory_order_acq_rel);
    }

    // Posts from any thread; from the audio thread without waiting (see JobQueue).
    void post(const Job& job) noexcept;

    // Which build of the sampler's kernels and of the engine's block path the
    // audio road runs; reference is the plain per-sample code. Every level
    // gives the same bits. Construction picks the best this processor runs.
    // Both change together or neither does: a level either of them refuses
    // leaves the current one. Returns the level in use. For tests and
    // benchmarks: call it only while no block is being processed.
    libqor::dsp::SimdLevel setSimdLevel(libqor::dsp::SimdLevel level) noexcept;
    libqor::dsp::SimdLevel simdLevel() const noexcept { return engine.simdLevel(); }

    static constexpr uint32_t stateMagic = KymStateRecord::magic;

private:
    // Keeps the constructing thread's MXCSR: the half-band sections the
    // sampler builds set flush-to-zero on it, and construction gives the
    // register back when it returns (or throws).
    class ConstructionCsr
    {
    public:
        ConstructionCsr() noexcept;
        ~ConstructionCsr();
        void restore() noexcept;

    private:
        unsigned saved = 0;
        bool pending = false;
    };
    // Declared first, so it reads the register before any member is built.
    ConstructionCsr constructionCsr;

public:
    // Written after construction only on the audio thread (jobs and processBlock).
    int32_t maxBlockSize = 8192;
    bool audioInfoDirty = false;
    bool bypass = false;
    double oversamplingFactor = 2.0;
    double currentSampleRate = 44100.0;
    double inputGain = 1.0;
    // The engine's and the sampler's state stood still while the block was
    // passed through (Bypass, or the host's bypass); the next processed block
    // starts them from clear histories instead of from that old state.
    bool restartDue = false;
    // The host's input has carried a sample other than zero. Before that the
    // circuit is at rest on silence: a control may jump without a glide, and
    // a restart needs no fade.
    bool signalHeard = false;
    // The input's rise after a restart: position and length in host frames.
    int fadeInPosition = 0;
    int fadeInLength = 0;
    // The continuous controls (Input .. Blend, by parameter index) where the
    // audio road has them: Input's gain, the others' engine positions. While
    // audio plays, a change glides there (see moveControl); Low and High
    // glide inside the engine (KYM::glideTone), and their entries here stay
    // at rest.
    static constexpr int glidingCount = 7;
    libqor::dsp::ControlGlide glides[glidingCount];
    // Host frames until the glides' next step.
    int glideFramesLeft = 0;
    // How long a glide takes, and how many host frames each of its steps
    // holds. The tone pots glide faster than the rest, so that a cut of the
    // bass takes effect before the gains around it rise; their steps are
    // finer, as the tone section's states carry over well only between close
    // sets.
    static constexpr double glideSeconds = 0.05;
    static constexpr double toneGlideSeconds = 0.02;
    static constexpr int glideStepFrames = 16;
    static constexpr int toneStepFrames = 4;
    // How many steps a glide of the control takes at the host rate.
    static int glideSteps(int index, double hostRate) noexcept;
    static bool isTonePot(int index) noexcept;
    // Some control is on its way (the engine's tone glide included).
    bool glidesMoving() const noexcept;
    std::unique_ptr<libqor::StereoSampleBuffer<double>> inputBuffer;
    std::unique_ptr<libqor::StereoSampleBuffer<double>> oversampledBuffer;
    std::unique_ptr<libqor::StereoSampleBuffer<double>> outputBuffer;
    libqor::blockUpDownsampling sampler;
    KYM engine;
    juce::OwnedArray<libqor::Parameter> parameters;
    // The framework's parameter list owns the slots; this array only indexes them.
    juce::OwnedArray<libqor::AutomatableParameter> automationSlots;
    JobQueue messageQueue;

private:
    friend struct Job;

    // Runs every queued job, oldest first, until the queue is found empty.
    void runPendingJobs() noexcept;
    void runParameterJob(libqor::Parameter* parameter) noexcept;
    void processPiece(juce::AudioBuffer<float>& buffer, int start, int count, int numOutputs) noexcept;
    // Outputs without an input of their own get input 0; the rest stay as the wrapper left them.
    void passThrough(juce::AudioBuffer<float>& buffer) const noexcept;
    // The engine and the sampler as newly built, with their present rate,
    // factor and controls; with the input's fade when a signal is under way.
    void clearHistories(bool signalUnderWay) noexcept;
    // Notes whether the block's input channel carries a signal.
    void listen(const juce::AudioBuffer<float>& buffer) noexcept;
    // The next frames of the input's rise, applied to count gained samples.
    void fadeIn(double* gained, int count) noexcept;
    // A continuous control's new position: a glide while audio plays and the
    // circuit runs on from its state, otherwise at once.
    void moveControl(int index, double position) noexcept;
    void setControl(int index, double position) noexcept;
    bool ownGlidesMoving() const noexcept;
    // One step of Input's glide; one step of the engine's controls' glides,
    // and their stages recomputed.
    void stepInputGlide() noexcept;
    void stepEngineGlides() noexcept;
    bool engineGlidesMoving() const noexcept;
    // Every glide at its end at once (at a restart).
    void finishGlides() noexcept;

    std::atomic<bool> editorRefreshRequested { false };
    // A job of the parameter (by index) waits in the queue.
    std::atomic<bool> jobWaiting[kym::parameterCount] {};

    JUCE_DECLARE_NON_COPYABLE(KymAudioProcessor)
};
