#pragma once

#include <cstdint>
#include <new>

namespace libqor
{

// Two zero-filled channels of n samples and the array of their pointers.
template <typename T>
class StereoSampleBuffer
{
public:
    explicit StereoSampleBuffer(int n) : length(n)
    {
        // A negative n fails like any other allocation (std::bad_array_new_length).
        try
        {
            channel0 = new T[n]();
            channel1 = new T[n]();
            channels = new T* [2] { channel0, channel1 };
        }
        catch (...)
        {
            delete[] channel1;
            delete[] channel0;
            throw;
        }
    }

    ~StereoSampleBuffer()
    {
        delete[] channels;
        delete[] channel1;
        delete[] channel0;
    }

    StereoSampleBuffer(const StereoSampleBuffer&) = delete;
    StereoSampleBuffer& operator=(const StereoSampleBuffer&) = delete;

    T* channel0 = nullptr;
    T* channel1 = nullptr;
    T** channels = nullptr;
    int32_t length;
};

} // namespace libqor
