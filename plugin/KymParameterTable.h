#pragma once

// The plug-in's nine parameters: IDs, names, ranges, defaults and the words
// the state record stores them under. Standard library only, so that tools
// outside the plug-in (the render tool, the fuzzer) read the same table.

namespace kym
{

// Index order is the host's parameter order, the editor's and the processor's.
enum ParameterIndex : int
{
    inputIndex = 0,
    levelIndex,
    driveIndex,
    lowIndex,
    highIndex,
    presenceIndex,
    blendIndex,
    bypassIndex,
    qualityIndex,
    parameterCount
};

enum class ParameterKind
{
    continuous,
    toggle, // Bypass: a switch with "off" / "on" texts
    integer // Quality: 0 or 1
};

struct ParameterRow
{
    const char* id;
    const char* name;      // what hosts and the editor show
    const char* stateWord; // the record's attribute name: the word of the ID
    ParameterKind kind;
    double minValue;
    double maxValue;
    double defaultValue;
    double interval;
    double missingNormalised; // what a record without this attribute loads as
};

inline constexpr ParameterRow parameterTable[parameterCount] = {
    { "KYM_Input", "Input", "Input", ParameterKind::continuous, 0.0, 2.0, 1.0, 0.0001, 0.5 },
    { "KYM_Output", "Level", "Output", ParameterKind::continuous, 0.0, 10.0, 5.0, 0.0001, 0.5 },
    { "KYM_Drive", "Drive", "Drive", ParameterKind::continuous, 0.0, 10.0, 5.0, 0.0001, 0.5 },
    { "KYM_Bass", "Low", "Bass", ParameterKind::continuous, 0.0, 10.0, 5.0, 0.0001, 0.5 },
    { "KYM_Treble", "High", "Treble", ParameterKind::continuous, 0.0, 10.0, 5.0, 0.0001, 0.5 },
    { "KYM_Presence", "Presence", "Presence", ParameterKind::continuous, 0.0, 10.0, 5.0, 0.0001, 0.5 },
    { "KYM_Blend", "Blend", "Blend", ParameterKind::continuous, 0.0, 10.0, 0.0, 0.0001, 0.5 },
    { "KYM_Bypass", "Bypass", "Bypass", ParameterKind::toggle, 0.0, 1.0, 0.0, 1.0, 0.0 },
    { "KYM_Quality", "Quality", "Quality", ParameterKind::integer, 0.0, 1.0, 0.0, 1.0, 0.0 },
};

// The order the record holds its attributes in: Blend before Presence.
inline constexpr int stateOrder[parameterCount] = {
    inputIndex, levelIndex, driveIndex, lowIndex, highIndex, blendIndex, presenceIndex, bypassIndex, qualityIndex,
};

} // namespace kym
