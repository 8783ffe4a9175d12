#pragma once

#include "libqor/Parameter.h"
#include "plugin/KymParameterTable.h"

#include <juce_core/juce_core.h>

#include <array>
#include <cstddef>
#include <cstdint>

// The plug-in's stored state, the one block of bytes a host keeps for it:
//
//   magic 0x21324356 | L, signed 32-bit | L bytes of XML text | a zero byte
//
// little-endian, the text on one line: a ZOVARIDU root holding ProductInfo
// (Product "KYM", Version "2.1") and Settings, whose attributes carry the
// nine normalised values under the words of kym::parameterTable, in
// kym::stateOrder.
//
// Whatever a host hands back is read without trust, and never by the
// framework's XML reader: a record that is not ours, is damaged, or holds
// more than a record can changes nothing.
class KymStateRecord
{
public:
    KymStateRecord() = delete;

    static constexpr uint32_t magic = 0x21324356u;

    // Replaces the block's whole content with the record of the parameters'
    // current values, each read once, in the record's attribute order.
    static void write(const juce::OwnedArray<libqor::Parameter>& parameters, juce::MemoryBlock& destData);

    // Applies a record to the parameters, in the record's attribute order.
    // False when it is refused; nothing has changed then.
    static bool read(const void* data, int sizeInBytes, const juce::OwnedArray<libqor::Parameter>& parameters);

    // The line "Settings loaded" on standard error, written so that a closed
    // pipe there cannot raise SIGPIPE and end the host.
    static void reportLoaded() noexcept;

    // The pieces of read and write.

    // The nine normalised values a record holds, in parameter index order;
    // false when it is refused (see KymStateScanner for what a record may be).
    static bool readValues(const void* data, int sizeInBytes, std::array<double, kym::parameterCount>& values);

    // %.20g in the C locale, whatever the process locale.
    static juce::String formatNormalised(double x);

    // The leading number of the text as juce::CharacterFunctions::readDoubleValue
    // finds it (0 when there is none), correctly rounded.
    static double readStateValue(const juce::String& text) noexcept;

    // Reads a number the framework's reader would overflow on; false, and
    // value untouched, for every other text.
    static bool readOutsizedNumber(const char* text, double& value) noexcept;
};
