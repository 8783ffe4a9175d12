#include "kym-render/BassPhrase.h"

#include "kym-render/BassRiff.h"

namespace kymrender
{

juce::AudioBuffer<float> BassPhrase::make(double sampleRate)
{
    const auto samples = bassRiff(sampleRate, 0.5);
    juce::AudioBuffer<float> phrase(1, (int) samples.size());

    if (!samples.empty())
        phrase.copyFrom(0, 0, samples.data(), (int) samples.size());

    return phrase;
}

} // namespace kymrender
