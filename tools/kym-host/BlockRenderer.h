#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

namespace kymhost
{

// Feeds audio through a prepared plug-in instance in host-sized blocks, as a
// DAW's audio thread would, and keeps the CPU time spent doing it.
class BlockRenderer
{
public:
    // plugin must already be prepared for blocks of at least blockSize frames.
    BlockRenderer(juce::AudioPluginInstance& plugin, int blockSize);

    // Processes numSamples frames of input from inStart into output from
    // outStart. input needs the plug-in's input channels, output its outputs.
    void run(const juce::AudioBuffer<float>& input, int inStart, juce::AudioBuffer<float>& output, int outStart,
             int numSamples);

    // The whole of input through the plug-in, into a new buffer.
    juce::AudioBuffer<float> runAll(const juce::AudioBuffer<float>& input);

    // Thread CPU seconds spent in run so far.
    double cpuSeconds() const noexcept { return cpu; }

private:
    juce::AudioPluginInstance& plugin;
    const int blockSize;
    const int numIns;
    const int numOuts;
    juce::AudioBuffer<float> work;
    juce::MidiBuffer midi;
    double cpu = 0.0;
};

} // namespace kymhost
