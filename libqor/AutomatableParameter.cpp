#include "libqor/AutomatableParameter.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace libqor
{

namespace
{

// Two decimals rounded half away from zero, so 0.125 reads 0.13; the stream
// formatting behind juce::String (value, 2) rounds that tie to 0.12.
juce::String twoDecimals(double n)
{
    if (!(n > -1.0e15 && n < 1.0e15))
        return juce::String(n, 2); // NaN, infinities, and values too large for the digit loop

    char buffer[32];
    char* const end = buffer + sizeof(buffer);
    char* t = end;
    auto v = (int64_t) (100.0 * std::abs(n) + 0.5);
    *--t = 0;

    for (int places = 2; places >= 0 || v > 0; --places)
    {
        if (places == 0)
            *--t = '.';

        *--t = (char) ('0' + (v % 10));
        v /= 10;
    }

    if (n < 0)
        *--t = '-';

    return juce::String(t);
}

// The whole text as one finite number in the C locale's form ("0.5", "-1",
// "5e-1", "+.25"), whatever the process locale.
bool readNumber(const juce::String& text, double& number)
{
    const char* first = text.toRawUTF8();
    const char* const last = first + std::strlen(first);

    const bool plus = first != last && *first == '+';
    if (plus) // from_chars takes a minus sign, not a plus
        ++first;
    if (first == last || (plus && (*first == '+' || *first == '-')))
        return false;

    double n = 0.0;
    const auto result = std::from_chars(first, last, n, std::chars_format::general);
    if (result.ec != std::errc() || result.ptr != last || !std::isfinite(n))
        return false;

    number = n;
    return true;
}

// Parameter::GetNormalised for a value other than the current one.
double normalisedOf(const Parameter& p, double v)
{
    const double c = juce::jlimit(p.minValue, p.maxValue, v);
    return std::pow((c - p.minValue) / (p.maxValue - p.minValue), 1.0 / p.skew);
}

} // namespace

AutomatableParameter::AutomatableParameter(int number)
    : juce::AudioProcessorParameterWithID(juce::ParameterID("slot" + juce::String(number)), {}),
      slotNumber((int32_t) number), placeholder(std::make_unique<Parameter>())
{
    resetPlaceholder();
}

AutomatableParameter::~AutomatableParameter()
{
    // The owner disconnects first (deleting a parameter does it); the slot
    // itself leaves the parameter alone.
    connected.store(nullptr);
}

void AutomatableParameter::resetPlaceholder()
{
    placeholder->InitDouble("spare", "spare", 0.5, 0.0, 1.0, 0.001, juce::String(), 1.0);
}

Parameter& AutomatableParameter::target() const noexcept
{
    Parameter* p = connected.load();
    return p != nullptr ? *p : *placeholder;
}

void AutomatableParameter::notifyParamChange(Parameter*)
{
    if (!onChange)
        return;

    Parameter* p = connected.load();
    onChange(slotNumber - 1, p != nullptr ? (float) p->GetNormalised() : 0.5f);
}

void AutomatableParameter::parameterCheck(Parameter*) {}

float AutomatableParameter::getValue() const
{
    return (float) target().GetNormalised();
}

void AutomatableParameter::setValue(float newValue)
{
    // Nobody skipped: the slot hears of its own write and reports the value
    // the parameter actually took.
    target().SetNormalised((double) newValue, nullptr);
}

float AutomatableParameter::getDefaultValue() const
{
    return (float) target().GetNormalisedDefault();
}

juce::String AutomatableParameter::getName(int maximumStringLength) const
{
    if (Parameter* p = connected.load())
        return maximumStringLength <= 1 ? juce::String() : p->name.substring(0, maximumStringLength - 1);

    return "Parameter " + juce::String(slotNumber);
}

juce::String AutomatableParameter::getLabel() const
{
    return target().label;
}

// A switch or integer parameter takes the values min, min + interval, ...
// max: hosts count those states (VST3 reports getNumSteps() - 1 of them as
// its step count, LV2 lists getNumSteps() scale points), so a two-state
// switch answers 2. A continuous parameter answers its interval truncated,
// 0 for every one of this plug-in.
int AutomatableParameter::getNumSteps() const
{
    const Parameter& p = target();

    if (isDiscrete())
    {
        const double states = std::floor((p.maxValue - p.minValue) / p.interval + 0.5) + 1.0;
        return states >= 2.0 && states < 2147483647.0 ? (int) states : 2;
    }

    const double interval = p.interval;
    if (!(interval > -2147483648.0 && interval < 2147483648.0))
        return 0;
    return (int) interval;
}

juce::String AutomatableParameter::getText(float normalisedValue, int) const
{
    return twoDecimals((double) normalisedValue);
}

// The inverse of getText: the text is a normalised value, as getText writes
// it. A switch also takes the display texts of its parameter ("off", "on").
// Anything else leaves the parameter where it is.
float AutomatableParameter::getValueForText(const juce::String& text) const
{
    const juce::String trimmed = text.trim();
    const Parameter& p = target();

    double number = 0.0;
    if (readNumber(trimmed, number))
        return (float) juce::jlimit(0.0, 1.0, number);

    for (const auto& shown : p.displayTexts)
        if (shown.text.isNotEmpty() && trimmed.equalsIgnoreCase(shown.text))
            return (float) normalisedOf(p, (double) shown.value);

    return getValue();
}

bool AutomatableParameter::isDiscrete() const
{
    const int32_t type = target().type;
    return type == Parameter::TypeSwitch || type == Parameter::TypeInteger;
}

bool AutomatableParameter::isBoolean() const
{
    return target().type == Parameter::TypeSwitch;
}

bool AutomatableParameter::isOrientationInverted() const
{
    return false;
}

bool AutomatableParameter::isAutomatable() const
{
    return true;
}

bool AutomatableParameter::isMetaParameter() const
{
    return false;
}

void AutomatableParameter::ConnectTo(Parameter* parameter, int newKey)
{
    if (parameter == nullptr)
        return;

    connected.store(parameter);
    parameter->AddObserver(this);
    key = (int32_t) newKey;
    parameter->connectedSlot = this;

    if (onChange)
        onChange(slotNumber - 1, (float) parameter->GetNormalised());
}

void AutomatableParameter::Disconnect()
{
    if (Parameter* p = connected.load())
    {
        p->RemoveObserver(this);
        connected.store(nullptr);
        resetPlaceholder();
    }

    if (onChange)
        onChange(slotNumber - 1, 0.5f);
}

juce::String AutomatableParameter::ConnectedTo() const
{
    juce::String text = "Parameter " + juce::String(slotNumber);

    if (Parameter* p = connected.load())
        text << " : " << p->name;

    return text;
}

} // namespace libqor
