#include "kym-render/ParameterUnits.h"

#include <cmath>

namespace kymrender
{

namespace
{

constexpr ParameterUnits::Range ranges[] = {
    { "Input",    0.0,  2.0, false },
    { "Level",    0.0, 10.0, false },
    { "Drive",    0.0, 10.0, false },
    { "Low",      0.0, 10.0, false },
    { "High",     0.0, 10.0, false },
    { "Presence", 0.0, 10.0, false },
    { "Blend",    0.0, 10.0, false },
    { "Bypass",   0.0,  1.0, true },
    { "Quality",  0.0,  1.0, true },
};

} // namespace

const ParameterUnits::Range* ParameterUnits::find (const juce::String& name)
{
    for (const auto& r : ranges)
        if (name.equalsIgnoreCase (r.name))
            return &r;

    return nullptr;
}

bool ParameterUnits::toNormalised (const juce::String& name, double value,
                                   double& normalised, juce::String& error)
{
    const auto* r = find (name);

    if (r == nullptr)
    {
        error = "unknown parameter \"" + name + "\" (known: " + allNames() + ")";
        return false;
    }

    if (! std::isfinite (value) || value < r->minValue || value > r->maxValue)
    {
        error = juce::String (r->name) + " takes " + juce::String (r->minValue) + " to "
                + juce::String (r->maxValue) + ", not " + juce::String (value);
        return false;
    }

    if (r->isSwitch && value != r->minValue && value != r->maxValue)
    {
        error = juce::String (r->name) + " is a switch: 0 or 1, not " + juce::String (value);
        return false;
    }

    normalised = (value - r->minValue) / (r->maxValue - r->minValue);
    return true;
}

juce::String ParameterUnits::allNames()
{
    juce::StringArray names;

    for (const auto& r : ranges)
        names.add (r.name);

    return names.joinIntoString (", ");
}

} // namespace kymrender
