#include "kym-render/ParameterUnits.h"

#include <cmath>

namespace kymrender
{

namespace
{

bool isStepped(const kym::ParameterRow& r)
{
    return r.kind != kym::ParameterKind::continuous;
}

} // namespace

const kym::ParameterRow* ParameterUnits::find(const juce::String& name)
{
    for (const auto& r : kym::parameterTable)
        if (name.equalsIgnoreCase(r.name))
            return &r;

    return nullptr;
}

bool ParameterUnits::toNormalised(const juce::String& name, double value, double& normalised, juce::String& error)
{
    const auto* r = find(name);

    if (r == nullptr)
    {
        error = "unknown parameter \"" + name + "\" (known: " + allNames() + ")";
        return false;
    }

    const bool inRange = std::isfinite(value) && value >= r->minValue && value <= r->maxValue;
    // A stepped parameter rounds whatever it is sent to a step; a value between
    // steps on the command line is a mistake, not a request.
    const double steps = (value - r->minValue) / r->interval;

    if (!inRange || (isStepped(*r) && steps != std::floor(steps)))
    {
        error = juce::String(r->name) + " takes " + valuesOf(*r) + ", not " + juce::String(value);
        return false;
    }

    normalised = (value - r->minValue) / (r->maxValue - r->minValue);
    return true;
}

juce::String ParameterUnits::valuesOf(const kym::ParameterRow& r)
{
    const juce::String lo(r.minValue), hi(r.maxValue);

    if (!isStepped(r))
        return lo + " to " + hi;

    if (r.maxValue - r.minValue == r.interval)
        return lo + " or " + hi;

    return lo + " to " + hi + " in steps of " + juce::String(r.interval);
}

juce::String ParameterUnits::describeAll()
{
    juce::StringArray groups;
    juce::StringArray names;
    juce::String values;

    for (const auto& r : kym::parameterTable)
    {
        const auto v = valuesOf(r);

        if (v != values && !names.isEmpty())
        {
            groups.add(names.joinIntoString(", ") + " " + values);
            names.clear();
        }

        names.add(r.name);
        values = v;
    }

    groups.add(names.joinIntoString(", ") + " " + values);
    return groups.joinIntoString("; ");
}

juce::String ParameterUnits::allNames()
{
    juce::StringArray names;

    for (const auto& r : kym::parameterTable)
        names.add(r.name);

    return names.joinIntoString(", ");
}

} // namespace kymrender
