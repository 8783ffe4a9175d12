#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

#include <memory>

namespace kymhost
{

enum class PluginKind
{
    vst3,
    lv2
};

// Loads a VST3 or LV2 bundle the way a DAW does, through JUCE's hosting
// classes. Must be created and used on the message thread.
class PluginLoader
{
public:
    PluginLoader();
    ~PluginLoader();

    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    // bundle: the .vst3 or .lv2 folder. The instance is not prepared yet.
    // On failure returns null and says why in error.
    std::unique_ptr<juce::AudioPluginInstance> load(PluginKind kind, const juce::File& bundle, double sampleRate,
                                                    int blockSize, juce::String& error);

    // Asks for a layout of one input bus with ins channels and one output bus
    // with outs channels, then prepares the instance. false when the plug-in
    // refuses the layout.
    static bool prepare(juce::AudioPluginInstance& plugin, int ins, int outs, double sampleRate, int blockSize,
                        juce::String& error);

    // The plug-in's host parameter shown under this name, never the format's
    // own bypass; null when there is none.
    static juce::AudioProcessorParameter* findParameter(juce::AudioPluginInstance& plugin, const juce::String& name);

    static bool parseKind(const juce::String& text, PluginKind& kind);
    static juce::String kindName(PluginKind kind);

private:
    bool describe(PluginKind kind, const juce::File& bundle, juce::PluginDescription& description, juce::String& error);

    juce::VST3PluginFormat vst3;
    std::unique_ptr<juce::LV2PluginFormat> lv2;
    juce::StringArray lv2Folders;
    juce::StringArray lv2Uris;
};

} // namespace kymhost
