// processBlock on quiet input: seconds of silence and of a -300 dB signal
// after a loud burst, and silence from the start, beside the render tool's
// bass phrase, at 48 kHz in 512-frame blocks, Quality 0 and 1. Quiet must
// cost no more than music.
//
// A host's audio thread is usually not the one that built the processor, and
// its MXCSR is the power-on default (no flush-to-zero, no denormals-are-zero).
// processBlock sets flush-to-zero for each block on whatever thread runs it,
// and construction gives the building thread its MXCSR back; each case runs
// twice, processed on the building thread and on another one, both from the
// default MXCSR, and the two should cost the same. Time per iteration is the
// time of one 512-frame block.

#include "plugin/KymAudioProcessor.h"
#include "plugin/KymParameterTable.h"
#include "tools/kym-render/BassRiff.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include <xmmintrin.h>

namespace
{

constexpr double sampleRate = 48000.0;
constexpr int blockSize = 512;
constexpr unsigned defaultCsr = 0x1F80u;
// Silence is measured over the first ten seconds after each burst: that is
// where any state still on its way to zero would pass through the subnormals.
constexpr int tailBlocks = static_cast<int>(10.0 * sampleRate / blockSize);
constexpr int burstBlocks = static_cast<int>(0.5 * sampleRate / blockSize);

enum Signal
{
    music,
    silence,
    minus300dB,
    // Silence from the start, with no burst before it: a freshly inserted
    // plug-in on a quiet track. Timed from six seconds on: the input network
    // takes a few seconds to decay to where subnormals would appear.
    silenceFromStart
};

constexpr int settleBlocks = static_cast<int>(6.0 * sampleRate / blockSize);

// What the circuit sees from a bass: the phrase peaking at -3 dBFS.
constexpr double phrasePeak = 0.708;

// Builds the processor on the calling thread or on a helper thread.
std::unique_ptr<KymAudioProcessor> makeProcessor(bool onThisThread, float quality)
{
    std::unique_ptr<KymAudioProcessor> p;
    auto build = [&] {
        p = std::make_unique<KymAudioProcessor>();
        p->setPlayConfigDetails(1, 2, sampleRate, blockSize);
        p->getParameters()[kym::driveIndex]->setValue(0.7f);
        p->getParameters()[kym::qualityIndex]->setValue(quality);
    };
    if (onThisThread)
        build();
    else
        std::thread(build).join();
    return p;
}

class Runner
{
public:
    Runner(KymAudioProcessor& processor, const std::vector<float>& source)
        : p(processor), input(source), buffer(2, blockSize)
    {}

    void block()
    {
        buffer.copyFrom(0, 0, input.data() + position, blockSize);
        buffer.clear(1, 0, blockSize);
        position += blockSize;
        if (position + blockSize > static_cast<int>(input.size()))
            position = 0;
        p.processBlock(buffer, midi);
        benchmark::DoNotOptimize(buffer.getReadPointer(1));
    }

    void rewind() { position = 0; }

private:
    KymAudioProcessor& p;
    const std::vector<float>& input;
    juce::AudioBuffer<float> buffer;
    juce::MidiBuffer midi;
    int position = 0;
};

void processBlockQuiet(benchmark::State& state)
{
    const auto signal = static_cast<Signal>(state.range(0));
    const float quality = static_cast<float>(state.range(1));
    const bool constructingThread = state.range(2) == 0;

    const unsigned savedCsr = _mm_getcsr();
    _mm_setcsr(defaultCsr);
    auto p = makeProcessor(constructingThread, quality);

    const auto phrase = kymrender::bassRiff(sampleRate, phrasePeak);
    // A loud burst: the phrase 6 dB hotter, its peaks past full scale.
    const auto loud = kymrender::bassRiff(sampleRate, 2.0 * phrasePeak);
    std::vector<float> tail(static_cast<size_t>(tailBlocks) * blockSize, 0.0f);
    if (signal == minus300dB)
        for (size_t i = 0; i < tail.size(); ++i)
            tail[i] = static_cast<float>(1e-15 * std::sin(2.0 * M_PI * 55.0 * static_cast<double>(i) / sampleRate));

    Runner burst(*p, loud);
    Runner timed(*p, signal == music ? phrase : tail);
    if (signal == silenceFromStart)
        for (int k = 0; k < settleBlocks; ++k)
            timed.block();
    else
        for (int k = 0; k < burstBlocks; ++k)
            burst.block();

    const bool burstAgain = signal == silence || signal == minus300dB;
    int sinceBurst = 0;
    for (auto _ : state)
    {
        timed.block();
        if (burstAgain && ++sinceBurst == tailBlocks)
        {
            state.PauseTiming();
            burst.rewind();
            for (int k = 0; k < burstBlocks; ++k)
                burst.block();
            timed.rewind();
            sinceBurst = 0;
            state.ResumeTiming();
        }
    }

    _mm_setcsr(savedCsr);

    const double samples = static_cast<double>(state.iterations()) * blockSize;
    state.counters["realtime_x"] = benchmark::Counter(samples / sampleRate, benchmark::Counter::kIsRate);
}

void cases(benchmark::internal::Benchmark* b)
{
    b->ArgNames({ "signal", "quality", "other_thread" });
    for (int thread = 0; thread <= 1; ++thread)
        for (int quality = 0; quality <= 1; ++quality)
            for (int signal = music; signal <= silenceFromStart; ++signal)
                b->Args({ signal, quality, thread });
}

} // namespace

BENCHMARK(processBlockQuiet)->Apply(cases)->Unit(benchmark::kMicrosecond);
