#pragma once

#include "plugin/KymParameterTable.h"

#include <juce_core/juce_core.h>

namespace kymrender
{

// The plug-in's parameters in their own units, read from the plug-in's own
// table. Hosts only see normalised values; the tool converts "Drive=7" from
// the command line.
class ParameterUnits
{
public:
    // Finds a parameter by name, without regard to case; null when unknown.
    static const kym::ParameterRow* find(const juce::String& name);

    // value in the parameter's own units to 0..1; false (with a reason) when
    // the name is unknown, the value is outside the range or not a number, or
    // a stepped parameter is given a value between its steps.
    static bool toNormalised(const juce::String& name, double value, double& normalised, juce::String& error);

    // What a parameter takes: "0 to 10", "0 or 1".
    static juce::String valuesOf(const kym::ParameterRow& row);

    // Every parameter with what it takes, neighbours alike grouped:
    // "Input 0 to 2; Level, Drive 0 to 10; ...".
    static juce::String describeAll();

    static juce::String allNames();
};

} // namespace kymrender
