#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "libqor/dsp/StereoSampleBuffer.h"
#include "libqor/dsp/blockUpDownsampling.h"

// Replaced global allocation for the whole test program. Inert until a test
// arms it; then it counts calls, fails the Nth one and records what is
// still outstanding and the order of releases.
namespace allocprobe
{

int failAt = 0; // 0: never fail
int calls = 0;
bool tracking = false;
constexpr int maxTracked = 512;
void* live[maxTracked];
int liveCount = 0;
void* freed[maxTracked];
int freedCount = 0;

void arm(int nth)
{
    failAt = nth;
    calls = 0;
    liveCount = 0;
    freedCount = 0;
    tracking = true;
}

void disarm()
{
    tracking = false;
    failAt = 0;
}

void* allocate(std::size_t size)
{
    if (tracking && ++calls == failAt)
        return nullptr;
    void* p = std::malloc(size ? size : 1);
    if (p != nullptr && tracking && liveCount < maxTracked)
        live[liveCount++] = p;
    return p;
}

void release(void* p) noexcept
{
    if (p == nullptr)
        return;
    if (tracking)
    {
        for (int i = 0; i < liveCount; ++i)
            if (live[i] == p)
            {
                live[i] = live[--liveCount];
                break;
            }
        if (freedCount < maxTracked)
            freed[freedCount++] = p;
    }
    std::free(p);
}

} // namespace allocprobe

void* operator new(std::size_t size)
{
    if (void* p = allocprobe::allocate(size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size)
{
    if (void* p = allocprobe::allocate(size))
        return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return allocprobe::allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return allocprobe::allocate(size);
}
void operator delete(void* p) noexcept
{
    allocprobe::release(p);
}
void operator delete[](void* p) noexcept
{
    allocprobe::release(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    allocprobe::release(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    allocprobe::release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept
{
    allocprobe::release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    allocprobe::release(p);
}

using libqor::StereoSampleBuffer;

TEST(StereoSampleBuffer, NewBufferReadsZeroEverywhere)
{
    for (int n : { 0, 1, 7, 8192, 65536 })
    {
        StereoSampleBuffer<double> b(n);
        EXPECT_EQ(b.length, n);
        ASSERT_NE(b.channels, nullptr);
        EXPECT_EQ(b.channels[0], b.channel0);
        EXPECT_EQ(b.channels[1], b.channel1);
        EXPECT_NE(b.channel0, b.channel1);
        for (int i = 0; i < n; ++i)
        {
            ASSERT_EQ(b.channel0[i], 0.0) << n << " " << i;
            ASSERT_EQ(b.channel1[i], 0.0) << n << " " << i;
        }
    }
}

// Failing each of the three allocations in turn: std::bad_alloc leaves the
// constructor and nothing obtained before it stays allocated.
TEST(StereoSampleBuffer, FailedAllocationReleasesWhatWasObtained)
{
    for (int nth : { 1, 2, 3 })
    {
        allocprobe::arm(nth);
        bool threw = false;
        try
        {
            StereoSampleBuffer<double> b(1024);
        }
        catch (const std::bad_alloc&)
        {
            threw = true;
        }
        const int leaked = allocprobe::liveCount;
        allocprobe::disarm();
        EXPECT_TRUE(threw) << nth;
        EXPECT_EQ(leaked, 0) << nth;
    }
}

TEST(StereoSampleBuffer, NegativeLengthFailsAsAnAllocation)
{
    EXPECT_THROW(StereoSampleBuffer<double>(-1), std::bad_alloc);
}

TEST(StereoSampleBuffer, DestructionReleasesArrayThenChannel1ThenChannel0)
{
    auto* b = new StereoSampleBuffer<double>(16);
    void* expected[3] = { b->channels, b->channel1, b->channel0 };
    allocprobe::arm(0);
    b->~StereoSampleBuffer<double>();
    const int count = allocprobe::freedCount;
    void* order[3] = { allocprobe::freed[0], allocprobe::freed[1], allocprobe::freed[2] };
    allocprobe::disarm();
    ::operator delete(static_cast<void*>(b));
    ASSERT_EQ(count, 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(order[i], expected[i]) << i;
}

// The sampler's filters allocate scratch blocks, cascades and sections; a
// failure at any of those allocations raises std::bad_alloc and leaks nothing.
TEST(blockUpDownsampling, FailedConstructionAllocationLeaksNothing)
{
    // First use of the framework's CPU query allocates once; keep it out of the count.
    {
        libqor::blockUpDownsampling warmUp;
    }

    allocprobe::arm(0);
    {
        libqor::blockUpDownsampling s;
    }
    const int total = allocprobe::calls;
    allocprobe::disarm();
    ASSERT_GT(total, 0);

    for (int nth = 1; nth <= total; ++nth)
    {
        allocprobe::arm(nth);
        bool threw = false;
        try
        {
            libqor::blockUpDownsampling s;
        }
        catch (const std::bad_alloc&)
        {
            threw = true;
        }
        const int leaked = allocprobe::liveCount;
        allocprobe::disarm();
        ASSERT_TRUE(threw) << nth;
        ASSERT_EQ(leaked, 0) << nth;
    }
}
