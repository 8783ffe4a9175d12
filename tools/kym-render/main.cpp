// kym-render: renders a WAV file (or the built-in bass phrase) through the
// built VST3 or LV2 plug-in, as a DAW would host it, and prints one line per
// written file with its peak, RMS and the CPU time spent per second of audio.

#include "kym-host/BlockRenderer.h"
#include "kym-host/PluginLoader.h"
#include "kym-render/BassPhrase.h"
#include "kym-render/OutputFile.h"
#include "kym-render/RenderOptions.h"
#include "kym-render/WavInput.h"
#include "kym-render/WavWriter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace
{

#ifdef QOR_VST3_BUNDLE
const char* const builtVst3 = QOR_VST3_BUNDLE;
const char* const builtLv2 = QOR_LV2_BUNDLE;
#else
const char* const builtVst3 = "";
const char* const builtLv2 = "";
#endif

// Exit status, as --help gives it.
constexpr int exitWritten = 0;
constexpr int exitFailed = 1;
constexpr int exitBadCommandLine = 2;

int fail(const juce::String& message, int code = exitFailed)
{
    std::fprintf(stderr, "kym-render: %s\n", message.toRawUTF8());
    return code;
}

void note(const juce::String& message)
{
    std::fprintf(stderr, "kym-render: %s\n", message.toRawUTF8());
}

double toDb(double v)
{
    return v > 0.0 ? 20.0 * std::log10(v) : -INFINITY;
}

// What the plug-in is fed: the built-in phrase, or the chosen channel of a file.
class Source
{
public:
    using Channel = kymrender::RenderOptions::Channel;

    bool open(const kymrender::RenderOptions& options, juce::String& error)
    {
        channel = options.channel;

        if (options.input == juce::File())
        {
            rate = kymrender::BassPhrase::defaultRate;
            phrase = kymrender::BassPhrase::make(rate);
            channels = 1;
            frames = phrase.getNumSamples();
            return true;
        }

        if (!file.open(options.input, error))
            return false;

        rate = file.sampleRate();
        channels = file.numChannels();
        frames = file.numFrames();
        fromFile = true;
        return true;
    }

    // The next n frames for the plug-in into channel 0 of mono.
    bool next(juce::AudioBuffer<float>& mono, int n, juce::String& error)
    {
        if (!fromFile)
        {
            mono.copyFrom(0, 0, phrase, 0, (int) done, n);
            done += n;
            return true;
        }

        if (scratch.getNumChannels() != channels || scratch.getNumSamples() < n)
            scratch.setSize(channels, n);

        if (!file.read(scratch, n, error))
            return false;

        const int last = channels - 1;

        if (channel == Channel::mid && channels > 1)
        {
            mono.copyFrom(0, 0, scratch, 0, 0, n);
            mono.addFrom(0, 0, scratch, 1, 0, n);
            mono.applyGain(0, 0, n, 0.5f);
        }
        else
        {
            mono.copyFrom(0, 0, scratch, channel == Channel::right ? last : 0, 0, n);
        }

        done += n;
        return true;
    }

    double rate = 0.0;
    int channels = 0;
    juce::int64 frames = 0;

private:
    Channel channel = Channel::left;
    bool fromFile = false;
    juce::AudioBuffer<float> phrase;
    kymrender::WavInput file;
    juce::AudioBuffer<float> scratch;
    juce::int64 done = 0;
};

int render(const kymrender::RenderOptions& options)
{
    auto bundle = options.plugin;

    if (bundle == juce::File())
    {
        const char* built = options.kind == kymhost::PluginKind::vst3 ? builtVst3 : builtLv2;

        if (*built == 0)
            return fail("this build has no plug-in; name one with --plugin", exitBadCommandLine);

        bundle = juce::File(built);
    }

    juce::String error;
    Source source;

    if (!source.open(options, error))
        return fail(error);

    if (source.channels > 1 && !options.channelChosen)
        note(options.input.getFileName()
             + " is stereo and the plug-in takes one channel: the left one "
               "is rendered, the right one is not used (--channel left|right|mid chooses)");

    // Before the plug-in is loaded, so that a target that will be refused
    // costs no render.
    kymrender::OutputFile target;

    if (!target.open(options.output, error))
        return fail(error);

    const double rate = source.rate;
    kymhost::PluginLoader loader;
    auto plugin = loader.load(options.kind, bundle, rate, options.blockSize, error);

    if (plugin == nullptr)
        return fail(error);

    if (!kymhost::PluginLoader::prepare(*plugin, 1, 1, rate, options.blockSize, error))
        return fail(error);

    for (const auto& s : options.settings)
    {
        auto* p = kymhost::PluginLoader::findParameter(*plugin, s.name);

        if (p == nullptr)
            return fail(plugin->getName() + " has no parameter " + s.name);

        p->setValue((float) s.normalised);
    }

    kymhost::BlockRenderer renderer(*plugin, options.blockSize);

    // A host runs the plug-in before playback starts, so the settings and the
    // file's rate are taken up, and the circuit has started from rest at that
    // rate, before the file's first sample.
    {
        juce::AudioBuffer<float> silence(1, options.blockSize);
        juce::AudioBuffer<float> discarded(1, options.blockSize);
        silence.clear();
        renderer.run(silence, 0, discarded, 0, options.blockSize);
    }

    const double preRollCpu = renderer.cpuSeconds();

    kymrender::WavWriter writer;

    if (!writer.open(target.temporary(), rate, source.channels, options.format, error))
        return fail(error);

    // Whole blocks per chunk, so that the plug-in sees the same blocks as it
    // would over the whole file at once.
    const int chunk = options.blockSize * std::max(1, 16384 / options.blockSize);
    juce::AudioBuffer<float> in(1, chunk);
    juce::AudioBuffer<float> out(1, chunk);

    for (juce::int64 done = 0; done < source.frames;)
    {
        const int n = (int) std::min<juce::int64>(chunk, source.frames - done);

        if (!source.next(in, n, error))
            return fail(error);

        renderer.run(in, 0, out, 0, n);

        if (!writer.write(out.getReadPointer(0), n, error))
            return fail(error);

        done += n;
    }

    plugin->releaseResources();
    const double cpu = renderer.cpuSeconds() - preRollCpu;
    plugin.reset();

    if (!writer.close(error) || !target.commit(error))
        return fail(error);

    const auto formatName = kymrender::WavWriter::describe(options.format);

    if (writer.clippedSamples() > 0)
    {
        char peak[32];
        std::snprintf(peak, sizeof(peak), "%+.2f", toDb(writer.signalPeak()));
        note(juce::String("warning: ") + juce::String(writer.clippedSamples()) + " of " + juce::String(writer.samples())
             + " samples clipped in the " + formatName + " file; the signal peaks at " + juce::String(peak)
             + " dBFS (--bits 32f keeps it whole)");
    }

    if (writer.nonFiniteSamples() > 0)
        note(juce::String("warning: ") + juce::String(writer.nonFiniteSamples())
             + " samples from the plug-in were not numbers and were written as 0");

    const double seconds = (double) writer.frames() / rate;
    const double cpuPerSecond = seconds > 0.0 ? cpu / seconds : 0.0;

    std::printf(
        "%s: %s, %s, %.2f s at %.0f Hz, peak %.2f dBFS, RMS %.2f dBFS, CPU %.4f s per s of audio (%.0fx real time)\n",
        options.output.getFullPathName().toRawUTF8(), kymhost::PluginLoader::kindName(options.kind).toRawUTF8(),
        formatName.toRawUTF8(), seconds, rate, toDb(writer.peak()), toDb(writer.rms()), cpuPerSecond,
        cpuPerSecond > 0.0 ? 1.0 / cpuPerSecond : 0.0);
    std::fflush(stdout);
    return exitWritten;
}

} // namespace

int main(int argc, char* argv[])
{
    juce::StringArray args;

    for (int i = 1; i < argc; ++i)
        args.add(juce::String::fromUTF8(argv[i]));

    kymrender::RenderOptions options;
    juce::String error;

    if (!options.parse(args, error))
    {
        std::fprintf(stderr, "kym-render: %s\n%s", error.toRawUTF8(), kymrender::RenderOptions::usage().toRawUTF8());
        return exitBadCommandLine;
    }

    if (options.help)
    {
        std::printf("%s", kymrender::RenderOptions::usage().toRawUTF8());
        return exitWritten;
    }

    const juce::ScopedJuceInitialiser_GUI juce;
    return render(options);
}
