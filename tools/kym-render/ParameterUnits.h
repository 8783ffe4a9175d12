#pragma once

#include <juce_core/juce_core.h>

namespace kymrender
{

// The plug-in's parameters in their own units. Hosts only see normalised
// values, so the tool keeps the ranges to accept "Drive=7" on the command line.
class ParameterUnits
{
public:
    struct Range
    {
        const char* name;
        double minValue;
        double maxValue;
        bool isSwitch;
    };

    // Finds a parameter by name, without regard to case; null when unknown.
    static const Range* find (const juce::String& name);

    // value in the parameter's own units to 0..1; false (with a reason) when
    // the name is unknown or the value is outside the range or not a number.
    static bool toNormalised (const juce::String& name, double value,
                              double& normalised, juce::String& error);

    static juce::String allNames();
};

} // namespace kymrender
