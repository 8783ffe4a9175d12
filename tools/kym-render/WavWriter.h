#pragma once

#include <juce_audio_formats/juce_audio_formats.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace kymrender
{

enum class SampleFormat
{
    int16,
    int24,
    float32
};

// Writes the render as a WAV file and keeps the figures of what it wrote.
// Integer samples are converted here rather than by the framework, so that
// clipped samples are counted and the peak and RMS are those of the file's
// own samples, read back at full scale 1.
class WavWriter
{
public:
    WavWriter();
    ~WavWriter();

    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // "16-bit", "24-bit", "32-bit float"
    static juce::String describe(SampleFormat format);

    // Starts a new file; false with a reason when it cannot be created.
    bool open(const juce::File& file, double sampleRate, int numChannels, SampleFormat format, juce::String& error);

    // Appends n samples to every channel of the file. A sample that is not a
    // finite number is written as 0 and counted.
    bool write(const float* samples, int n, juce::String& error);

    // Completes the header and flushes the file to the disk; false with a
    // reason when any of the file could not be written.
    bool close(juce::String& error);

    int64_t frames() const noexcept { return numFrames; }
    int64_t samples() const noexcept { return numFrames * numChannels; }
    int64_t clippedSamples() const noexcept { return clippedFrames * numChannels; }
    int64_t nonFiniteSamples() const noexcept { return nonFiniteFrames * numChannels; }

    // Of the written samples; 1 is full scale.
    double peak() const noexcept { return writtenPeak; }
    double rms() const noexcept;

    // Of the samples handed over, before conversion: above 1 when integer
    // samples clipped.
    double signalPeak() const noexcept { return inputPeak; }

private:
    SampleFormat format = SampleFormat::float32;
    int numChannels = 0;
    double scale = 1.0;  // full scale in integer steps
    double lowest = 0.0; // the integer range, in steps
    double highest = 0.0;
    int shift = 1; // from steps to the framework's left-justified 32-bit samples

    std::unique_ptr<juce::AudioFormatWriter> writer;
    juce::FileOutputStream* stream = nullptr; // owned by writer
    std::vector<int> converted;

    int64_t numFrames = 0;
    int64_t clippedFrames = 0;
    int64_t nonFiniteFrames = 0;
    double writtenPeak = 0.0;
    double sumOfSquares = 0.0;
    double inputPeak = 0.0;
};

} // namespace kymrender
