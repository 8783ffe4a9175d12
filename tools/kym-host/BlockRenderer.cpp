#include "kym-host/BlockRenderer.h"

#include <ctime>

namespace kymhost
{

namespace
{

double threadCpuSeconds() noexcept
{
    timespec t {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double) t.tv_sec + (double) t.tv_nsec * 1.0e-9;
}

} // namespace

BlockRenderer::BlockRenderer(juce::AudioPluginInstance& p, int block)
    : plugin(p), blockSize(juce::jmax(1, block)), numIns(p.getTotalNumInputChannels()),
      numOuts(p.getTotalNumOutputChannels()), work(juce::jmax(1, juce::jmax(numIns, numOuts)), juce::jmax(1, block))
{
    midi.ensureSize(256);
}

void BlockRenderer::run(const juce::AudioBuffer<float>& input, int inStart, juce::AudioBuffer<float>& output,
                        int outStart, int numSamples)
{
    jassert(input.getNumChannels() >= numIns && output.getNumChannels() >= numOuts);
    jassert(inStart + numSamples <= input.getNumSamples());
    jassert(outStart + numSamples <= output.getNumSamples());

    const auto start = threadCpuSeconds();

    for (int done = 0; done < numSamples;)
    {
        const int n = juce::jmin(blockSize, numSamples - done);
        // The buffer handed over has exactly this block's length, like a host's.
        juce::AudioBuffer<float> block(work.getArrayOfWritePointers(), work.getNumChannels(), n);

        for (int c = 0; c < block.getNumChannels(); ++c)
        {
            if (c < numIns)
                block.copyFrom(c, 0, input, c, inStart + done, n);
            else
                block.clear(c, 0, n);
        }

        midi.clear();
        plugin.processBlock(block, midi);

        for (int c = 0; c < numOuts; ++c)
            output.copyFrom(c, outStart + done, block, c, 0, n);

        done += n;
    }

    cpu += threadCpuSeconds() - start;
}

juce::AudioBuffer<float> BlockRenderer::runAll(const juce::AudioBuffer<float>& input)
{
    juce::AudioBuffer<float> output(juce::jmax(1, numOuts), input.getNumSamples());
    output.clear();
    run(input, 0, output, 0, input.getNumSamples());
    return output;
}

} // namespace kymhost
