#pragma once

#include "test_processor_support.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kymtest
{

using Bytes = std::vector<uint8_t>;

// The record around an XML text: magic, L = the text's length, the text, a zero byte.
inline Bytes stateRecord(const std::string& text)
{
    const auto L = static_cast<uint32_t>(text.size());
    Bytes b = { 0x56, 0x43, 0x32, 0x21 };
    for (int k = 0; k < 4; ++k)
        b.push_back(static_cast<uint8_t>(L >> (8 * k)));
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(0);
    return b;
}

inline Bytes savedState(KymAudioProcessor& p)
{
    juce::MemoryBlock block;
    p.getStateInformation(block);
    const auto* data = static_cast<const uint8_t*>(block.getData());
    return Bytes(data, data + block.getSize());
}

// Settings with every value away from its default, and the normalised values
// they load as, in parameter index order.
inline const std::string distinctSettings =
    "<Settings Input=\"0.25\" Output=\"0.125\" Drive=\"0.75\" Bass=\"0.375\" Treble=\"0.625\" Blend=\"0.875\" "
    "Presence=\"0.0625\" Bypass=\"1\" Quality=\"1\"/>";
inline const std::array<double, 9> distinctValues = { 0.25, 0.125, 0.75, 0.375, 0.625, 0.0625, 0.875, 1.0, 1.0 };

// A record text that loads distinctValues, with `inside` after the root's start tag.
inline std::string recordText(const std::string& inside = std::string())
{
    return "<ZOVARIDU>" + inside + "<ProductInfo Product=\"KYM\" Version=\"2.1\"/>" + distinctSettings + "</ZOVARIDU>";
}

} // namespace kymtest
