#include "kym-render/RenderOptions.h"

#include "kym-render/ParameterUnits.h"

namespace kymrender
{

namespace
{

// A whole decimal number and nothing else: "7", "0.25", "-1e-3".
bool parseNumber (const juce::String& text, double& value)
{
    const auto t = text.trim();

    if (t.isEmpty())
        return false;

    auto p = t.getCharPointer();
    value = juce::CharacterFunctions::readDoubleValue (p);
    return p.isEmpty() && p != t.getCharPointer();
}

} // namespace

juce::String RenderOptions::usage()
{
    return "usage: kym-render [--format vst3|lv2] [--plugin BUNDLE] [--set Name=value]...\n"
           "                  [--block FRAMES] --output OUT.wav [IN.wav]\n"
           "Renders IN.wav (or, without it, a built-in bass phrase at 48 kHz) through the\n"
           "plug-in at the file's own rate and writes OUT.wav (24-bit).\n"
           "Values are in each parameter's own units: Input 0..2; Level, Drive, Low,\n"
           "High, Presence, Blend 0..10; Bypass and Quality 0 or 1.\n";
}

bool RenderOptions::parse (const juce::StringArray& args, juce::String& error)
{
    const auto needValue = [&] (int& i, juce::String& value) {
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
            if (! needValue (i, value))
                return false;

            if (! kymhost::PluginLoader::parseKind (value, kind))
            {
                error = "unknown format \"" + value + "\" (vst3 or lv2)";
                return false;
            }
        }
        else if (arg == "--plugin")
        {
            if (! needValue (i, value))
                return false;

            plugin = juce::File::getCurrentWorkingDirectory().getChildFile (value);
        }
        else if (arg == "--output" || arg == "-o")
        {
            if (! needValue (i, value))
                return false;

            output = juce::File::getCurrentWorkingDirectory().getChildFile (value);
        }
        else if (arg == "--block")
        {
            double frames = 0.0;

            if (! needValue (i, value))
                return false;

            if (! parseNumber (value, frames) || frames < 1.0 || frames > 65536.0
                || frames != (double) (int) frames)
            {
                error = "--block takes a whole number of frames from 1 to 65536, not \"" + value + "\"";
                return false;
            }

            blockSize = (int) frames;
        }
        else if (arg == "--set")
        {
            if (! needValue (i, value))
                return false;

            const int eq = value.indexOfChar ('=');
            double number = 0.0;

            if (eq <= 0 || ! parseNumber (value.substring (eq + 1), number))
            {
                error = "--set takes Name=value, not \"" + value + "\"";
                return false;
            }

            Setting s;
            s.name = value.substring (0, eq).trim();

            if (! ParameterUnits::toNormalised (s.name, number, s.normalised, error))
                return false;

            s.name = ParameterUnits::find (s.name)->name;
            settings.push_back (s);
        }
        else if (arg.startsWith ("-") && arg.length() > 1)
        {
            error = "unknown option " + arg;
            return false;
        }
        else if (input == juce::File())
        {
            input = juce::File::getCurrentWorkingDirectory().getChildFile (arg);
        }
        else
        {
            error = "one input file at most";
            return false;
        }
    }

    if (! help && output == juce::File())
    {
        error = "--output is missing";
        return false;
    }

    return true;
}

} // namespace kymrender
