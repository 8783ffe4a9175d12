#pragma once

#include <juce_audio_formats/juce_audio_formats.h>

#include <cstdint>
#include <memory>

namespace kymrender
{

// Reads a mono or stereo WAV file from start to end, a block at a time, and
// refuses what it cannot read whole: a file that is not a WAV file it knows,
// one without samples, and one whose samples end before its header says.
// (The framework's reader would hand over silence for the missing part.)
class WavInput
{
public:
    WavInput();
    ~WavInput();

    WavInput(const WavInput&) = delete;
    WavInput& operator=(const WavInput&) = delete;

    // false with a reason when the file cannot be rendered.
    bool open(const juce::File& file, juce::String& error);

    double sampleRate() const noexcept;
    int numChannels() const noexcept;
    int64_t numFrames() const noexcept;

    // The next n frames into dest, which has numChannels() channels of at
    // least n frames; n must not go past the end. false with a reason on a
    // read error or a file cut short.
    bool read(juce::AudioBuffer<float>& dest, int n, juce::String& error);

private:
    class CheckedStream;

    juce::File source;
    CheckedStream* stream = nullptr; // owned by reader
    std::unique_ptr<juce::AudioFormatReader> reader;
    int64_t position = 0;
};

} // namespace kymrender
