#include "test_processor_support.h"

#include "NotificationGate.h"
#include "Watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

using namespace kymtest;
using qortest::Watchdog;
using namespace std::chrono_literals;

namespace
{

using Gate = qortest::NotificationGate;

struct Bystander : libqor::ParamObserver
{
    void notifyParamChange(libqor::Parameter*) override {}
    void parameterCheck(libqor::Parameter*) override {}
};

} // namespace

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

    // The last jobs, and the glides they start to their ends.
    runEmptyBlock(*p);
    std::vector<float> out;
    for (int k = 0; k < 100 && p->glidesMoving(); ++k)
        runBlock(*p, signal.data(), 256, out);
    EXPECT_FALSE(p->glidesMoving());
    EXPECT_EQ(p->inputGain, 1.5);
    EXPECT_EQ(p->engine.slots[KYM::Slot::drive].value, p->parameters[2]->value.load() / 10.0);
    EXPECT_EQ(p->engine.slots[KYM::Slot::treble].value, p->parameters[4]->value.load() / 10.0);
    EXPECT_EQ(p->sampler.factor, 4);
    EXPECT_EQ(p->engine.fs, 192000.0);
    EXPECT_EQ(p->messageQueue.size_approx(), 0u);
}

// The host holds its lock while it inserts and removes an instance; its
// listener takes the same lock while another instance is automated on two
// threads. Building or destroying an instance must not wait for that
// instance's notifications.
TEST(ProcessorThreads, InstanceBuiltAndDestroyedUnderTheHostLockWhileAnotherIsAutomated)
{
    std::mutex hostLock;
    LockingListener listener(hostLock);
    auto automated = makeProcessor(1, 2, 44100.0);
    automated->addListener(&listener);

    std::atomic<bool> stop { false };
    const auto automate = [&](int first) {
        for (int k = 0; !stop.load(); ++k)
            setHost(*automated, (first + k) % 9, static_cast<float>(k % 10) / 10.0f);
    };
    std::thread automation1(automate, 0);
    std::thread automation2(automate, 4);
    std::thread audio([&] {
        while (!stop.load())
            runEmptyBlock(*automated);
    });
    while (listener.calls.load() < 100)
        std::this_thread::yield();

    {
        Watchdog watchdog("building and destroying an instance under the host lock", 60s);
        for (int round = 0; round < 5; ++round)
        {
            const std::lock_guard<std::mutex> guard(hostLock);
            // Both automation threads come to wait on the lock inside a notification.
            std::this_thread::sleep_for(5ms);
            auto inserted = std::make_unique<KymAudioProcessor>();
            setHost(*inserted, 2, 0.7f);
            inserted.reset();
        }
    }

    stop = true;
    automation1.join();
    automation2.join();
    audio.join();
    automated->removeListener(&listener);
}

// A notification of Drive is held inside an observer. Every edit that cannot
// reach that call returns at once; removing the observer being called waits
// for its call to end.
TEST(ProcessorThreads, NotificationHeldOpenHoldsUpOnlyTheRemovalOfItsObserver)
{
    auto p = makeProcessor();
    Gate gate;
    auto* drive = p->parameters[2];
    drive->AddObserver(&gate);
    std::thread writer([&] { drive->SetNormalised(0.9); });
    gate.waitUntilInside(1);

    {
        Watchdog watchdog("observer edits beside a notification held open", 60s);
        Bystander bystander;
        for (auto* parameter : p->parameters)
        {
            parameter->AddObserver(&bystander);
            if (parameter != drive)
                parameter->SetNormalised(0.3);
            parameter->RemoveObserver(&bystander);
        }
        auto another = makeProcessor();
        setHost(*another, 2, 0.2f);
        runEmptyBlock(*another);
        another.reset();
    }

    std::atomic<bool> removed { false };
    std::thread remover([&] {
        drive->RemoveObserver(&gate);
        removed = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(removed.load()) << "returned while its observer was still being called";

    gate.release();
    writer.join();
    remover.join();
    EXPECT_TRUE(removed.load());
    ASSERT_EQ(drive->observers.size(), 2);
}

namespace
{

// Stops the first post that the message thread makes, inside the post.
struct PostStop
{
    static void hold(void* context)
    {
        auto* self = static_cast<PostStop*>(context);
        if (std::this_thread::get_id() != self->messageThread.load())
            return;
        std::unique_lock<std::mutex> lock(self->mutex);
        if (self->stopped)
            return;
        self->stopped = true;
        self->changed.notify_all();
        self->changed.wait(lock, [self] { return self->resumed; });
    }

    void waitUntilStopped()
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return stopped; });
    }

    void resume()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            resumed = true;
        }
        changed.notify_all();
    }

    std::atomic<std::thread::id> messageThread {};
    std::mutex mutex;
    std::condition_variable changed;
    bool stopped = false;
    bool resumed = false;
};

// A parameter change as the VST3 wrapper makes it on its audio thread.
void setOnAudioThread(KymAudioProcessor& p, int index, float value)
{
    p.getParameters()[index]->setValueNotifyingHost(value);
}

} // namespace

// The message thread is stopped inside its post, holding the lock the other
// threads' posts share. The audio thread's blocks and its own posts go on;
// once the message thread moves again, every job runs in posting order.
TEST(ProcessorThreads, MessageThreadStoppedInsideItsPostHoldsUpNoBlock)
{
    auto p = makeProcessor(1, 2, 44100.0);
    PostStop stop;
    p->messageQueue.insideOthersPost = &PostStop::hold;
    p->messageQueue.insideOthersPostContext = &stop;
    const auto signal = bassSignal(256, 44100.0);
    std::vector<float> out;
    runBlock(*p, signal.data(), 256, out); // this thread is the audio thread from now on
    const double levelBefore = p->engine.slots[KYM::Slot::level].value;

    std::thread message([&] {
        stop.messageThread = std::this_thread::get_id();
        p->parameters[1]->SetNormalised(0.3); // Level, from the editor
    });
    stop.waitUntilStopped();
    std::thread host([&] { setHost(*p, 3, 0.8f); }); // Low: waits behind the message thread

    {
        Watchdog watchdog("audio blocks beside a stopped post", 60s);
        for (int k = 0; k < 40; ++k)
        {
            setOnAudioThread(*p, 0, static_cast<float>(k % 8) / 8.0f);
            runBlock(*p, signal.data(), 256, out);
            EXPECT_EQ(p->glides[kym::inputIndex].target(), p->parameters[0]->value.load()) << "block " << k;
        }
    }
    EXPECT_EQ(p->engine.slots[KYM::Slot::level].value, levelBefore); // Level's job is not posted yet

    setOnAudioThread(*p, 4, 0.9f); // High, before the message thread moves on
    stop.resume();
    message.join();
    host.join();
    setOnAudioThread(*p, 5, 0.1f); // Presence, after every other post

    const libqor::Parameter* expected[] = { p->parameters[4], p->parameters[1], p->parameters[3], p->parameters[5] };
    EXPECT_EQ(p->messageQueue.size_approx(), std::size(expected));
    for (const auto* parameter : expected)
    {
        Job job;
        ASSERT_TRUE(p->messageQueue.try_dequeue(job));
        EXPECT_EQ(job.parameter, parameter) << "expected " << parameter->name << ", got " << job.parameter->name;
    }
    Job job;
    EXPECT_FALSE(p->messageQueue.try_dequeue(job));
    EXPECT_EQ(p->messageQueue.lostJobs(), 0);
}

// Between two blocks the VST3 wrapper may set parameters on the audio thread
// far more often than the audio thread's ring holds (a host that stops
// calling the processor, say). None of the changes may be lost: each
// parameter keeps one job waiting, which applies its latest value.
TEST(ProcessorThreads, AudioThreadPostsBeyondItsRingLoseNoChange)
{
    auto p = makeProcessor(2, 2, 44100.0);
    runEmptyBlock(*p);
    const int rounds = static_cast<int>(JobQueue::audioCapacity);
    for (int k = 0; k < rounds; ++k)
        for (int i = 0; i < 7; ++i)
            setOnAudioThread(*p, i, static_cast<float>((k + i) % 10) / 10.0f + 0.05f);
    setOnAudioThread(*p, 8, 1.0f);
    EXPECT_EQ(p->messageQueue.size_approx(), 8u);

    runEmptyBlock(*p); // the jobs, and the rate of the new Quality with them
    runEmptyBlock(*p);
    EXPECT_EQ(p->messageQueue.size_approx(), 0u);
    EXPECT_EQ(p->messageQueue.lostJobs(), 0);
    EXPECT_EQ(p->inputGain, p->parameters[0]->value.load());
    // The slot each of Input (none), Level, Drive, Low, High, Presence and Blend feeds.
    using Slot = KYM::Slot;
    const int engineSlot[7] = { -1, Slot::level, Slot::drive, Slot::bass, Slot::treble, Slot::presence, Slot::blend };
    for (int i = 1; i < 7; ++i)
    {
        KYM reference;
        reference.setParameterSlot(engineSlot[i], p->parameters[i]->value.load() / 10.0);
        EXPECT_EQ(p->engine.slots[engineSlot[i]].value, reference.slots[engineSlot[i]].value) << i;
    }
    EXPECT_EQ(p->sampler.factor, 4);
    EXPECT_EQ(p->engine.fs, 4.0 * 44100.0);
}

// The queue itself, past its ring: jobs the audio thread posts beyond the
// ring's room wait in the spill area, one per parameter, and none is lost.
TEST(ProcessorThreads, AudioThreadRingOverflowSpillsOnePerParameter)
{
    auto p = makeProcessor(2, 2, 44100.0);
    runEmptyBlock(*p); // this thread is the audio thread from now on
    const int rounds = static_cast<int>(JobQueue::audioCapacity);
    for (int k = 0; k < rounds; ++k)
        for (int i = 0; i < 7; ++i)
            p->post(Job::forParameter(p.get(), p->parameters[i]));
    p->post(Job::forParameter(p.get(), p->parameters[8]));
    // The ring is full; what spilled holds one job per parameter.
    EXPECT_EQ(p->messageQueue.size_approx(), JobQueue::audioCapacity + 8);

    runEmptyBlock(*p);
    EXPECT_EQ(p->messageQueue.size_approx(), 0u);
    EXPECT_EQ(p->messageQueue.lostJobs(), 0);
}
