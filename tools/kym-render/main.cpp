// kym-render: renders a WAV file (or the built-in bass phrase) through the
// built VST3 or LV2 plug-in, as a DAW would host it, and prints one line per
// written file with its peak, RMS and the CPU time spent per second of audio.

#include "kym-host/BlockRenderer.h"
#include "kym-host/PluginLoader.h"
#include "kym-render/BassPhrase.h"
#include "kym-render/RenderOptions.h"

#include <juce_audio_formats/juce_audio_formats.h>

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

int fail (const juce::String& message, int code = 1)
{
    std::fprintf (stderr, "kym-render: %s\n", message.toRawUTF8());
    return code;
}

double toDb (double v)
{
    return v > 0.0 ? 20.0 * std::log10 (v) : -INFINITY;
}

int render (const kymrender::RenderOptions& options)
{
    juce::AudioBuffer<float> input;
    double rate = kymrender::BassPhrase::defaultRate;

    if (options.input == juce::File())
    {
        input = kymrender::BassPhrase::make (rate);
    }
    else
    {
        juce::AudioFormatManager formats;
        formats.registerBasicFormats();
        std::unique_ptr<juce::AudioFormatReader> reader (formats.createReaderFor (options.input));

        if (reader == nullptr)
            return fail ("cannot read " + options.input.getFullPathName());

        if (reader->numChannels < 1 || reader->numChannels > 2 || reader->lengthInSamples > (1 << 30))
            return fail (options.input.getFullPathName() + ": mono or stereo files only");

        rate = reader->sampleRate;
        input.setSize ((int) reader->numChannels, (int) reader->lengthInSamples);
        reader->read (&input, 0, (int) reader->lengthInSamples, 0, true, true);
    }

    auto bundle = options.plugin;

    if (bundle == juce::File())
    {
        const char* built = options.kind == kymhost::PluginKind::vst3 ? builtVst3 : builtLv2;

        if (*built == 0)
            return fail ("this build has no plug-in; name one with --plugin", 2);

        bundle = juce::File (built);
    }

    kymhost::PluginLoader loader;
    juce::String error;
    auto plugin = loader.load (options.kind, bundle, rate, options.blockSize, error);

    if (plugin == nullptr)
        return fail (error);

    // The file's own layout (1/1 or 2/2) where the plug-in offers it; LV2
    // offers only 1/1, which takes the first channel.
    const int channels = input.getNumChannels();

    if (! kymhost::PluginLoader::prepare (*plugin, channels, channels, rate, options.blockSize, error)
        && ! kymhost::PluginLoader::prepare (*plugin, 1, 1, rate, options.blockSize, error))
        return fail (error);

    for (const auto& s : options.settings)
    {
        auto* p = kymhost::PluginLoader::findParameter (*plugin, s.name);

        if (p == nullptr)
            return fail (plugin->getName() + " has no parameter " + s.name);

        p->setValue ((float) s.normalised);
    }

    kymhost::BlockRenderer renderer (*plugin, options.blockSize);
    auto output = renderer.runAll (input);
    plugin->releaseResources();
    const double cpu = renderer.cpuSeconds();
    plugin.reset();

    options.output.getParentDirectory().createDirectory();
    options.output.deleteFile();
    std::unique_ptr<juce::OutputStream> stream (options.output.createOutputStream().release());

    if (stream == nullptr)
        return fail ("cannot write " + options.output.getFullPathName());

    juce::WavAudioFormat wav;
    std::unique_ptr<juce::AudioFormatWriter> writer (
        wav.createWriterFor (stream.get(), rate, (unsigned int) output.getNumChannels(), 24, {}, 0));

    if (writer == nullptr)
        return fail ("cannot write a WAV file at " + juce::String (rate) + " Hz");

    stream.release(); // the writer owns it now
    writer->writeFromAudioSampleBuffer (output, 0, output.getNumSamples());
    writer.reset();

    double peak = 0.0;
    double sum = 0.0;

    for (int c = 0; c < output.getNumChannels(); ++c)
    {
        for (int i = 0; i < output.getNumSamples(); ++i)
        {
            const double v = output.getSample (c, i);
            peak = juce::jmax (peak, std::abs (v));
            sum += v * v;
        }
    }

    const double frames = (double) output.getNumSamples();
    const double rms = frames > 0.0 ? std::sqrt (sum / (frames * output.getNumChannels())) : 0.0;
    const double seconds = frames / rate;
    const double cpuPerSecond = seconds > 0.0 ? cpu / seconds : 0.0;

    std::printf ("%s: %s, %.2f s at %.0f Hz, peak %.2f dBFS, RMS %.2f dBFS, CPU %.4f s per s of audio (%.0fx real time)\n",
                 options.output.getFullPathName().toRawUTF8(),
                 kymhost::PluginLoader::kindName (options.kind).toRawUTF8(),
                 seconds, rate, toDb (peak), toDb (rms), cpuPerSecond,
                 cpuPerSecond > 0.0 ? 1.0 / cpuPerSecond : 0.0);
    std::fflush (stdout);
    return 0;
}

} // namespace

int main (int argc, char* argv[])
{
    juce::StringArray args;

    for (int i = 1; i < argc; ++i)
        args.add (juce::String::fromUTF8 (argv[i]));

    kymrender::RenderOptions options;
    juce::String error;

    if (! options.parse (args, error))
    {
        std::fprintf (stderr, "kym-render: %s\n%s", error.toRawUTF8(),
                      kymrender::RenderOptions::usage().toRawUTF8());
        return 2;
    }

    if (options.help)
    {
        std::printf ("%s", kymrender::RenderOptions::usage().toRawUTF8());
        return 0;
    }

    const juce::ScopedJuceInitialiser_GUI juce;
    return render (options);
}
