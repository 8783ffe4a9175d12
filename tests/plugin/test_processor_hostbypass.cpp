// The host's own bypass, through the framework's graph: a bypassed node is
// given to processBlockBypassed. The block must leave as the plug-in's own
// Bypass leaves it, and the jobs posted meanwhile must not pile up.

#include "test_processor_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

using namespace kymtest;

namespace
{

using IO = juce::AudioProcessorGraph::AudioGraphIOProcessor;

// Audio input (one channel) -> the plug-in (1 in, 2 out) -> audio output (two).
struct BypassedGraph
{
    juce::ScopedJuceInitialiser_GUI juce;
    juce::AudioProcessorGraph graph;
    KymAudioProcessor* plugin = nullptr;
    juce::AudioProcessorGraph::Node::Ptr node;

    BypassedGraph(double rate, int blockSize)
    {
        graph.setPlayConfigDetails(1, 2, rate, blockSize);
        auto processor = std::make_unique<KymAudioProcessor>();
        processor->setPlayConfigDetails(1, 2, rate, blockSize);
        plugin = processor.get();
        node = graph.addNode(std::move(processor));
        const auto in = graph.addNode(std::make_unique<IO>(IO::audioInputNode));
        const auto out = graph.addNode(std::make_unique<IO>(IO::audioOutputNode));
        graph.addConnection({ { in->nodeID, 0 }, { node->nodeID, 0 } });
        graph.addConnection({ { node->nodeID, 0 }, { out->nodeID, 0 } });
        graph.addConnection({ { node->nodeID, 1 }, { out->nodeID, 1 } });
        node->setBypassed(true);
        graph.prepareToPlay(rate, blockSize);
    }

    ~BypassedGraph() { graph.releaseResources(); }
};

} // namespace

TEST(ProcessorHostBypass, BothOutputsCarryTheInputAndNoJobWaits)
{
    constexpr double rate = 48000.0;
    constexpr int blockSize = 256;
    BypassedGraph g(rate, blockSize);
    ASSERT_NE(g.plugin, nullptr);
    const auto signal = bassSignal(blockSize * 200, rate);

    juce::MidiBuffer midi;
    for (int block = 0; block < 200; ++block)
    {
        // Automation on every lane between blocks, as a host sends it.
        for (int i = 0; i < 9; ++i)
            setHost(*g.plugin, i, static_cast<float>((block * 7 + i * 3) % 10) / 10.0f);

        juce::AudioBuffer<float> buffer(2, blockSize);
        buffer.copyFrom(0, 0, signal.data() + block * blockSize, blockSize);
        buffer.clear(1, 0, blockSize);
        g.graph.processBlock(buffer, midi);

        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < blockSize; ++i)
                ASSERT_EQ(buffer.getSample(c, i), signal[static_cast<size_t>(block * blockSize + i)])
                    << "block " << block << ", output " << c << ", frame " << i;
        ASSERT_EQ(g.plugin->messageQueue.size_approx(), 0u) << "block " << block;
    }
    // What the jobs carried is in place for the first processed block.
    EXPECT_EQ(g.plugin->engine.slots[KYM::Slot::drive].value, g.plugin->parameters[2]->value.load() / 10.0);
    EXPECT_EQ(g.plugin->inputGain, g.plugin->parameters[0]->value.load());
    EXPECT_EQ(g.plugin->bypass, g.plugin->parameters[7]->value.load() >= 0.5);

    // Back from the host's bypass, the plug-in processes again.
    setHost(*g.plugin, 7, 0.0f);
    g.node->setBypassed(false);
    bool processed = false;
    for (int block = 0; block < 20; ++block)
    {
        juce::AudioBuffer<float> buffer(2, blockSize);
        buffer.copyFrom(0, 0, signal.data() + block * blockSize, blockSize);
        g.graph.processBlock(buffer, midi);
        for (int i = 0; i < blockSize; ++i)
        {
            ASSERT_TRUE(std::isfinite(buffer.getSample(0, i)));
            ASSERT_EQ(buffer.getSample(1, i), buffer.getSample(0, i));
            processed = processed || buffer.getSample(0, i) != signal[static_cast<size_t>(block * blockSize + i)];
        }
    }
    EXPECT_TRUE(processed);
}
