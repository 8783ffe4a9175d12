#pragma once

#include "plugin/Job.h"

// The queue publishes its slots with standalone fences, which TSan cannot
// see; it annotates them itself only where __has_feature exists (clang), so
// give GCC's TSan builds the same annotations.
#if defined(__SANITIZE_THREAD__) && !defined(AE_TSAN_ANNOTATE_RELEASE)
namespace moodycamel
{
inline int ae_tsan_global;
}
extern "C" void AnnotateHappensBefore(const char*, int, void*);
extern "C" void AnnotateHappensAfter(const char*, int, void*);
#define AE_TSAN_ANNOTATE_RELEASE() AnnotateHappensBefore(__FILE__, __LINE__, (void*) (&::moodycamel::ae_tsan_global))
#define AE_TSAN_ANNOTATE_ACQUIRE() AnnotateHappensAfter(__FILE__, __LINE__, (void*) (&::moodycamel::ae_tsan_global))
#endif
#include <readerwriterqueue/readerwriterqueue.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

// The processor's jobs on their way to the audio thread: one consumer, the
// audio thread, and producers on every thread, the audio thread among them.
//
// The audio thread never waits for another one, so it posts into a ring of
// its own, fixed in size and allocated up front. Every other thread posts into
// a queue that grows as needed, one post at a time under a lock. Each job in
// the ring notes how many of the others' jobs had been posted before it, and
// the drain takes from the two in that order, so jobs run in posting order.
//
// "The audio thread" is the thread that began the latest drain. The processor
// drains at the start of every block, so a wrapper that sets parameters on its
// audio thread between blocks (the VST3 one does, during playback) posts into
// the ring from its second block on. A thread that is wrongly taken for the
// audio thread (a host that changed threads) only posts into the ring too; a
// flag keeps the ring to one writer at a time, and a post that finds it raised
// goes the others' way.
//
// A full ring does not lose jobs: further posts from the audio thread wait in
// a small spill area, which keeps one job per parameter (a parameter job reads
// its value when it runs, so one more for the same parameter adds nothing),
// and the drain moves them into the ring as room appears.
// Only a post that finds both full, or a growth of the others' queue that finds
// no memory, is dropped, and counted in lostJobs().
class JobQueue
{
public:
    static constexpr size_t audioCapacity = 512;
    static constexpr size_t spillCapacity = 16;

    JobQueue();
    ~JobQueue();

    // Any thread. On the audio thread: wait-free, no allocation, no lock.
    void post(const Job& job) noexcept;

    // Consumer side: the audio thread, one drain at a time.
    void beginDrain() noexcept;
    bool try_dequeue(Job& job) noexcept;
    Job* peek() noexcept;
    bool pop() noexcept;

    // Jobs waiting, counting every side; exact only while nobody posts.
    size_t size_approx() const noexcept;
    // Jobs the others' queue takes before it must grow.
    size_t max_capacity() const noexcept;
    long lostJobs() const noexcept { return lost.load(std::memory_order_relaxed); }

    // For tests: called by a post from any thread but the audio thread, under
    // the others' lock, before its job is queued. Set it before the threads
    // that post start; the plug-in leaves it null.
    void (*insideOthersPost)(void* context) = nullptr;
    void* insideOthersPostContext = nullptr;

private:
    struct Posted
    {
        Job job;
        uint64_t othersBefore = 0; // others' posts complete when this one was made
    };

    enum class Side
    {
        none,
        ring,
        others
    };

    void postFromAudioThread(const Job& job) noexcept;
    void postFromOtherThread(const Job& job) noexcept;
    void spill(const Job& job, uint64_t othersBefore) noexcept;
    void refillFromSpill() noexcept;
    bool pushToRing(const Posted& posted) noexcept;
    Side next() noexcept;
    void popRing() noexcept;

    // The audio side. Written by the holder of audioSideBusy: the posting
    // audio thread, or the drain when it moves spilled jobs into the ring.
    std::atomic<std::thread::id> audioThread {};
    std::atomic<bool> audioSideBusy { false };
    std::unique_ptr<Posted[]> ring;
    std::atomic<uint64_t> ringHead { 0 }; // next to run; the drain's
    std::atomic<uint64_t> ringTail { 0 }; // next to fill
    Posted spilled[spillCapacity];
    size_t spilledCount = 0;
    std::atomic<size_t> spilledWaiting { 0 };

    // Everyone else's side.
    std::mutex othersLock;
    moodycamel::ReaderWriterQueue<Job, 512> others;
    std::atomic<uint64_t> othersPosted { 0 };
    uint64_t othersTaken = 0; // the drain's

    std::atomic<long> lost { 0 };

    JobQueue(const JobQueue&) = delete;
    JobQueue& operator=(const JobQueue&) = delete;
};
