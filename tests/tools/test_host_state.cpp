// State saved by one format and restored in the other, as when a project moves
// between hosts: the plug-in's own record travels inside each format's
// container and must come out byte for byte the same.

#include "HostTestSupport.h"

namespace kymtest
{
namespace
{

// The record inside JUCE's VST3 host container: the component state, which
// the wrapper ends with its own private data after the record.
juce::MemoryBlock recordFromVst3(const juce::MemoryBlock& hostState)
{
    auto xml = juce::AudioProcessor::getXmlFromBinary(hostState.getData(), (int) hostState.getSize());

    if (xml == nullptr || xml->getChildByName("IComponent") == nullptr)
        return {};

    juce::MemoryBlock component;
    component.fromBase64Encoding(xml->getChildByName("IComponent")->getAllSubText());
    return component;
}

juce::MemoryBlock vst3WithRecord(const juce::MemoryBlock& hostState, const juce::MemoryBlock& record)
{
    auto xml = juce::AudioProcessor::getXmlFromBinary(hostState.getData(), (int) hostState.getSize());

    if (xml == nullptr)
        return {};

    if (auto* component = xml->getChildByName("IComponent"))
        component->deleteAllChildElements(), component->addTextElement(record.toBase64Encoding());

    juce::MemoryBlock out;
    juce::AudioProcessor::copyXmlToBinary(*xml, out);
    return out;
}

// JUCE's LV2 host saves a Turtle text; the wrapper stores the record, in JUCE's
// base64, as the string value of its StateString property.
juce::Range<int> lv2RecordText(const juce::String& turtle)
{
    const int key = turtle.indexOf("StateString");
    const int open = key < 0 ? -1 : turtle.indexOfChar(key, '"');
    const int close = open < 0 ? -1 : turtle.indexOfChar(open + 1, '"');
    return close < 0 ? juce::Range<int>() : juce::Range<int>(open + 1, close);
}

juce::MemoryBlock recordFromLv2(const juce::MemoryBlock& hostState)
{
    const auto turtle = hostState.toString();
    const auto range = lv2RecordText(turtle);
    juce::MemoryBlock record;

    if (!range.isEmpty())
        record.fromBase64Encoding(turtle.substring(range.getStart(), range.getEnd()));

    return record;
}

juce::MemoryBlock lv2WithRecord(const juce::MemoryBlock& hostState, const juce::MemoryBlock& record)
{
    const auto turtle = hostState.toString();
    const auto range = lv2RecordText(turtle);

    if (range.isEmpty())
        return {};

    const auto replaced = turtle.replaceSection(range.getStart(), range.getLength(), record.toBase64Encoding());
    return juce::MemoryBlock(replaced.toRawUTF8(), replaced.getNumBytesAsUTF8());
}

juce::MemoryBlock recordOf(PluginKind kind, juce::AudioPluginInstance& plugin)
{
    juce::MemoryBlock hostState;
    plugin.getStateInformation(hostState);
    auto record = kind == PluginKind::vst3 ? recordFromVst3(hostState) : recordFromLv2(hostState);

    // Keep the record itself: magic, length L, L bytes of text, a zero.
    if (record.getSize() >= 9)
    {
        const auto length = (size_t) juce::ByteOrder::littleEndianInt(static_cast<const char*>(record.getData()) + 4);

        if (length + 9 <= record.getSize())
            record.setSize(length + 9);
    }

    return record;
}

void restore(PluginKind kind, juce::AudioPluginInstance& plugin, const juce::MemoryBlock& record)
{
    juce::MemoryBlock hostState;
    plugin.getStateInformation(hostState);
    const auto withRecord =
        kind == PluginKind::vst3 ? vst3WithRecord(hostState, record) : lv2WithRecord(hostState, record);
    ASSERT_GT(withRecord.getSize(), 0u) << "no record in the " << kindName(kind) << " container";
    plugin.setStateInformation(withRecord.getData(), (int) withRecord.getSize());
}

struct Setting
{
    const char* name;
    float value;
};

const Setting settings[] = {
    { "Input", 0.25f }, { "Drive", 0.7f }, { "Low", 0.2f }, { "Blend", 0.9f }, { "Quality", 1.0f }
};

class HostedState : public ::testing::TestWithParam<std::tuple<PluginKind, PluginKind>>
{};

TEST_P(HostedState, TravelsIntoTheOtherFormatUnchanged)
{
    const auto [from, to] = GetParam();
    auto source = open(from);
    ASSERT_NE(source, nullptr);

    const auto defaults = recordOf(from, *source);
    ASSERT_EQ(defaults.getSize(), 192u) << "default record";
    EXPECT_EQ(juce::ByteOrder::littleEndianInt(defaults.getData()), 0x21324356u);

    for (const auto& s : settings)
    {
        auto* p = kymhost::PluginLoader::findParameter(*source, s.name);
        ASSERT_NE(p, nullptr) << s.name;
        p->setValue(s.value);
    }

    // One block carries the host's changes into the plug-in.
    const auto input = sine(1, 8 * blockSize, 48000.0);
    kymhost::BlockRenderer(*source, blockSize).runAll(input);

    const auto saved = recordOf(from, *source);
    ASSERT_GT(saved.getSize(), 9u);
    EXPECT_NE(saved, defaults);
    const auto text = juce::String::fromUTF8(static_cast<const char*>(saved.getData()) + 8, (int) saved.getSize() - 9);
    EXPECT_TRUE(text.contains("Quality=\"1\"")) << text;

    auto target = open(to);
    ASSERT_NE(target, nullptr);
    restore(to, *target, saved);
    // LV2 hosts learn the plug-in's values from its output messages, so the
    // host's view catches up after one block.
    const auto outTarget = kymhost::BlockRenderer(*target, blockSize).runAll(input);

    for (const auto& s : settings)
    {
        auto* p = kymhost::PluginLoader::findParameter(*target, s.name);
        ASSERT_NE(p, nullptr) << s.name;
        EXPECT_NEAR(p->getValue(), s.value, 1.0e-6) << s.name;
    }

    EXPECT_EQ(recordOf(to, *target), saved);

    // A fresh instance of the first format given the same record sounds the same.
    auto twin = open(from);
    ASSERT_NE(twin, nullptr);
    restore(from, *twin, saved);
    const auto outTwin = kymhost::BlockRenderer(*twin, blockSize).runAll(input);
    EXPECT_TRUE(sameSamples(outTarget, 0, outTwin, 0, 0, input.getNumSamples()));
}

INSTANTIATE_TEST_SUITE_P(Formats, HostedState,
                         ::testing::Combine(::testing::Values(PluginKind::vst3, PluginKind::lv2),
                                            ::testing::Values(PluginKind::vst3, PluginKind::lv2)),
                         [](const auto& info) {
                             return std::string(kindName(std::get<0>(info.param))) + "_to_"
                                 + kindName(std::get<1>(info.param));
                         });

} // namespace
} // namespace kymtest
