#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

namespace kymrender
{

// A short plucked bass riff synthesised in code, so the tool can demonstrate
// the plug-in without any recorded material.
class BassPhrase
{
public:
    static constexpr double defaultRate = 48000.0;

    // Mono, peaks at -6 dBFS; the same samples for the same rate every time.
    static juce::AudioBuffer<float> make(double sampleRate);
};

} // namespace kymrender
