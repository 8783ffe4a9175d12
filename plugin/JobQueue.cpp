#include "plugin/JobQueue.h"

#include <algorithm>

static_assert(std::atomic<std::thread::id>::is_always_lock_free, "the audio thread's post must not lock");
static_assert((JobQueue::audioCapacity & (JobQueue::audioCapacity - 1)) == 0, "ring positions wrap by mask");

JobQueue::JobQueue() : ring(std::make_unique<Posted[]>(audioCapacity)) {}

JobQueue::~JobQueue() = default;

void JobQueue::post(const Job& job) noexcept
{
    if (audioThread.load(std::memory_order_acquire) == std::this_thread::get_id()
        && !audioSideBusy.exchange(true, std::memory_order_acquire))
    {
        postFromAudioThread(job);
        audioSideBusy.store(false, std::memory_order_release);
        return;
    }
    postFromOtherThread(job);
}

void JobQueue::postFromAudioThread(const Job& job) noexcept
{
    const uint64_t othersBefore = othersPosted.load(std::memory_order_acquire);
    // Behind spilled jobs, a new one waits with them, or it would overtake them.
    if (spilledCount == 0 && pushToRing({ job, othersBefore }))
        return;
    spill(job, othersBefore);
}

void JobQueue::postFromOtherThread(const Job& job) noexcept
{
    const std::lock_guard<std::mutex> lock(othersLock);
    if (insideOthersPost != nullptr)
        insideOthersPost(insideOthersPostContext);
    if (!others.try_enqueue(job) && !others.enqueue(job))
    {
        lost.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    othersPosted.store(othersPosted.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

void JobQueue::spill(const Job& job, uint64_t othersBefore) noexcept
{
    // The parameter's job already waiting will read the newest value.
    for (size_t i = 0; i < spilledCount; ++i)
    {
        const Job& waiting = spilled[i].job;
        if (waiting.processor == job.processor && waiting.kind == job.kind && waiting.parameter == job.parameter)
            return;
    }

    if (spilledCount == spillCapacity)
    {
        lost.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    spilled[spilledCount++] = { job, othersBefore };
    spilledWaiting.store(spilledCount, std::memory_order_release);
}

bool JobQueue::pushToRing(const Posted& posted) noexcept
{
    const uint64_t tail = ringTail.load(std::memory_order_relaxed);
    if (tail - ringHead.load(std::memory_order_acquire) == audioCapacity)
        return false;
    ring[tail & (audioCapacity - 1)] = posted;
    ringTail.store(tail + 1, std::memory_order_release);
    return true;
}

void JobQueue::beginDrain() noexcept
{
    const auto self = std::this_thread::get_id();
    if (audioThread.load(std::memory_order_relaxed) != self)
        audioThread.store(self, std::memory_order_release);
}

// Spilled jobs are younger than everything in the ring, so they join at its end.
void JobQueue::refillFromSpill() noexcept
{
    if (spilledWaiting.load(std::memory_order_acquire) == 0)
        return;
    // A post is writing the audio side: the spilled jobs wait for the next call.
    if (audioSideBusy.exchange(true, std::memory_order_acquire))
        return;

    size_t moved = 0;
    while (moved < spilledCount && pushToRing(spilled[moved]))
        ++moved;
    std::move(spilled + moved, spilled + spilledCount, spilled);
    spilledCount -= moved;
    spilledWaiting.store(spilledCount, std::memory_order_release);
    audioSideBusy.store(false, std::memory_order_release);
}

// The side whose oldest job was posted first. A ring job goes once every job
// the others had posted before it has been taken.
JobQueue::Side JobQueue::next() noexcept
{
    refillFromSpill();
    const uint64_t head = ringHead.load(std::memory_order_relaxed);
    const bool ringHasOne = head != ringTail.load(std::memory_order_acquire);
    if (ringHasOne && ring[head & (audioCapacity - 1)].othersBefore <= othersTaken)
        return Side::ring;
    if (others.peek() != nullptr)
        return Side::others;
    return ringHasOne ? Side::ring : Side::none;
}

void JobQueue::popRing() noexcept
{
    ringHead.store(ringHead.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

bool JobQueue::try_dequeue(Job& job) noexcept
{
    switch (next())
    {
    case Side::ring:
        job = ring[ringHead.load(std::memory_order_relaxed) & (audioCapacity - 1)].job;
        popRing();
        return true;
    case Side::others:
        others.try_dequeue(job);
        ++othersTaken;
        return true;
    case Side::none:
        break;
    }
    return false;
}

Job* JobQueue::peek() noexcept
{
    switch (next())
    {
    case Side::ring:
        return &ring[ringHead.load(std::memory_order_relaxed) & (audioCapacity - 1)].job;
    case Side::others:
        return others.peek();
    case Side::none:
        break;
    }
    return nullptr;
}

bool JobQueue::pop() noexcept
{
    switch (next())
    {
    case Side::ring:
        popRing();
        return true;
    case Side::others:
        others.pop();
        ++othersTaken;
        return true;
    case Side::none:
        break;
    }
    return false;
}

size_t JobQueue::size_approx() const noexcept
{
    const uint64_t inRing = ringTail.load(std::memory_order_acquire) - ringHead.load(std::memory_order_acquire);
    return others.size_approx() + static_cast<size_t>(inRing) + spilledWaiting.load(std::memory_order_acquire);
}

size_t JobQueue::max_capacity() const noexcept
{
    return others.max_capacity();
}
