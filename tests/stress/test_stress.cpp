// Two processors under every thread a host brings at once: the audio thread,
// host automation, state saves and loads, the message thread with the editor
// opening, closing and being played with, and the host inserting and removing
// further instances while it holds the lock its own parameter listener takes.
// Meant for ThreadSanitizer; in every build the output must stay finite and,
// once the threads stop, nothing any of them changed may be missing from the
// engines or the editor.

#include "plugin/KymAudioProcessor.h"
#include "plugin/KymAudioProcessorEditor.h"
#include "plugin/KymParameterTable.h"
#include "plugin/test_processor_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace juce
{
// One step of the Linux message loop; the public loop with a time limit is
// only there when modal loops are permitted.
bool dispatchNextMessageOnSystemQueue(bool returnIfNoPendingMessages);
} // namespace juce

namespace
{

using Clock = std::chrono::steady_clock;

// The message loop for about ms milliseconds: messages, timers, async updates.
void pumpMessagesFor(int ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    do
    {
        while (juce::dispatchNextMessageOnSystemQueue(true))
        {}
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    } while (Clock::now() < end);
}

// Long enough for thousands of blocks and dozens of editor lifetimes, short
// enough for CI (the sanitizer builds run it too).
constexpr auto stressDuration = std::chrono::milliseconds(3000);

constexpr int blockSizes[] = { 0, 1, 7, 512, 8192, 9000 };
constexpr double hostRates[] = { 22050.0, 44100.0, 48000.0, 88200.0, 96000.0, 176400.0, 192000.0 };
constexpr int largestBlock = 9000;

// Values a host can send besides ordinary ones.
const float awkwardHostValues[] = {
    0.0f,
    1.0f,
    0.5f,
    -0.25f,
    1.75f,
    1e30f,
    -1e30f,
    1e-40f,
    std::numeric_limits<float>::infinity(),
    -std::numeric_limits<float>::infinity(),
    std::numeric_limits<float>::quiet_NaN(),
};

// The host's parameter order, from the plug-in's own table.
using namespace kym;

// Engine slot fed by each of the six engine parameters (Level .. Blend).
constexpr int engineSlotOf[7] = {
    -1, KYM::Slot::level, KYM::Slot::drive, KYM::Slot::bass, KYM::Slot::treble, KYM::Slot::presence, KYM::Slot::blend,
};

float randomHostValue(std::mt19937& rng)
{
    std::uniform_int_distribution<int> pick(0, 3);
    if (pick(rng) == 0)
    {
        std::uniform_int_distribution<size_t> which(0, std::size(awkwardHostValues) - 1);
        return awkwardHostValues[which(rng)];
    }
    return std::uniform_real_distribution<float>(0.0f, 1.0f)(rng);
}

// JUCE 7's VST3 wrapper: a value that differs from the slot's reaches the
// processor through setValueNotifyingHost, from the controller thread while
// stopped and from the audio thread (inside process) while playing.
void automate(KymAudioProcessor& p, int index, float value)
{
    auto* slot = p.getParameters()[index];
    if (slot->getValue() != value)
        slot->setValueNotifyingHost(value);
}

bool isValidRecord(const juce::MemoryBlock& record)
{
    if (record.getSize() < 9)
        return false;
    const auto* bytes = static_cast<const uint8_t*>(record.getData());
    const uint32_t magic = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | ((uint32_t) bytes[3] << 24);
    const uint32_t length = bytes[4] | (bytes[5] << 8) | (bytes[6] << 16) | ((uint32_t) bytes[7] << 24);
    return magic == KymAudioProcessor::stateMagic && length == record.getSize() - 9 && bytes[record.getSize() - 1] == 0;
}

// A record as a host might hand back a damaged one.
juce::MemoryBlock damaged(const juce::MemoryBlock& good, std::mt19937& rng)
{
    juce::MemoryBlock bad(good);
    auto* bytes = static_cast<uint8_t*>(bad.getData());
    switch (std::uniform_int_distribution<int>(0, 2)(rng))
    {
    case 0:
        bad.setSize(bad.getSize() / 2);
        break;
    case 1:
        bytes[0] ^= 0xff;
        break;
    default:
        for (size_t i = 8; i < bad.getSize(); i += 7)
            bytes[i] = (uint8_t) rng();
        break;
    }
    return bad;
}

class Wrapper
{
public:
    explicit Wrapper(KymAudioProcessor& processor) : p(processor) {}
    ~Wrapper() { close(); }

    void open()
    {
        if (editor == nullptr)
        {
            editor = dynamic_cast<KymAudioProcessorEditor*>(p.createEditorIfNeeded());
            opens += editor != nullptr ? 1 : 0;
        }
    }

    // As a wrapper closes the window: tell the processor, then delete.
    void close()
    {
        if (editor != nullptr)
        {
            p.editorBeingDeleted(editor);
            delete editor;
            editor = nullptr;
        }
    }

    // What a user's hands do to the controls.
    void play(std::mt19937& rng)
    {
        using juce::Slider;
        Slider* knobs[] = { editor->inputBar.get(),    editor->levelKnob.get(), editor->driveKnob.get(),
                            editor->lowKnob.get(),     editor->highKnob.get(),  editor->blendKnob.get(),
                            editor->presenceKnob.get() };
        const int which = std::uniform_int_distribution<int>(0, 8)(rng);
        if (which < 7)
            knobs[which]->setValue(std::uniform_real_distribution<double>(0.0, 1.0)(rng), juce::sendNotificationSync);
        else if (which == 7)
            editor->qualitySwitch->setValue(editor->qualitySwitch->getValue() < 0.5 ? 1.0 : 0.0,
                                            juce::sendNotificationSync);
        else
        {
            // A press of the footswitch: down notifies later, up silently.
            editor->footswitch->setValue(1.0, juce::sendNotificationAsync);
            editor->footswitch->setValue(0.0, juce::dontSendNotification);
        }
    }

    KymAudioProcessor& p;
    KymAudioProcessorEditor* editor = nullptr;
    int opens = 0;
};

// One host block as a wrapper runs it: under the callback lock, the rate set
// just before.
void runHostBlock(KymAudioProcessor& p, juce::AudioBuffer<float>& storage, int n, double rate)
{
    juce::MidiBuffer midi;
    const juce::ScopedLock lock(p.getCallbackLock());
    p.setRateAndBufferSizeDetails(rate, n);
    juce::AudioBuffer<float> block(storage.getArrayOfWritePointers(), storage.getNumChannels(), n);
    p.processBlock(block, midi);
}

// The audio side against what the parameters' final values map to; a
// reference engine supplies the slots' tapers.
void expectEngineFollowsParameters(KymAudioProcessor& p)
{
    const auto value = [&](int i) { return p.parameters[i]->value.load(); };
    EXPECT_EQ(p.messageQueue.size_approx(), 0u);
    EXPECT_EQ(p.messageQueue.lostJobs(), 0);
    EXPECT_EQ(p.inputGain, value(inputIndex));
    EXPECT_EQ(p.bypass, value(bypassIndex) >= 0.5);
    const double factor = value(qualityIndex) >= 0.5 ? 4.0 : 2.0;
    EXPECT_EQ(p.oversamplingFactor, factor);
    EXPECT_EQ(p.sampler.factor, (int) factor);
    EXPECT_EQ(p.currentSampleRate, 48000.0);
    EXPECT_EQ(p.engine.fs, 48000.0 * factor);
    KYM reference;
    for (int i = levelIndex; i <= blendIndex; ++i)
    {
        const int slot = engineSlotOf[i];
        reference.setParameterSlot(slot, value(i) / 10.0);
        EXPECT_EQ(p.engine.slots[slot].value, reference.slots[slot].value) << p.parameters[i]->name;
        EXPECT_EQ(p.engine.slots[slot].changed, 0) << p.parameters[i]->name;
    }
}

} // namespace

TEST(Stress, EveryThreadAtOnceLosesNoChangeAndKeepsTheOutputFinite)
{
    juce::ScopedJuceInitialiser_GUI gui;
    std::mutex hostLock;
    auto p = kymtest::makeProcessor(1, 2, 48000.0);
    auto second = kymtest::makeProcessor(2, 2, 48000.0);
    // The wrapper and the host behind it listen to each instance.
    kymtest::LockingListener listener(hostLock), secondListener(hostLock);
    p->addListener(&listener);
    second->addListener(&secondListener);
    KymAudioProcessor* const instances[] = { p.get(), second.get() };

    std::atomic<bool> stop { false };
    std::atomic<long> blocksRun { 0 }, processedBlocks { 0 }, nonFinite { 0 };
    std::atomic<long> hostChanges { 0 }, stateLoads { 0 }, badRecords { 0 }, insertions { 0 };

    std::thread audio([&] {
        std::mt19937 rng(1);
        const auto signal = kymtest::bassSignal(4 * largestBlock, 48000.0, 0.9f);
        juce::AudioBuffer<float> storage[2] = { { 2, largestBlock }, { 2, largestBlock } };
        size_t offset = 0;
        for (long k = 0; !stop.load(); ++k)
        {
            const int n = blockSizes[k % std::size(blockSizes)];
            const double rate = hostRates[(k / 5) % std::size(hostRates)];
            if (offset + (size_t) n > signal.size())
                offset = 0;

            if (k % 4 == 0)
            {
                // Automation that arrives with the host's process call.
                auto& target = *instances[(k / 4) % 2];
                const juce::ScopedLock lock(target.getCallbackLock());
                automate(target, std::uniform_int_distribution<int>(0, 8)(rng), randomHostValue(rng));
                hostChanges.fetch_add(1);
            }

            // One host graph: both instances in turn, each on the wrapper's
            // copy of the host input (its second channel is an output only).
            for (int s = 0; s < 2; ++s)
            {
                std::memcpy(storage[s].getWritePointer(0), signal.data() + offset, sizeof(float) * (size_t) n);
                storage[s].clear(1, 0, largestBlock);
                runHostBlock(*instances[s], storage[s], n, rate);
                for (int c = 0; c < 2; ++c)
                    for (int i = 0; i < n; ++i)
                        if (!std::isfinite(storage[s].getSample(c, i)))
                            nonFinite.fetch_add(1);
                blocksRun.fetch_add(1);
                processedBlocks.fetch_add(instances[s]->bypass || n == 0 ? 0 : 1);
            }
            offset += (size_t) n;
        }
    });

    std::thread host([&] {
        std::mt19937 rng(2);
        for (long k = 0; !stop.load(); ++k)
        {
            // Single moves and whole-preset bursts, at a host's pace.
            auto& target = *instances[std::uniform_int_distribution<int>(0, 1)(rng)];
            if (std::uniform_int_distribution<int>(0, 9)(rng) == 0)
                for (int i = 0; i < 9; ++i)
                    automate(target, i, randomHostValue(rng));
            else
                automate(target, std::uniform_int_distribution<int>(0, 8)(rng), randomHostValue(rng));
            hostChanges.fetch_add(1);

            // Now and then the user inserts an instance and takes it out
            // again; the host holds its lock meanwhile.
            if (k % 64 == 63)
            {
                const std::lock_guard<std::mutex> guard(hostLock);
                auto inserted = kymtest::makeProcessor(1, 2, 48000.0);
                automate(*inserted, driveIndex, randomHostValue(rng));
                inserted.reset();
                insertions.fetch_add(1);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(20, 400)(rng)));
        }
    });

    std::thread state([&] {
        std::mt19937 rng(3);
        std::vector<juce::MemoryBlock> saved;
        for (long k = 0; !stop.load(); ++k)
        {
            // Records of either instance load into either.
            auto& target = *instances[k % 2];
            juce::MemoryBlock record;
            target.getStateInformation(record);
            if (!isValidRecord(record))
                badRecords.fetch_add(1);
            saved.push_back(record);
            if (saved.size() > 8)
                saved.erase(saved.begin());

            const auto& pick = saved[std::uniform_int_distribution<size_t>(0, saved.size() - 1)(rng)];
            if (std::uniform_int_distribution<int>(0, 3)(rng) == 0)
            {
                const auto bad = damaged(pick, rng);
                target.setStateInformation(bad.getData(), (int) bad.getSize());
            }
            else
                target.setStateInformation(pick.getData(), (int) pick.getSize());
            stateLoads.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });

    // This thread is the message thread.
    Wrapper wrapper(*p);
    {
        std::mt19937 rng(4);
        const auto end = Clock::now() + stressDuration;
        while (Clock::now() < end)
        {
            const int action = std::uniform_int_distribution<int>(0, 19)(rng);
            if (wrapper.editor == nullptr)
            {
                if (action < 6)
                    wrapper.open();
            }
            else if (action == 0)
                wrapper.close();
            else
                wrapper.play(rng);
            pumpMessagesFor(2);
        }
    }

    stop = true;
    audio.join();
    host.join();
    state.join();

    // A footswitch press may still be on its way to the editor. Then the
    // last changes may be queued: one block takes them up, its recheck
    // giving the sampler and the engine a new Quality's factor and rate, and
    // the glides they start end a few blocks later.
    pumpMessagesFor(10);
    wrapper.open();
    ASSERT_NE(wrapper.editor, nullptr);
    juce::AudioBuffer<float> storage(2, 512);
    for (auto* instance : instances)
        for (int k = 0; k < 2 || (instance->glidesMoving() && k < 1000); ++k)
        {
            storage.clear();
            runHostBlock(*instance, storage, 512, 48000.0);
        }
    // Long enough for a few of the editor's refresh polls.
    pumpMessagesFor(8 * KymAudioProcessorEditor::refreshPollMs);

    std::printf("stress: %ld blocks (%ld processed), %ld host changes, %ld state loads, %d editor openings, "
                "%ld insertions\n",
                blocksRun.load(), processedBlocks.load(), hostChanges.load(), stateLoads.load(), wrapper.opens,
                insertions.load());
    EXPECT_EQ(nonFinite.load(), 0);
    EXPECT_EQ(badRecords.load(), 0);
    // Floors a loaded sanitizer build still clears: every thread did its part.
    EXPECT_GT(processedBlocks.load(), 20);
    EXPECT_GT(hostChanges.load(), 500);
    EXPECT_GT(stateLoads.load(), 20);
    EXPECT_GT(wrapper.opens, 5);
    EXPECT_GT(insertions.load(), 5);
    EXPECT_GT(listener.calls.load(), 0);
    EXPECT_GT(secondListener.calls.load(), 0);

    for (auto* instance : instances)
    {
        SCOPED_TRACE(instance == p.get() ? "first instance" : "second instance");
        expectEngineFollowsParameters(*instance);
    }

    // The open editor shows the final values (controls snap to a 0.001 grid).
    auto* e = wrapper.editor;
    const juce::Slider* controls[] = { e->inputBar.get(),     e->levelKnob.get(),
                                       e->driveKnob.get(),    e->lowKnob.get(),
                                       e->highKnob.get(),     e->presenceKnob.get(),
                                       e->blendKnob.get(),    nullptr,
                                       e->qualitySwitch.get() };
    for (int i = 0; i < 9; ++i)
        if (controls[i] != nullptr)
            EXPECT_NEAR(controls[i]->getValue(), p->parameters[i]->GetNormalised(), 0.0005) << p->parameters[i]->name;
    EXPECT_EQ(e->lamp->getValue(), 1.0 - p->parameters[bypassIndex]->GetNormalised());

    wrapper.close();
    p->removeListener(&listener);
    second->removeListener(&secondListener);
}
