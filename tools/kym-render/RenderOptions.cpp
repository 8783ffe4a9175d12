#include "kym-render/RenderOptions.h"

#include "kym-render/ParameterUnits.h"

#include <cstddef>
#include <utility>

namespace kymrender
{

namespace
{

// A whole decimal number and nothing else: "7", "0.25", "-1e-3".
bool parseNumber(const juce::String& text, double& value)
{
    const auto t = text.trim();

    if (t.isEmpty())
        return false;

    auto p = t.getCharPointer();
    value = juce::CharacterFunctions::readDoubleValue(p);
    return p.isEmpty() && p != t.getCharPointer();
}

// The value of the name that text spells, in any case.
template <typename Value, size_t N>
bool parseName(const juce::String& text, const std::pair<const char*, Value> (&names)[N], Value& value)
{
    for (const auto& [name, v] : names)
    {
        if (text.equalsIgnoreCase(name))
        {
            value = v;
            return true;
        }
    }

    return false;
}

bool parseSampleFormat(const juce::String& text, SampleFormat& format)
{
    const std::pair<const char*, SampleFormat> names[] = {
        { "16", SampleFormat::int16 },
        { "24", SampleFormat::int24 },
        { "32f", SampleFormat::float32 },
    };

    return parseName(text, names, format);
}

bool parseChannel(const juce::String& text, RenderOptions::Channel& channel)
{
    using Channel = RenderOptions::Channel;
    const std::pair<const char*, Channel> names[] = {
        { "left", Channel::left },
        { "right", Channel::right },
        { "mid", Channel::mid },
    };

    return parseName(text, names, channel);
}

} // namespace

juce::String RenderOptions::usage()
{
    return "usage: kym-render [--format vst3|lv2] [--plugin BUNDLE] [--set Name=value]...\n"
           "                  [--bits 16|24|32f] [--channel left|right|mid] [--block FRAMES]\n"
           "                  --output OUT.wav [IN.wav]\n"
           "Renders IN.wav, a mono or stereo WAV file (without it, a built-in bass phrase\n"
           "at 48 kHz), through the plug-in at the file's own rate and writes OUT.wav.\n"
           "Before the file, one block of silence runs through the plug-in, as a host's\n"
           "pre-roll, so that the settings and the rate hold from the first sample.\n"
           "\n"
           "  --format   plug-in format (default vst3)\n"
           "  --plugin   the bundle to load (default: the one this build made)\n"
           "  --set      a parameter in its own units, the last one given counts:\n"
           "             "
        + ParameterUnits::describeAll().replace("; ", ";\n             ")
        + "\n"
          "  --bits     OUT.wav's samples: 16 or 24-bit integer, or 32-bit float (32f,\n"
          "             the default); integer samples clip above 0 dBFS, which is\n"
          "             reported with the number of clipped samples\n"
          "  --channel  the channel of a stereo IN.wav fed to the plug-in, which takes\n"
          "             one (default left); mid feeds (left + right) / 2\n"
          "  --block    frames per block, 1 to 65536 (default 512)\n"
          "  --output   OUT.wav; it has IN.wav's channels, each with the plug-in's\n"
          "             output. An old file there is replaced only when the render\n"
          "             succeeded; a folder or other non-file is never replaced.\n"
          "\n"
          "Exit status: 0 when OUT.wav was written; 1 when the render failed, OUT.wav\n"
          "then left as it was; 2 on a bad command line.\n";
}

bool RenderOptions::parse(const juce::StringArray& args, juce::String& error)
{
    const auto needValue = [&](int& i, juce::String& value) {
        if (i + 1 >= args.size())
        {
            error = args[i] + " needs a value";
            return false;
        }

        value = args[++i];
        return true;
    };

    for (int i = 0; i < args.size(); ++i)
    {
        const auto& arg = args[i];
        juce::String value;

        if (arg == "--help" || arg == "-h")
        {
            help = true;
        }
        else if (arg == "--format")
        {
            if (!needValue(i, value))
                return false;

            if (!kymhost::PluginLoader::parseKind(value, kind))
            {
                error = "unknown format \"" + value + "\" (vst3 or lv2)";
                return false;
            }
        }
        else if (arg == "--plugin")
        {
            if (!needValue(i, value))
                return false;

            plugin = juce::File::getCurrentWorkingDirectory().getChildFile(value);
        }
        else if (arg == "--output" || arg == "-o")
        {
            if (!needValue(i, value))
                return false;

            output = juce::File::getCurrentWorkingDirectory().getChildFile(value);
        }
        else if (arg == "--block")
        {
            double frames = 0.0;

            if (!needValue(i, value))
                return false;

            if (!parseNumber(value, frames) || frames < 1.0 || frames > 65536.0 || frames != (double) (int) frames)
            {
                error = "--block takes a whole number of frames from 1 to 65536, not \"" + value + "\"";
                return false;
            }

            blockSize = (int) frames;
        }
        else if (arg == "--bits")
        {
            if (!needValue(i, value))
                return false;

            if (!parseSampleFormat(value, format))
            {
                error = "--bits takes 16, 24 or 32f (32-bit float), not \"" + value + "\"";
                return false;
            }
        }
        else if (arg == "--channel")
        {
            if (!needValue(i, value))
                return false;

            if (!parseChannel(value, channel))
            {
                error = "--channel takes left, right or mid, not \"" + value + "\"";
                return false;
            }

            channelChosen = true;
        }
        else if (arg == "--set")
        {
            if (!needValue(i, value))
                return false;

            const int eq = value.indexOfChar('=');
            double number = 0.0;

            if (eq <= 0 || !parseNumber(value.substring(eq + 1), number))
            {
                error = "--set takes Name=value, not \"" + value + "\"";
                return false;
            }

            Setting s;
            s.name = value.substring(0, eq).trim();

            if (!ParameterUnits::toNormalised(s.name, number, s.normalised, error))
                return false;

            s.name = ParameterUnits::find(s.name)->name;
            settings.push_back(s);
        }
        else if (arg.startsWith("-") && arg.length() > 1)
        {
            error = "unknown option " + arg;
            return false;
        }
        else if (input == juce::File())
        {
            input = juce::File::getCurrentWorkingDirectory().getChildFile(arg);
        }
        else
        {
            error = "one input file at most";
            return false;
        }
    }

    if (!help && output == juce::File())
    {
        error = "--output is missing";
        return false;
    }

    return true;
}

} // namespace kymrender
