#pragma once

// Shared pieces of the real-host tests: one JUCE message thread and one loader
// per test program, the bundles of this build, signals and measurements.

#include "kym-host/BlockRenderer.h"
#include "kym-host/PluginLoader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace kymtest
{

using kymhost::PluginKind;

inline const char* kindName(PluginKind k)
{
    return k == PluginKind::vst3 ? "vst3" : "lv2";
}

inline juce::File bundleOf(PluginKind k)
{
    return juce::File(k == PluginKind::vst3 ? QOR_VST3_BUNDLE : QOR_LV2_BUNDLE);
}

// Created by the global environment of each test program.
kymhost::PluginLoader& loader();

constexpr int blockSize = 512;

// A loaded and prepared instance; fails the test when the host refuses it.
inline std::unique_ptr<juce::AudioPluginInstance> open(PluginKind kind, double rate = 48000.0, int ins = 1,
                                                       int outs = 1)
{
    juce::String error;
    auto p = loader().load(kind, bundleOf(kind), rate, blockSize, error);

    if (p == nullptr)
    {
        ADD_FAILURE() << kindName(kind) << ": " << error;
        return nullptr;
    }

    if (!kymhost::PluginLoader::prepare(*p, ins, outs, rate, blockSize, error))
    {
        ADD_FAILURE() << kindName(kind) << ": " << error;
        return nullptr;
    }

    return p;
}

inline juce::AudioBuffer<float> sine(int channels, int frames, double rate, double hz = 110.0, float amp = 0.5f)
{
    juce::AudioBuffer<float> b(channels, frames);

    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < frames; ++i)
            b.setSample(c, i, amp * (float) std::sin(2.0 * juce::MathConstants<double>::pi * hz * i / rate + 0.7 * c));

    return b;
}

inline double rms(const juce::AudioBuffer<float>& b, int channel, int start, int n)
{
    double sum = 0.0;

    for (int i = start; i < start + n; ++i)
        sum += (double) b.getSample(channel, i) * b.getSample(channel, i);

    return n > 0 ? std::sqrt(sum / n) : 0.0;
}

inline bool allFinite(const juce::AudioBuffer<float>& b)
{
    for (int c = 0; c < b.getNumChannels(); ++c)
        for (int i = 0; i < b.getNumSamples(); ++i)
            if (!std::isfinite(b.getSample(c, i)))
                return false;

    return true;
}

// Frames [start, start + n) of two channels hold the same bits.
inline bool sameSamples(const juce::AudioBuffer<float>& a, int ca, const juce::AudioBuffer<float>& b, int cb, int start,
                        int n)
{
    return std::memcmp(a.getReadPointer(ca, start), b.getReadPointer(cb, start), sizeof(float) * (size_t) n) == 0;
}

} // namespace kymtest
