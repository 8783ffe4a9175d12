#include "test_processor_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace kymtest;

// The three kinds of thread at once: host automation and state saves, the
// editor's writes and refresh polling, and the audio road. Meant for TSan;
// the end state also shows that no job was lost or applied out of order.
TEST(ProcessorThreads, PostsFromEveryThreadMeetTheAudioRoad)
{
    auto p = makeProcessor(1, 2, 48000.0);
    const auto signal = bassSignal(256, 48000.0);
    std::atomic<bool> running { true };

    std::thread automation([&] {
        for (int k = 0; k < 20000; ++k)
        {
            setHost(*p, 2, static_cast<float>(k % 100) / 100.0f);
            setHost(*p, 8, static_cast<float>((k / 50) % 2));
            if (k % 200 == 0)
            {
                juce::MemoryBlock state;
                p->getStateInformation(state);
            }
        }
        setHost(*p, 2, 0.33f);
        setHost(*p, 8, 1.0f);
    });
    std::thread editor([&] {
        int refreshes = 0;
        for (int k = 0; k < 20000; ++k)
        {
            p->parameters[0]->SetNormalised(static_cast<double>(k % 50) / 50.0);
            p->parameters[4]->SetNormalised(static_cast<double>(k % 70) / 70.0);
            refreshes += p->consumeEditorRefreshRequest() ? 1 : 0;
        }
        p->parameters[0]->SetNormalised(0.75);
        p->parameters[4]->SetNormalised(0.2);
        (void) refreshes;
    });
    std::thread audio([&] {
        juce::AudioBuffer<float> buffer(2, 256);
        juce::MidiBuffer midi;
        while (running.load())
        {
            buffer.copyFrom(0, 0, signal.data(), 256);
            p->processBlock(buffer, midi);
        }
    });

    automation.join();
    editor.join();
    running = false;
    audio.join();

    runEmptyBlock(*p);
    runEmptyBlock(*p);
    EXPECT_EQ(p->inputGain, 1.5);
    EXPECT_EQ(p->engine.slots[4].value, p->parameters[2]->value.load() / 10.0);
    EXPECT_EQ(p->engine.slots[3].value, p->parameters[4]->value.load() / 10.0);
    EXPECT_EQ(p->sampler.factor, 4);
    EXPECT_EQ(p->engine.fs, 192000.0);
    EXPECT_EQ(p->messageQueue.size_approx(), 0u);
}
