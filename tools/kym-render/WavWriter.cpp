#include "kym-render/WavWriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kymrender
{

WavWriter::WavWriter() = default;
WavWriter::~WavWriter() = default;

juce::String WavWriter::describe(SampleFormat f)
{
    switch (f)
    {
    case SampleFormat::int16:
        return "16-bit";
    case SampleFormat::int24:
        return "24-bit";
    case SampleFormat::float32:
        return "32-bit float";
    }

    return {};
}

bool WavWriter::open(const juce::File& file, double sampleRate, int channels, SampleFormat f, juce::String& error)
{
    format = f;
    numChannels = channels;

    const int bits = f == SampleFormat::int16 ? 16 : f == SampleFormat::int24 ? 24 : 32;
    // Integer samples are read back as steps / 2^(bits - 1), so that is the
    // scale; the top step, 2^(bits - 1) - 1, is the loudest positive sample.
    scale = std::ldexp(1.0, bits - 1);
    lowest = -scale;
    highest = scale - 1.0;
    shift = 1 << (32 - bits);

    auto fileStream = std::make_unique<juce::FileOutputStream>(file);

    if (fileStream->failedToOpen())
    {
        error = "cannot write " + file.getFullPathName() + ": " + fileStream->getStatus().getErrorMessage();
        return false;
    }

    juce::WavAudioFormat wav;
    writer.reset(wav.createWriterFor(fileStream.get(), sampleRate, (unsigned int) channels, bits, {}, 0));

    if (writer == nullptr)
    {
        error = "cannot write a " + juce::String(channels) + "-channel WAV file at " + juce::String(sampleRate) + " Hz";
        return false;
    }

    stream = fileStream.release(); // the writer owns it now
    return true;
}

bool WavWriter::write(const float* samples, int n, juce::String& error)
{
    if ((int) converted.size() < n)
        converted.resize((size_t) n);

    for (int i = 0; i < n; ++i)
    {
        const float v = samples[i];
        double written = 0.0;

        if (!std::isfinite(v))
        {
            ++nonFiniteFrames;
            converted[(size_t) i] = 0;
        }
        else if (format == SampleFormat::float32)
        {
            written = v;
            // The framework takes float samples in its int arrays, bit for bit.
            std::memcpy(&converted[(size_t) i], &v, sizeof(float));
        }
        else
        {
            double steps = std::nearbyint((double) v * scale);

            if (steps > highest || steps < lowest)
            {
                ++clippedFrames;
                steps = steps > highest ? highest : lowest;
            }

            written = steps / scale;
            converted[(size_t) i] = (int) steps * shift;
        }

        if (std::isfinite(v))
            inputPeak = std::max(inputPeak, std::abs((double) v));

        writtenPeak = std::max(writtenPeak, std::abs(written));
        sumOfSquares += written * written;
    }

    // Every channel carries the same samples.
    const int* channels[3] = { converted.data(), numChannels > 1 ? converted.data() : nullptr, nullptr };

    if (!writer->write(channels, n))
    {
        error = "cannot write " + stream->getFile().getFullPathName() + ": " + stream->getStatus().getErrorMessage();
        return false;
    }

    numFrames += n;
    return true;
}

bool WavWriter::close(juce::String& error)
{
    const auto name = stream->getFile().getFullPathName();
    // The header now, then the data to the disk, so that a failure of either
    // is seen here; the writer's own last header write repeats the same bytes.
    const bool headerWritten = writer->flush();
    stream->flush();
    const auto status = stream->getStatus();
    writer.reset();
    stream = nullptr;

    if (!headerWritten || status.failed())
    {
        error = "cannot write " + name + ": "
            + (status.failed() ? status.getErrorMessage() : juce::String("the header was not written"));
        return false;
    }

    return true;
}

double WavWriter::rms() const noexcept
{
    return numFrames > 0 ? std::sqrt(sumOfSquares / (double) numFrames) : 0.0;
}

} // namespace kymrender
