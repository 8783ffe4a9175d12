#include "kym-render/WavInput.h"

namespace kymrender
{

// Passes a file stream through and remembers whether any read came back
// shorter than asked: the framework's reader fills such a gap with zeros.
class WavInput::CheckedStream : public juce::InputStream
{
public:
    explicit CheckedStream(std::unique_ptr<juce::FileInputStream> s) : inner(std::move(s)) {}

    juce::int64 getTotalLength() override { return inner->getTotalLength(); }
    bool isExhausted() override { return inner->isExhausted(); }
    juce::int64 getPosition() override { return inner->getPosition(); }
    bool setPosition(juce::int64 p) override { return inner->setPosition(p); }

    int read(void* dest, int n) override
    {
        const int got = inner->read(dest, n);

        if (got < n)
            cutShort = true;

        return got;
    }

    bool cutShort = false;

private:
    std::unique_ptr<juce::FileInputStream> inner;
};

WavInput::WavInput() = default;
WavInput::~WavInput() = default;

bool WavInput::open(const juce::File& file, juce::String& error)
{
    const auto name = file.getFullPathName();
    source = file;

    if (file.isDirectory())
    {
        error = name + " is a folder, not a WAV file";
        return false;
    }

    auto fileStream = std::make_unique<juce::FileInputStream>(file);

    if (fileStream->failedToOpen())
    {
        error = "cannot read " + name + ": " + fileStream->getStatus().getErrorMessage();
        return false;
    }

    // The reader owns the stream from here on, and deletes it when it fails.
    auto* checked = new CheckedStream(std::move(fileStream));
    juce::WavAudioFormat wav;
    reader.reset(wav.createReaderFor(checked, true));

    if (reader == nullptr)
    {
        error = name + " is not a WAV file that can be read (PCM of 8, 16, 24 or 32 bits, or 32-bit float)";
        return false;
    }

    stream = checked;
    const auto bits = reader->bitsPerSample;
    const bool knownSamples =
        reader->usesFloatingPointData ? bits == 32 : (bits == 8 || bits == 16 || bits == 24 || bits == 32);

    if (!knownSamples)
    {
        error = name + " holds " + juce::String(bits)
            + "-bit samples; PCM of 8, 16, 24 or 32 bits, "
              "or 32-bit float, can be read";
        return false;
    }

    if (reader->numChannels > 2)
    {
        error = name + " has " + juce::String(reader->numChannels) + " channels; mono or stereo files only";
        return false;
    }

    if (reader->lengthInSamples <= 0)
    {
        error = name + " holds no samples";
        return false;
    }

    // Only the sample reads count from here on: the header reader looks past
    // the end of some files.
    stream->cutShort = false;
    position = 0;
    return true;
}

double WavInput::sampleRate() const noexcept
{
    return reader->sampleRate;
}

int WavInput::numChannels() const noexcept
{
    return (int) reader->numChannels;
}

int64_t WavInput::numFrames() const noexcept
{
    return reader->lengthInSamples;
}

bool WavInput::read(juce::AudioBuffer<float>& dest, int n, juce::String& error)
{
    jassert(dest.getNumChannels() == numChannels() && dest.getNumSamples() >= n);
    jassert(position + n <= numFrames());

    if (!reader->read(&dest, 0, n, position, true, true) || stream->cutShort)
    {
        error = "cannot read all of " + source.getFullPathName() + ": the file ends before the "
            + juce::String(numFrames()) + " frames its header gives";
        return false;
    }

    position += n;
    return true;
}

} // namespace kymrender
