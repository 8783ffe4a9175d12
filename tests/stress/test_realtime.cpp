// The audio road is real-time safe once it has run one block: while another
// thread keeps changing parameters, processBlock allocates nothing, frees
// nothing, takes no lock and never waits. So does a parameter change made on
// the audio thread between blocks, as the VST3 wrapper makes it during
// playback, but for the framework's own lock around a parameter's listener
// list, which the wrapper's setValueNotifyingHost takes whatever the plug-in.
//
// This program replaces malloc and friends, the pthread locks and waits and
// the sleeps for the whole process (forwarding to the C library) and counts
// the calls made by a thread while it is inside an Audited scope. The kernel's
// count of the thread's voluntary context switches backs this up for waits
// that bypass these functions.

#include "plugin/KymAudioProcessor.h"
#include "plugin/test_processor_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

// The sanitizers bring their own malloc and pthread interceptors, which these
// replacements would shadow.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QOR_AUDIT_CALLS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define QOR_AUDIT_CALLS 0
#endif
#endif
#ifndef QOR_AUDIT_CALLS
#define QOR_AUDIT_CALLS 1
#endif

namespace
{

// Static TLS of the executable: reading it never allocates, even from malloc.
thread_local bool audited = false;

std::atomic<long> allocations { 0 };
std::atomic<long> deallocations { 0 };
std::atomic<long> lockCalls { 0 };
std::atomic<const char*> lastLockCall { "" };

// The framework's locks around the listener lists of the host parameters,
// found by calibrate(); calls on them are counted apart.
constexpr int maxFrameworkLocks = 16;
std::atomic<const void*> frameworkLocks[maxFrameworkLocks] {};
std::atomic<int> frameworkLockCount { 0 };
std::atomic<long> frameworkLockCalls { 0 };
// Set while calibrate() runs the framework's notification alone.
thread_local bool collecting = false;

inline void countAllocation() noexcept
{
    if (audited)
        allocations.fetch_add(1, std::memory_order_relaxed);
}

inline void countDeallocation() noexcept
{
    if (audited)
        deallocations.fetch_add(1, std::memory_order_relaxed);
}

inline void countLockCall(const char* name) noexcept
{
    if (audited)
    {
        lockCalls.fetch_add(1, std::memory_order_relaxed);
        lastLockCall.store(name, std::memory_order_relaxed);
    }
}

bool isFrameworkLock(const void* mutex) noexcept
{
    const int n = frameworkLockCount.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i)
        if (frameworkLocks[i].load(std::memory_order_relaxed) == mutex)
            return true;
    return false;
}

inline void countMutexCall(const char* name, const void* mutex) noexcept
{
    if (collecting && !isFrameworkLock(mutex))
    {
        const int n = frameworkLockCount.load(std::memory_order_relaxed);
        if (n < maxFrameworkLocks)
        {
            frameworkLocks[n].store(mutex, std::memory_order_relaxed);
            frameworkLockCount.store(n + 1, std::memory_order_release);
        }
    }
    if (audited && isFrameworkLock(mutex))
        frameworkLockCalls.fetch_add(1, std::memory_order_relaxed);
    else
        countLockCall(name);
}

void resetCounts() noexcept
{
    allocations = 0;
    deallocations = 0;
    lockCalls = 0;
    lastLockCall = "";
    frameworkLockCalls = 0;
}

struct Audited
{
    Audited() noexcept { audited = true; }
    ~Audited() { audited = false; }
    Audited(const Audited&) = delete;
    Audited& operator=(const Audited&) = delete;
};

long voluntarySwitchesOfThisThread() noexcept
{
    rusage usage {};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

#if QOR_AUDIT_CALLS
// The next definition of a function, looked up once.
template <typename F>
F next(std::atomic<F>& cache, const char* name, const char* version = nullptr) noexcept
{
    F f = cache.load(std::memory_order_acquire);
    if (f == nullptr)
    {
        void* found = version != nullptr ? dlvsym(RTLD_NEXT, name, version) : dlsym(RTLD_NEXT, name);
        if (found == nullptr)
            std::abort();
        f = reinterpret_cast<F>(found);
        cache.store(f, std::memory_order_release);
    }
    return f;
}
#endif

} // namespace

#if QOR_AUDIT_CALLS

// glibc's own entry points: dlsym may itself allocate, so malloc cannot be
// looked up through it.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* __libc_memalign(size_t, size_t);
extern "C" void __libc_free(void*);

extern "C" {

void* malloc(size_t size) noexcept
{
    countAllocation();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept
{
    countAllocation();
    return __libc_calloc(count, size);
}

void* realloc(void* p, size_t size) noexcept
{
    countAllocation();
    return __libc_realloc(p, size);
}

void* aligned_alloc(size_t alignment, size_t size) noexcept
{
    countAllocation();
    return __libc_memalign(alignment, size);
}

void* memalign(size_t alignment, size_t size) noexcept
{
    countAllocation();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) noexcept
{
    countAllocation();
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr)
        return ENOMEM;
    *out = p;
    return 0;
}

void free(void* p) noexcept
{
    if (p != nullptr)
        countDeallocation();
    __libc_free(p);
}

// Counts the call, then hands it to the C library. glibc declares the
// functions that are cancellation points without noexcept.
#define QOR_FORWARD(result, name, params, args, ...)                                                                   \
    result name params noexcept                                                                                        \
    {                                                                                                                  \
        static std::atomic<result(*) params> real { nullptr };                                                         \
        countLockCall(#name);                                                                                          \
        return next(real, #name, ##__VA_ARGS__) args;                                                                  \
    }
// The same for the mutex functions, whose first argument is the mutex m.
#define QOR_FORWARD_MUTEX(result, name, params, args)                                                                  \
    result name params noexcept                                                                                        \
    {                                                                                                                  \
        static std::atomic<result(*) params> real { nullptr };                                                         \
        countMutexCall(#name, m);                                                                                      \
        return next(real, #name) args;                                                                                 \
    }
#define QOR_FORWARD_CANCELLABLE(result, name, params, args, ...)                                                       \
    result name params                                                                                                 \
    {                                                                                                                  \
        static std::atomic<result(*) params> real { nullptr };                                                         \
        countLockCall(#name);                                                                                          \
        return next(real, #name, ##__VA_ARGS__) args;                                                                  \
    }

QOR_FORWARD_MUTEX(int, pthread_mutex_lock, (pthread_mutex_t * m), (m))
QOR_FORWARD_MUTEX(int, pthread_mutex_trylock, (pthread_mutex_t * m), (m))
QOR_FORWARD_MUTEX(int, pthread_mutex_timedlock, (pthread_mutex_t * m, const timespec* t), (m, t))
QOR_FORWARD(int, pthread_rwlock_rdlock, (pthread_rwlock_t * l), (l))
QOR_FORWARD(int, pthread_rwlock_wrlock, (pthread_rwlock_t * l), (l))
QOR_FORWARD(int, pthread_rwlock_tryrdlock, (pthread_rwlock_t * l), (l))
QOR_FORWARD(int, pthread_rwlock_trywrlock, (pthread_rwlock_t * l), (l))
QOR_FORWARD(int, pthread_rwlock_timedrdlock, (pthread_rwlock_t * l, const timespec* t), (l, t))
QOR_FORWARD(int, pthread_rwlock_timedwrlock, (pthread_rwlock_t * l, const timespec* t), (l, t))
QOR_FORWARD(int, pthread_spin_lock, (pthread_spinlock_t * l), (l))
QOR_FORWARD(int, pthread_spin_trylock, (pthread_spinlock_t * l), (l))
QOR_FORWARD(int, sched_yield, (), ())
// The condition variable functions have an older ABI under the same name.
QOR_FORWARD_CANCELLABLE(int, pthread_cond_wait, (pthread_cond_t * c, pthread_mutex_t* m), (c, m), "GLIBC_2.3.2")
QOR_FORWARD_CANCELLABLE(int, pthread_cond_timedwait, (pthread_cond_t * c, pthread_mutex_t* m, const timespec* t),
                        (c, m, t), "GLIBC_2.3.2")
QOR_FORWARD_CANCELLABLE(int, pthread_cond_clockwait,
                        (pthread_cond_t * c, pthread_mutex_t* m, clockid_t id, const timespec* t), (c, m, id, t))
QOR_FORWARD_CANCELLABLE(int, sem_wait, (sem_t * s), (s))
QOR_FORWARD_CANCELLABLE(int, sem_timedwait, (sem_t * s, const timespec* t), (s, t))
QOR_FORWARD(int, sem_trywait, (sem_t * s), (s))
QOR_FORWARD_CANCELLABLE(int, nanosleep, (const timespec* t, timespec* rest), (t, rest))
QOR_FORWARD_CANCELLABLE(int, clock_nanosleep, (clockid_t id, int flags, const timespec* t, timespec* rest),
                        (id, flags, t, rest))
QOR_FORWARD_CANCELLABLE(int, usleep, (useconds_t us), (us))

} // extern "C"

#endif // QOR_AUDIT_CALLS

namespace
{

#define QOR_SKIP_UNLESS_AUDITED()                                                                                      \
    if (!QOR_AUDIT_CALLS)                                                                                              \
    GTEST_SKIP() << "the sanitizer runtimes own malloc and the pthread calls; run this in a plain build"

// Each way of allocating or waiting that the audit claims to see, seen.
TEST(RealtimeAudit, SeesEveryKindOfAllocationLockAndWait)
{
    QOR_SKIP_UNLESS_AUDITED();

    std::mutex mutex;
    std::shared_mutex shared;
    std::condition_variable condition;
    juce::CriticalSection section;
    sem_t semaphore;
    sem_init(&semaphore, 0, 1);

    struct Case
    {
        const char* what;
        std::function<void()> run;
        const std::atomic<long>& counter;
    };
    const Case cases[] = {
        { "operator new", [] { delete new volatile int(1); }, allocations },
        { "malloc",
          [] {
              void* volatile p = std::malloc(16);
              std::free(p);
          },
          allocations },
        { "free",
          [] {
              void* volatile p = std::malloc(16);
              std::free(p);
          },
          deallocations },
        { "std::mutex",
          [&] {
              mutex.lock();
              mutex.unlock();
          },
          lockCalls },
        { "std::mutex::try_lock",
          [&] {
              if (mutex.try_lock())
                  mutex.unlock();
          },
          lockCalls },
        { "std::shared_mutex",
          [&] {
              shared.lock_shared();
              shared.unlock_shared();
          },
          lockCalls },
        { "juce::CriticalSection", [&] { const juce::ScopedLock l(section); }, lockCalls },
        { "condition_variable::wait_for",
          [&] {
              std::unique_lock<std::mutex> l(mutex);
              condition.wait_for(l, std::chrono::microseconds(1));
          },
          lockCalls },
        { "sem_wait",
          [&] {
              sem_wait(&semaphore);
              sem_post(&semaphore);
          },
          lockCalls },
        { "sleep_for", [] { std::this_thread::sleep_for(std::chrono::microseconds(1)); }, lockCalls },
        { "yield", [] { std::this_thread::yield(); }, lockCalls },
    };
    for (const auto& c : cases)
    {
        resetCounts();
        {
            Audited scope;
            c.run();
        }
        EXPECT_GE(c.counter.load(), 1) << c.what;
    }

    // Another thread's calls are not this thread's.
    std::atomic<bool> go { false }, done { false };
    std::thread other([&] {
        while (!go.load())
        {}
        mutex.lock();
        mutex.unlock();
        delete new volatile int(2);
        done = true;
    });
    resetCounts();
    {
        Audited scope;
        go = true;
        while (!done.load())
        {}
    }
    other.join();
    EXPECT_EQ(lockCalls.load(), 0);
    EXPECT_EQ(allocations.load(), 0);
    sem_destroy(&semaphore);
}

// JUCE 7's VST3 wrapper: a value that differs from the slot's reaches the
// processor through setValueNotifyingHost, on the audio thread during playback.
bool automate(KymAudioProcessor& p, int index, float value)
{
    auto* slot = p.getParameters()[index];
    if (slot->getValue() == value)
        return false;
    slot->setValueNotifyingHost(value);
    return true;
}

TEST(RealtimeAudioRoad, AllocatesNothingAndTakesNoLockAfterItsFirstBlockWhileParametersChange)
{
    QOR_SKIP_UNLESS_AUDITED();

    constexpr int blockSizes[] = { 0, 1, 7, 512, 8192, 9000 };
    constexpr double hostRates[] = { 22050.0, 44100.0, 48000.0, 88200.0, 96000.0, 176400.0, 192000.0 };
    constexpr int largestBlock = 9000;
    constexpr int auditedBlocks = 600;

    auto p = kymtest::makeProcessor(1, 2, 192000.0);
    const auto signal = kymtest::bassSignal(largestBlock, 48000.0, 0.9f);
    juce::AudioBuffer<float> storage(2, largestBlock);
    juce::MidiBuffer midi;
    const auto fill = [&](int n) {
        std::memcpy(storage.getWritePointer(0), signal.data(), sizeof(float) * (size_t) n);
        storage.clear(1, 0, largestBlock);
    };

    // The framework's listener locks, one per host parameter.
    collecting = true;
    for (auto* slot : p->getParameters())
        slot->sendValueChangedMessageToListeners(slot->getValue());
    collecting = false;
    ASSERT_EQ(frameworkLockCount.load(), 9);

    // A preset's worth of changes before the first block, which makes this
    // thread the audio thread. Quality on makes the first block use the whole
    // oversampled buffer.
    for (int round = 0; round < 8; ++round)
        for (int i = 0; i < 9; ++i)
            kymtest::setHost(*p, i, i == 7 ? 0.0f : i == 8 ? 1.0f : 0.1f * (float) (round + 1));
    fill(largestBlock);
    {
        juce::AudioBuffer<float> block(storage.getArrayOfWritePointers(), 2, largestBlock);
        p->processBlock(block, midi);
    }

    std::atomic<bool> stop { false };
    std::thread changer([&] {
        std::mt19937 rng(7);
        const float values[] = { 0.0f, 0.2f, 0.5f, 0.8f, 1.0f, -1.0f, 2.0f, std::numeric_limits<float>::quiet_NaN() };
        constexpr int fromHere[] = { 0, 1, 3, 4, 5 };
        for (int k = 0; !stop.load(); ++k)
        {
            // Mostly Input and the engine controls that the audio thread
            // leaves alone (their listener locks are not shared), now and then
            // Quality. Bypass only blinks, so that most blocks run the whole road.
            int index = fromHere[std::uniform_int_distribution<size_t>(0, std::size(fromHere) - 1)(rng)];
            if (k % 20 == 19)
                index = 8;
            const float v = values[std::uniform_int_distribution<size_t>(0, std::size(values) - 1)(rng)];
            p->getParameters()[index]->setValueNotifyingHost(v);
            if (k % 97 == 96)
            {
                p->getParameters()[7]->setValueNotifyingHost(1.0f);
                p->getParameters()[7]->setValueNotifyingHost(0.0f);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });

    long switches = 0;
    int audioThreadChanges = 0;
    int blocksWithJobs = 0;
    int factorChanges = 0;
    int engineRateChanges = 0;
    int processedBlocks = 0;
    resetCounts();
    for (int k = 0; k < auditedBlocks; ++k)
    {
        const int n = blockSizes[k % std::size(blockSizes)];
        fill(n);
        p->setRateAndBufferSizeDetails(hostRates[(k / 5) % std::size(hostRates)], n);
        juce::AudioBuffer<float> block(storage.getArrayOfWritePointers(), 2, n);
        blocksWithJobs += p->messageQueue.size_approx() > 0 ? 1 : 0;
        const int factorBefore = p->sampler.factor;
        const double rateBefore = p->engine.fs;

        processedBlocks += p->bypass || k % 11 == 10 ? 0 : 1;
        const long switchesBefore = voluntarySwitchesOfThisThread();
        {
            Audited scope;
            // Drive and Blend, as the wrapper hands on the host's automation.
            audioThreadChanges += automate(*p, k % 2 == 0 ? 2 : 6, (float) (k % 7) / 7.0f) ? 1 : 0;
            // Now and then the host's own bypass, which drains the jobs too.
            if (k % 11 == 10)
                p->processBlockBypassed(block, midi);
            else
                p->processBlock(block, midi);
        }
        switches += voluntarySwitchesOfThisThread() - switchesBefore;

        factorChanges += p->sampler.factor != factorBefore ? 1 : 0;
        engineRateChanges += p->engine.fs != rateBefore ? 1 : 0;
    }
    stop = true;
    changer.join();

    EXPECT_EQ(allocations.load(), 0);
    EXPECT_EQ(deallocations.load(), 0);
    EXPECT_EQ(lockCalls.load(), 0) << "last: " << lastLockCall.load();
    EXPECT_EQ(switches, 0) << "voluntary context switches inside processBlock";
    // The framework's listener lock, twice per change: once when the slot
    // reports the change, once in setValueNotifyingHost itself.
    EXPECT_GT(audioThreadChanges, auditedBlocks / 2);
    EXPECT_EQ(frameworkLockCalls.load(), 2 * audioThreadChanges);
    // The audited blocks did meet queued jobs, Quality changes and rate rechecks.
    EXPECT_GT(blocksWithJobs, auditedBlocks / 10);
    EXPECT_GT(processedBlocks, auditedBlocks / 2);
    EXPECT_GT(factorChanges, 0);
    EXPECT_GT(engineRateChanges, 0);
}

} // namespace
