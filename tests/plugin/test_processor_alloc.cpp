#include "test_processor_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

// Counts every operator new of this program while armed. The sanitizers bring
// their own allocator; the counting layer below sits on top of malloc either way.
namespace
{
std::atomic<bool> armed { false };
std::atomic<long> allocations { 0 };

void* countedAllocation(std::size_t size)
{
    if (armed.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

void* countedAlignedAllocation(std::size_t size, std::align_val_t alignment)
{
    if (armed.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    const auto a = static_cast<std::size_t>(alignment);
    if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a))
        return p;
    throw std::bad_alloc();
}

struct Armed
{
    Armed()
    {
        allocations = 0;
        armed = true;
    }
    ~Armed() { armed = false; }
};
} // namespace

void* operator new(std::size_t size)
{
    return countedAllocation(size);
}
void* operator new[](std::size_t size)
{
    return countedAllocation(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try
    {
        return countedAllocation(size);
    }
    catch (...)
    {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    try
    {
        return countedAllocation(size);
    }
    catch (...)
    {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t a)
{
    return countedAlignedAllocation(size, a);
}
void* operator new[](std::size_t size, std::align_val_t a)
{
    return countedAlignedAllocation(size, a);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept
{
    std::free(p);
}

using namespace kymtest;

TEST(ProcessorAllocation, CounterSeesAllocations)
{
    Armed scope;
    auto* p = new int(3);
    delete p;
    EXPECT_GE(allocations.load(), 1);
}

TEST(ProcessorAllocation, ProcessBlockAllocatesNothingAfterTheFirstBlock)
{
    auto p = makeProcessor(1, 2, 48000.0);
    const auto signal = bassSignal(20000, 48000.0);
    juce::AudioBuffer<float> buffer(2, 20000);
    juce::MidiBuffer midi;
    auto fill = [&](int n) {
        buffer.setSize(2, n, false, false, true);
        std::memcpy(buffer.getWritePointer(0), signal.data(), sizeof(float) * static_cast<size_t>(n));
    };

    fill(512);
    p->processBlock(buffer, midi);

    long counted = 0;
    for (int block = 0; block < 60; ++block)
    {
        // Changes arrive between blocks from the host's side, as they would
        // from another thread: every parameter, Quality (and so the rate
        // recheck) included.
        switch (block % 6)
        {
        case 1:
            setHost(*p, 2, 0.1f + 0.01f * static_cast<float>(block));
            break;
        case 2:
            setHost(*p, 8, static_cast<float>((block / 6) % 2));
            break;
        case 3:
            setHost(*p, 3, 0.3f);
            setHost(*p, 4, 0.8f);
            setHost(*p, 6, 0.4f);
            break;
        case 4:
            setHost(*p, 7, static_cast<float>((block / 6) % 2));
            break;
        case 5:
            setHost(*p, 0, 0.6f);
            setHost(*p, 1, 0.2f);
            setHost(*p, 5, 0.9f);
            break;
        default:
            break;
        }
        fill(block % 10 == 0 ? 20000 : 512);
        Armed scope;
        p->processBlock(buffer, midi);
        counted += allocations.load();
    }
    EXPECT_EQ(counted, 0);
}
