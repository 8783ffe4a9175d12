#pragma once

#include "libqor/Parameter.h"

#include <juce_core/juce_core.h>

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
// Whatever a host hands back is read without trust: a record that is not
// ours, is damaged, or holds what the framework's XML reader cannot take
// safely changes nothing.
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

    // Whether the text may go to juce::XmlDocument (see the .cpp for why each
    // rule is there). The limits a text may reach:
    static constexpr size_t maxTextLength = size_t(4) << 20;
    static constexpr int maxElementStarts = 256;
    static constexpr size_t maxRescanWork = size_t(1) << 26; // element starts x text length
    static constexpr int maxAttributes = 1024;               // '=' characters
    static constexpr int maxReferences = 256;                // '&' characters
    static bool isSafeToParse(const char* text, size_t length) noexcept;

    // %.20g in the C locale, whatever the process locale.
    static juce::String formatNormalised(double x);

    // The leading number of the text as juce::CharacterFunctions::readDoubleValue
    // finds it (0 when there is none), correctly rounded.
    static double readStateValue(const juce::String& text) noexcept;

    // Reads a number the framework's reader would overflow on; false, and
    // value untouched, for every other text.
    static bool readOutsizedNumber(const char* text, double& value) noexcept;

    // The first child of parent whose tag name equals tagName, ASCII letters
    // compared without case (strcasecmp in the C locale); null if none.
    static const juce::XmlElement* findChild(const juce::XmlElement& parent, const char* tagName) noexcept;
};
