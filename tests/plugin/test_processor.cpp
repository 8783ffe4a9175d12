#include "test_processor_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

using namespace kymtest;

namespace
{

struct ParameterRow
{
    const char* id;
    const char* name;
    double minValue, maxValue, defaultValue, interval;
    int32_t type;
    float hostValue;
};

const ParameterRow expectedTable[9] = {
    { "KYM_Input", "Input", 0, 2, 1, 0.0001, 4, 0.5f },  { "KYM_Output", "Level", 0, 10, 5, 0.0001, 4, 0.5f },
    { "KYM_Drive", "Drive", 0, 10, 5, 0.0001, 4, 0.5f }, { "KYM_Bass", "Low", 0, 10, 5, 0.0001, 4, 0.5f },
    { "KYM_Treble", "High", 0, 10, 5, 0.0001, 4, 0.5f }, { "KYM_Presence", "Presence", 0, 10, 5, 0.0001, 4, 0.5f },
    { "KYM_Blend", "Blend", 0, 10, 0, 0.0001, 4, 0.0f }, { "KYM_Bypass", "Bypass", 0, 1, 0, 1, 1, 0.0f },
    { "KYM_Quality", "Quality", 0, 1, 0, 1, 2, 0.0f },
};

// Records what the host's listeners hear.
struct HostListener : juce::AudioProcessorListener
{
    struct Call
    {
        int index;
        float value;
    };
    std::vector<Call> calls;

    void audioProcessorParameterChanged(juce::AudioProcessor*, int index, float value) override
    {
        calls.push_back({ index, value });
    }
    void audioProcessorChanged(juce::AudioProcessor*, const ChangeDetails&) override {}
};

size_t queuedJobs(KymAudioProcessor& p)
{
    return p.messageQueue.size_approx();
}

} // namespace

//==============================================================================
// Construction

TEST(ProcessorConstruction, ParametersFollowTheTable)
{
    KymAudioProcessor p;
    ASSERT_EQ(p.getParameters().size(), 9);
    ASSERT_EQ(p.parameters.size(), 9);

    for (int i = 0; i < 9; ++i)
    {
        SCOPED_TRACE(i);
        const auto& row = expectedTable[i];
        const auto* param = p.parameters[i];
        EXPECT_EQ(param->id, row.id);
        EXPECT_EQ(param->name, row.name);
        EXPECT_EQ(param->label, "");
        EXPECT_EQ(param->minValue, row.minValue);
        EXPECT_EQ(param->maxValue, row.maxValue);
        EXPECT_EQ(param->defaultValue, row.defaultValue);
        EXPECT_EQ(param->value.load(), row.defaultValue);
        EXPECT_EQ(param->interval, row.interval);
        EXPECT_EQ(param->skew, 1.0);
        EXPECT_EQ(param->type, row.type);

        auto* host = p.getParameters()[i];
        EXPECT_EQ(host->getName(100), row.name);
        EXPECT_EQ(host->getValue(), row.hostValue);
        EXPECT_EQ(host->getParameterIndex(), i);
        EXPECT_EQ(host, p.automationSlots[i]);
        EXPECT_EQ(p.automationSlots[i]->slotNumber, i + 1);
        EXPECT_EQ(p.automationSlots[i]->key, 593953);
        EXPECT_EQ(param->connectedSlot, p.automationSlots[i]);

        // The processor hears a change before the host does.
        ASSERT_EQ(param->observers.size(), 2);
        EXPECT_EQ(param->observers[0], static_cast<libqor::ParamObserver*>(&p));
        EXPECT_EQ(param->observers[1], static_cast<libqor::ParamObserver*>(p.automationSlots[i]));
    }

    const auto& texts = p.parameters[7]->displayTexts;
    ASSERT_EQ(texts.size(), 2);
    EXPECT_EQ(texts[0].value, 0);
    EXPECT_EQ(texts[0].text, "off");
    EXPECT_EQ(texts[1].value, 1);
    EXPECT_EQ(texts[1].text, "on");
}

TEST(ProcessorConstruction, ScalarStateEngineAndQueue)
{
    KymAudioProcessor p;
    EXPECT_EQ(p.maxBlockSize, 8192);
    EXPECT_FALSE(p.audioInfoDirty);
    EXPECT_FALSE(p.bypass);
    EXPECT_EQ(p.oversamplingFactor, 2.0);
    EXPECT_EQ(p.currentSampleRate, 44100.0);
    EXPECT_EQ(p.inputGain, 1.0);
    EXPECT_EQ(p.inputBuffer->length, 8192);
    EXPECT_EQ(p.oversampledBuffer->length, 65536);
    EXPECT_EQ(p.outputBuffer->length, 8192);
    EXPECT_EQ(p.sampler.factor, 2);
    EXPECT_EQ(p.engine.fs, 88200.0);
    EXPECT_EQ(p.engine.slots[KYM::Slot::level].value, 0.094999999986225);
    EXPECT_EQ(p.engine.slots[KYM::Slot::blend].value, 0.0);
    EXPECT_EQ(queuedJobs(p), 0u);
    EXPECT_EQ(p.messageQueue.peek(), nullptr);
    EXPECT_FALSE(p.consumeEditorRefreshRequest());
}

TEST(ProcessorConstruction, FixedAnswers)
{
    KymAudioProcessor p;
    EXPECT_EQ(p.getName(), "QOR KYM v2");
    JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE("-Wdeprecated-declarations")
    const std::pair<int, const char*> names[] = { { 0, "Left" }, { 1, "Right" }, { 2, "3" }, { -1, "0" }, { 7, "8" } };
    for (const auto& [index, name] : names)
    {
        EXPECT_EQ(p.getInputChannelName(index), name) << index;
        EXPECT_EQ(p.getOutputChannelName(index), name) << index;
        EXPECT_TRUE(p.isInputChannelStereoPair(index));
        EXPECT_TRUE(p.isOutputChannelStereoPair(index));
    }
    JUCE_END_IGNORE_WARNINGS_GCC_LIKE
    EXPECT_FALSE(p.acceptsMidi());
    EXPECT_FALSE(p.producesMidi());
    EXPECT_FALSE(p.silenceInProducesSilenceOut());
    EXPECT_EQ(p.getTailLengthSeconds(), 0.0);
    EXPECT_EQ(p.getLatencySamples(), 0);
    EXPECT_EQ(p.getNumPrograms(), 1);
    p.setCurrentProgram(3);
    p.changeProgramName(0, "renamed");
    EXPECT_EQ(p.getCurrentProgram(), 0);
    EXPECT_EQ(p.getProgramName(0), "");
    EXPECT_EQ(p.getProgramName(5), "");
}

TEST(ProcessorConstruction, DestructionDisconnectsSlotsLastFirstAndDropsQueuedJobs)
{
    HostListener listener;
    {
        auto p = makeProcessor();
        p->addListener(&listener);
        setHost(*p, 2, 0.9f); // a job that is never run
        ASSERT_EQ(queuedJobs(*p), 1u);
        listener.calls.clear();
    }
    ASSERT_EQ(listener.calls.size(), 9u);
    for (int k = 0; k < 9; ++k)
    {
        EXPECT_EQ(listener.calls[static_cast<size_t>(k)].index, 8 - k);
        EXPECT_EQ(listener.calls[static_cast<size_t>(k)].value, 0.5f);
    }
}

//==============================================================================
// Host messages

TEST(ProcessorHostMessages, SlotChangesReachBothKindsOfListener)
{
    struct ParameterListener : juce::AudioProcessorParameter::Listener
    {
        std::vector<std::pair<int, float>> calls;
        void parameterValueChanged(int index, float value) override { calls.emplace_back(index, value); }
        void parameterGestureChanged(int, bool) override {}
    };

    auto p = makeProcessor();
    HostListener host;
    ParameterListener slotListener;
    p->addListener(&host);
    p->getParameters()[0]->addListener(&slotListener);

    setHost(*p, 0, 0.25f); // Input 1.0 -> 0.5
    EXPECT_EQ(p->parameters[0]->value.load(), 0.5);
    ASSERT_EQ(host.calls.size(), 1u);
    EXPECT_EQ(host.calls[0].index, 0);
    EXPECT_EQ(host.calls[0].value, 0.25f);
    ASSERT_EQ(slotListener.calls.size(), 1u);
    EXPECT_EQ(slotListener.calls[0], std::make_pair(0, 0.25f));
    EXPECT_EQ(queuedJobs(*p), 1u);

    setHost(*p, 0, 0.25f); // no move: neither a job nor a report
    EXPECT_EQ(host.calls.size(), 1u);
    EXPECT_EQ(queuedJobs(*p), 1u);

    p->sendParamChangeMessage(9, 0.3f);
    p->sendParamChangeMessage(-1, 0.3f);
    p->sendParamChangeMessage(std::numeric_limits<int>::min(), 0.3f);
    EXPECT_EQ(host.calls.size(), 1u);

    p->sendParamChangeMessage(8, 0.75f);
    ASSERT_EQ(host.calls.size(), 2u);
    EXPECT_EQ(host.calls[1].index, 8);
    EXPECT_EQ(host.calls[1].value, 0.75f);

    p->getParameters()[0]->removeListener(&slotListener);
    p->removeListener(&host);
}

//==============================================================================
// Jobs

TEST(ProcessorJobs, SixteenPostsGrowTheQueueAndKeepTheirOrder)
{
    auto p = makeProcessor();
    EXPECT_EQ(p->messageQueue.max_capacity(), 15u);

    // (Through the parameters, a parameter never has more than one job
    // waiting: the queue's own growth is seen with posts of its own.)
    std::vector<libqor::Parameter*> posted;
    for (int k = 0; k < 16; ++k)
    {
        const int index = k % 7;
        p->post(Job::forParameter(p.get(), p->parameters[index]));
        posted.push_back(p->parameters[index]);
    }
    EXPECT_EQ(queuedJobs(*p), 16u);
    EXPECT_EQ(p->messageQueue.max_capacity(), 15u + 31u); // a second block of 32 slots

    Job job;
    for (size_t k = 0; k < posted.size(); ++k)
    {
        ASSERT_TRUE(p->messageQueue.try_dequeue(job));
        EXPECT_EQ(job.kind, Job::Kind::parameter);
        EXPECT_EQ(job.parameter, posted[k]) << k;
        EXPECT_EQ(job.processor, p.get());
    }
    EXPECT_FALSE(p->messageQueue.try_dequeue(job));
}

TEST(ProcessorJobs, QueuedJobsAllRunAtTheNextBlockWithTheLatestValues)
{
    auto p = makeProcessor();
    for (int k = 0; k < 40; ++k) // many changes before the host calls the processor again
    {
        setHost(*p, 2, static_cast<float>(k % 10) / 10.0f + 0.05f);
        setHost(*p, 0, static_cast<float>(k % 4) / 8.0f + 0.01f);
    }
    setHost(*p, 2, 0.8f);
    setHost(*p, 0, 0.75f);
    EXPECT_EQ(queuedJobs(*p), 2u); // one per parameter, whatever the number of changes
    runEmptyBlock(*p);
    EXPECT_EQ(queuedJobs(*p), 0u);
    EXPECT_EQ(p->engine.slots[KYM::Slot::drive].value, 0.8f * 10.0 / 10.0);
    EXPECT_EQ(p->inputGain, 1.5);
}

// A host that stops processing while the editor keeps moving a control: the
// queue holds one job for it, not one per move, and the next block is as
// quick as any.
TEST(ProcessorJobs, ManyChangesWithoutBlocksLeaveOneJobPerParameter)
{
    auto p = makeProcessor();
    runEmptyBlock(*p);
    for (int k = 0; k < 100000; ++k)
        p->parameters[k % 3]->SetNormalised((k % 1000) / 1000.0 + 0.0005);
    p->parameters[1]->SetNormalised(0.25);
    EXPECT_EQ(queuedJobs(*p), 3u);
    EXPECT_EQ(p->messageQueue.max_capacity(), 15u); // it never had to grow

    runEmptyBlock(*p);
    EXPECT_EQ(queuedJobs(*p), 0u);
    KYM reference;
    reference.setParameterSlot(KYM::Slot::level, 0.25); // Level 2.5: the latest value
    EXPECT_EQ(p->engine.slots[KYM::Slot::level].value, reference.slots[KYM::Slot::level].value);
    // A change after the drain posts again.
    p->parameters[1]->SetNormalised(0.75);
    EXPECT_EQ(queuedJobs(*p), 1u);
}

TEST(ProcessorJobs, EngineSlotsGetTheValueOverTen)
{
    struct Case
    {
        int parameter;
        float normalised;
        int slot;
        double position; // after the slot's taper
    };
    using Slot = KYM::Slot;
    const Case cases[] = {
        { 1, 1.0f, Slot::level, 1.0 },                                      // Level 10, log taper maps 1 to 1
        { 1, 0.0f, Slot::level, 0.0 },      { 2, 1.0f, Slot::drive, 1.0 },  // Drive
        { 2, 0.25f, Slot::drive, 0.25 },    { 3, 0.75f, Slot::bass, 0.75 }, // Low
        { 4, 0.125f, Slot::treble, 0.125 },                                 // High
        { 5, 0.0f, Slot::presence, 0.0 },                                   // Presence
        { 6, 0.5f, Slot::blend, 0.5 },                                      // Blend
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.parameter);
        auto p = makeProcessor();
        setHost(*p, c.parameter, c.normalised);
        ASSERT_NE(p->engine.slots[c.slot].value, c.position) << "the case must move the slot";
        runEmptyBlock(*p);
        EXPECT_EQ(p->engine.slots[c.slot].value, c.position);
        EXPECT_EQ(p->engine.slots[c.slot].changed, 0) << "updateParameters did not run";
    }
}

TEST(ProcessorJobs, BypassAndQualityMapping)
{
    auto p = makeProcessor();
    setHost(*p, 7, 0.6f);
    runEmptyBlock(*p);
    EXPECT_TRUE(p->bypass);
    setHost(*p, 7, 0.3f);
    runEmptyBlock(*p);
    EXPECT_FALSE(p->bypass);

    setHost(*p, 8, 0.6f); // rounds to Quality 1
    runEmptyBlock(*p);
    EXPECT_EQ(p->oversamplingFactor, 4.0);
    EXPECT_EQ(p->sampler.factor, 4);
    setHost(*p, 8, 0.0f);
    runEmptyBlock(*p);
    EXPECT_EQ(p->oversamplingFactor, 2.0);
    EXPECT_EQ(p->sampler.factor, 2);
}

TEST(ProcessorJobs, InputGainScalesWhatEntersTheUpsampler)
{
    const auto signal = bassSignal(512, 44100.0);
    for (const auto& [normalised, gain] : { std::pair<float, double> { 0.0f, 0.0 }, { 1.0f, 2.0 }, { 0.5f, 1.0 } })
    {
        SCOPED_TRACE(gain);
        auto p = makeProcessor();
        setHost(*p, 0, normalised);
        std::vector<float> out;
        runBlock(*p, signal.data(), 512, out);
        EXPECT_EQ(p->inputGain, gain);
        for (int i = 0; i < 512; ++i)
            ASSERT_EQ(p->inputBuffer->channel0[i], static_cast<double>(signal[static_cast<size_t>(i)]) * gain) << i;
        if (gain == 0.0) // the same as feeding silence
        {
            auto silent = makeProcessor();
            setHost(*silent, 0, 0.25f); // the same jobs, another gain
            const std::vector<float> zeros(512, 0.0f);
            std::vector<float> reference;
            runBlock(*silent, zeros.data(), 512, reference);
            EXPECT_TRUE(sameBits(out, reference));
        }
    }
}

TEST(ProcessorJobs, QualityReachesSamplerAndEngineInTheSameBlock)
{
    auto p = makeProcessor(2, 2, 48000.0);
    const auto signal = bassSignal(256, 48000.0);
    std::vector<float> out;

    runBlock(*p, signal.data(), 256, out); // takes up 48 kHz at once
    ASSERT_EQ(p->engine.fs, 96000.0);

    setHost(*p, 8, 1.0f);
    runBlock(*p, signal.data(), 256, out);
    EXPECT_EQ(p->sampler.factor, 4);
    EXPECT_EQ(p->engine.fs, 192000.0);
    EXPECT_FALSE(p->audioInfoDirty);
    EXPECT_EQ(queuedJobs(*p), 0u); // nothing left over for the next block

    setHost(*p, 8, 0.0f);
    runBlock(*p, signal.data(), 256, out);
    EXPECT_EQ(p->sampler.factor, 2);
    EXPECT_EQ(p->engine.fs, 96000.0);
    for (float y : out)
        ASSERT_TRUE(std::isfinite(y));
}

TEST(ProcessorJobs, NullAndForeignParametersChangeNothingButStillUpdate)
{
    auto p = makeProcessor();
    p->parameterCheck(nullptr);
    p->notifyParamChange(nullptr);
    EXPECT_EQ(queuedJobs(*p), 0u);

    libqor::Parameter foreign;
    foreign.InitDouble("KYM_input", "input", 0.0, 0.0, 2.0, 0.0001, "", 1.0); // IDs match case-sensitively
    p->notifyParamChange(&foreign);
    EXPECT_EQ(queuedJobs(*p), 1u);
    runEmptyBlock(*p);
    EXPECT_EQ(p->inputGain, 1.0);
    EXPECT_TRUE(p->consumeEditorRefreshRequest());
}

TEST(ProcessorJobs, EditorRefreshIsRequestedByTheChangesAndByTheirDrainAndConsumedOnce)
{
    auto p = makeProcessor();
    runEmptyBlock(*p);
    EXPECT_FALSE(p->consumeEditorRefreshRequest());
    setHost(*p, 3, 0.1f);
    setHost(*p, 4, 0.9f);
    EXPECT_TRUE(p->consumeEditorRefreshRequest()); // at once, with no audio running
    EXPECT_FALSE(p->consumeEditorRefreshRequest());
    runEmptyBlock(*p);
    EXPECT_TRUE(p->consumeEditorRefreshRequest());
    EXPECT_FALSE(p->consumeEditorRefreshRequest());
}

//==============================================================================
// Rate recheck

TEST(ProcessorRecheck, HostRateRules)
{
    struct Case
    {
        double hostRate;
        bool adopted;
    };
    const Case cases[] = {
        { 44100.0, false }, { 44150.0, false }, { 44050.0, false }, // 50 Hz exactly is not enough
        { 44150.5, true },  { 48000.0, true },  { 96000.0, true },  { 32000.0, true },   { 22050.0, true },
        { 8000.0, true },   { 384000.0, true }, { 7999.0, false },  { 384001.0, false }, // rates the engine cannot run at
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.hostRate);
        auto p = makeProcessor(2, 2, c.hostRate);
        runEmptyBlock(*p);
        EXPECT_EQ(p->currentSampleRate, c.adopted ? c.hostRate : 44100.0);
        // The engine follows in the same block, at the sampler's factor.
        EXPECT_EQ(p->engine.fs, p->currentSampleRate * p->sampler.factor);
        EXPECT_EQ(queuedJobs(*p), 0u);
    }
}

TEST(ProcessorRecheck, WithinFiftyHertzOnlyAQualityChangeTakesTheRateUp)
{
    auto p = makeProcessor(2, 2, 22050.0);
    runEmptyBlock(*p);
    ASSERT_EQ(p->currentSampleRate, 22050.0);

    p->setRateAndBufferSizeDetails(22080.0, 512);
    runEmptyBlock(*p);
    EXPECT_EQ(p->currentSampleRate, 22050.0);

    setHost(*p, 8, 1.0f);
    runEmptyBlock(*p);
    EXPECT_EQ(p->currentSampleRate, 22080.0);
    EXPECT_EQ(p->engine.fs, 88320.0); // 22080 x 4
    EXPECT_EQ(p->sampler.factor, 4);
}

TEST(ProcessorRecheck, WithoutAHostRateTheKnownRateIsKept)
{
    // A host that never set a rate reports 0: the engine must keep a real one.
    KymAudioProcessor p;
    ASSERT_EQ(p.getSampleRate(), 0.0);
    setHost(p, 8, 1.0f);
    runEmptyBlock(p);
    runEmptyBlock(p);
    EXPECT_EQ(p.currentSampleRate, 44100.0);
    EXPECT_EQ(p.engine.fs, 176400.0);

    p.setRateAndBufferSizeDetails(std::numeric_limits<double>::infinity(), 512);
    runEmptyBlock(p);
    setHost(p, 8, 0.0f);
    runEmptyBlock(p);
    runEmptyBlock(p);
    EXPECT_EQ(p.currentSampleRate, 44100.0);
    EXPECT_EQ(p.engine.fs, 88200.0);
}

//==============================================================================
// Audio road

// The road must be exactly gain, up slot, engine, down slot, float: compare
// with the same parts driven by hand.
TEST(ProcessorAudioRoad, MatchesThePartsDrivenByHand)
{
    for (const int quality : { 0, 1 })
    {
        SCOPED_TRACE(quality);
        auto p = makeProcessor(1, 1, 44100.0);
        setHost(*p, 0, 0.7f);
        setHost(*p, 2, 0.8f);
        setHost(*p, 8, static_cast<float>(quality));
        runEmptyBlock(*p);
        runEmptyBlock(*p);

        // The calls the processor made: construction, then the jobs for
        // Input, Drive and Quality (each ending with an update), then the
        // rate recheck, which sets the sampler's factor and the engine's rate.
        auto sampler = std::make_unique<libqor::blockUpDownsampling>();
        auto engine = std::make_unique<KYM>();
        const int factor = quality == 0 ? 2 : 4;
        sampler->setFactor(2);
        engine->updateSamplerate(88200.0);
        engine->updateParameters();
        engine->updateParameters();
        engine->setParameterSlot(KYM::Slot::drive, p->parameters[2]->value.load() / 10.0);
        engine->updateParameters();
        sampler->setFactor(factor);
        engine->updateParameters();
        sampler->setFactor(factor);
        engine->updateSamplerate(44100.0 * factor);

        const int n = 3000;
        const auto signal = bassSignal(n, 44100.0);
        const auto out = runInBlocks(*p, signal, 1000);

        std::vector<double> in(n), up(static_cast<size_t>(n * factor)), down(n);
        for (int i = 0; i < n; ++i)
            in[static_cast<size_t>(i)] = static_cast<double>(signal[static_cast<size_t>(i)]) * p->inputGain;
        (sampler.get()->*sampler->upSlot)(in.data(), up.data(), n);
        for (auto& s : up)
            s = engine->processSample(s);
        (sampler.get()->*sampler->downSlot)(up.data(), down.data(), n);

        double peak = 0.0;
        for (int i = 0; i < n; ++i)
        {
            ASSERT_EQ(out[static_cast<size_t>(i)], static_cast<float>(down[static_cast<size_t>(i)])) << i;
            peak = std::max(peak, std::abs(down[static_cast<size_t>(i)]));
        }
        EXPECT_GT(peak, 0.01); // the comparison saw real signal
    }
}

TEST(ProcessorAudioRoad, BlockCuttingDoesNotChangeTheOutput)
{
    const auto signal = bassSignal(41000, 44100.0);
    for (const int quality : { 0, 1 })
    {
        SCOPED_TRACE(quality);
        std::vector<float> reference;
        for (const int blockSize : { 20000, 8192, 512, 64, 7, 1 })
        {
            SCOPED_TRACE(blockSize);
            auto p = makeProcessor(1, 2, 44100.0);
            setHost(*p, 8, static_cast<float>(quality));
            runEmptyBlock(*p);
            runEmptyBlock(*p);
            std::vector<float> right;
            const auto left = runInBlocks(*p, signal, blockSize, &right);
            EXPECT_TRUE(sameBits(left, right));
            if (reference.empty())
                reference = left;
            else
                EXPECT_TRUE(sameBits(left, reference));
        }
    }
}

TEST(ProcessorAudioRoad, OneInTwoOutEqualsTwoInTwoOut)
{
    const auto signal = bassSignal(5000, 48000.0);
    auto mono = makeProcessor(1, 2, 48000.0);
    auto stereo = makeProcessor(2, 2, 48000.0);
    std::vector<float> monoRight, stereoRight;
    const auto monoLeft = runInBlocks(*mono, signal, 480, &monoRight, 0.0f);
    const auto stereoLeft = runInBlocks(*stereo, signal, 480, &stereoRight, 0.9f); // the second input is ignored
    EXPECT_TRUE(sameBits(monoLeft, monoRight));
    EXPECT_TRUE(sameBits(stereoLeft, stereoRight));
    EXPECT_TRUE(sameBits(monoLeft, stereoLeft));
}

TEST(ProcessorAudioRoad, OneInOneOutWritesOnlyItsChannel)
{
    auto p = makeProcessor(1, 1, 44100.0);
    const auto signal = bassSignal(300, 44100.0);
    std::vector<float> left, right;
    runBlock(*p, signal.data(), 300, left, &right, 0.25f);
    for (float y : right)
        ASSERT_EQ(y, 0.25f);
}

TEST(ProcessorAudioRoad, EmptyBlockWritesNothingButRunsJobs)
{
    auto p = makeProcessor();
    float left[4] = { 1.0f, 2.0f, 3.0f, 4.0f };
    float right[4] = { 5.0f, 6.0f, 7.0f, 8.0f };
    float* channels[2] = { left, right };
    juce::AudioBuffer<float> buffer(channels, 2, 0);
    juce::MidiBuffer midi;
    setHost(*p, 0, 1.0f);
    p->processBlock(buffer, midi);
    EXPECT_EQ(p->inputGain, 2.0);
    EXPECT_EQ(left[0], 1.0f);
    EXPECT_EQ(left[3], 4.0f);
    EXPECT_EQ(right[0], 5.0f);
}

TEST(ProcessorAudioRoad, BypassPassesTheBlockAndKeepsApplyingChanges)
{
    const auto signal = bassSignal(1024, 44100.0);
    auto p = makeProcessor(2, 2, 44100.0);
    setHost(*p, 7, 1.0f);

    juce::AudioBuffer<float> buffer(2, 1024);
    juce::MidiBuffer midi;
    std::memcpy(buffer.getWritePointer(0), signal.data(), sizeof(float) * 1024);
    for (int i = 0; i < 1024; ++i)
        buffer.setSample(1, i, -signal[static_cast<size_t>(i)]);
    p->processBlock(buffer, midi);
    ASSERT_TRUE(p->bypass);
    for (int i = 0; i < 1024; ++i)
    {
        ASSERT_EQ(buffer.getSample(0, i), signal[static_cast<size_t>(i)]);
        ASSERT_EQ(buffer.getSample(1, i), -signal[static_cast<size_t>(i)]);
    }

    // Changes made during bypass are in the engine when it goes off.
    setHost(*p, 2, 0.9f);
    setHost(*p, 8, 1.0f);
    runEmptyBlock(*p);
    runEmptyBlock(*p);
    EXPECT_EQ(p->engine.slots[KYM::Slot::drive].value, p->parameters[2]->value.load() / 10.0);
    EXPECT_EQ(p->engine.fs, 176400.0);
    EXPECT_EQ(p->sampler.factor, 4);

    // Going off, the circuit starts again from clear histories and, once its
    // input has risen from silence, plays as a fresh processor with the same
    // settings does.
    auto fresh = makeProcessor(2, 2, 44100.0);
    setHost(*fresh, 2, 0.9f);
    setHost(*fresh, 8, 1.0f);
    runEmptyBlock(*fresh);
    setHost(*p, 7, 0.0f);
    const auto tune = bassSignal(44100, 44100.0);
    const auto resumed = runInBlocks(*p, tune, 256);
    const auto expected = runInBlocks(*fresh, tune, 256);
    const SecondHalf h = secondHalfOf(resumed, expected);
    EXPECT_GT(h.peak, 1e-3f);
    EXPECT_LT(h.drift, 1e-4f * h.peak);
}

TEST(ProcessorAudioRoad, BypassOnOneInTwoOutFeedsTheSecondOutput)
{
    const auto signal = bassSignal(600, 44100.0);
    auto p = makeProcessor(1, 2, 44100.0);
    setHost(*p, 7, 1.0f);
    std::vector<float> left, right;
    runBlock(*p, signal.data(), 600, left, &right, 0.0f);
    EXPECT_TRUE(sameBits(left, signal));
    EXPECT_TRUE(sameBits(right, signal));
}

TEST(ProcessorAudioRoad, NonFiniteInputIsReadAsSilence)
{
    auto signal = bassSignal(4000, 44100.0);
    auto zeroed = signal;
    const size_t bad[] = { 10, 11, 500, 1999, 3000 };
    const float values[] = { std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::signaling_NaN() };
    for (size_t k = 0; k < 5; ++k)
    {
        signal[bad[k]] = values[k];
        zeroed[bad[k]] = 0.0f;
    }
    // Loud finite values and denormals pass untouched.
    signal[700] = zeroed[700] = 4.0f;
    signal[701] = zeroed[701] = -std::numeric_limits<float>::denorm_min();

    auto p = makeProcessor(1, 1, 44100.0);
    auto q = makeProcessor(1, 1, 44100.0);
    const auto out = runInBlocks(*p, signal, 512);
    EXPECT_TRUE(sameBits(out, runInBlocks(*q, zeroed, 512)));
    for (float y : out)
        ASSERT_TRUE(std::isfinite(y));
}

TEST(ProcessorAudioRoad, LongBlocksAtEveryFactorStayInsideTheBuffers)
{
    // Run under ASan: a 30000-frame block at factor 8 must not reach past the buffers.
    auto p = makeProcessor(2, 2, 44100.0);
    p->sampler.setFactor(8);
    const auto signal = bassSignal(30000, 44100.0);
    std::vector<float> left;
    runBlock(*p, signal.data(), 30000, left);
    for (float y : left)
        ASSERT_TRUE(std::isfinite(y));
}
