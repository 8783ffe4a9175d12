#pragma once

#include "kym-host/PluginLoader.h"
#include "kym-render/WavWriter.h"

#include <vector>

namespace kymrender
{

// The render tool's command line.
struct RenderOptions
{
    struct Setting
    {
        juce::String name; // as the host shows it
        double normalised; // 0..1, already converted from the parameter's units
    };

    // What the plug-in, which takes one channel, is fed from a stereo file.
    enum class Channel
    {
        left,
        right,
        mid // (left + right) / 2
    };

    kymhost::PluginKind kind = kymhost::PluginKind::vst3;
    juce::File plugin; // empty: the bundle of this build
    juce::File input;  // empty: the built-in bass phrase
    juce::File output;
    int blockSize = 512;
    SampleFormat format = SampleFormat::float32;
    Channel channel = Channel::left;
    bool channelChosen = false; // --channel was given
    std::vector<Setting> settings;
    bool help = false;

    // args without the program name. false with a reason on a bad command line.
    bool parse(const juce::StringArray& args, juce::String& error);

    static juce::String usage();
};

} // namespace kymrender
