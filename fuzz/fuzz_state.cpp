// libFuzzer target for the state reader: any byte string a host hands to
// setStateInformation must leave the processor sound, able to load a good
// record and to write one; one it refuses must leave the state as it was.
// A record whose text the scanner accepts is also read the way records were
// read before it, by the framework's XML reader, which must come to the same
// verdict and the same nine values, bit for bit.

#include "plugin/KymAudioProcessor.h"
#include "plugin/KymParameterTable.h"
#include "plugin/KymStateRecord.h"
#include "plugin/KymStateScanner.h"

#include <sanitizer/common_interface_defs.h>
#include <strings.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace
{

// Through the sanitizers' report channel: with -close_fd_mask=2 the target's
// own stderr is gone, theirs is kept.
[[noreturn]] void fail(const char* what)
{
    __sanitizer_report_error_summary((juce::String("fuzz_state: ") + what).toRawUTF8());
    std::abort();
}

void check(bool ok, const char* what)
{
    if (!ok)
        fail(what);
}

uint32_t le32(const uint8_t* b)
{
    return uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
}

// The record's text as the reader takes it: at most L bytes after the
// header, up to the first zero. False when the header already refuses it.
bool textOf(const uint8_t* data, size_t size, const char*& text, size_t& length)
{
    if (size < 9 || le32(data) != KymAudioProcessor::stateMagic || int32_t(le32(data + 4)) < 1)
        return false;
    text = reinterpret_cast<const char*>(data + 8);
    length = std::min(size - 8, size_t(le32(data + 4)));
    if (const auto* zero = static_cast<const char*>(std::memchr(text, 0, length)))
        length = size_t(zero - text);
    return true;
}

// The first child of the root with this tag name, ASCII letters compared
// without case (the process runs in the C locale).
const juce::XmlElement* findChild(const juce::XmlElement& root, const char* tagName)
{
    for (auto* child : root.getChildIterator())
        if (strcasecmp(child->getTagName().toRawUTF8(), tagName) == 0)
            return child;
    return nullptr;
}

// Levels of elements; text is held in child nodes of its own, not counted.
int depthOf(const juce::XmlElement& element)
{
    int deepest = 0;
    for (auto* child : element.getChildIterator())
        if (!child->isTextElement())
            deepest = std::max(deepest, depthOf(*child));
    return deepest + 1;
}

// What a record held when the framework's reader read it.
bool frameworkValues(const juce::XmlElement& root, std::array<double, kym::parameterCount>& values)
{
    const auto* settings = findChild(root, "Settings");
    const auto* productInfo = findChild(root, "ProductInfo");
    if (productInfo == nullptr || productInfo->getStringAttribute("Product") != "KYM" || settings == nullptr)
        return false;
    for (int index = 0; index < kym::parameterCount; ++index)
    {
        const auto& row = kym::parameterTable[index];
        values[size_t(index)] = settings->hasAttribute(row.stateWord)
            ? KymStateRecord::readStateValue(settings->getStringAttribute(row.stateWord))
            : row.missingNormalised;
    }
    return true;
}

// Texts the scanner accepts are small and shallow, so the framework's reader
// takes them in bounded time (libFuzzer's -timeout) and depth.
void checkAgainstFrameworkReader(const uint8_t* data, size_t size, bool applied)
{
    std::array<double, kym::parameterCount> values {};
    check(KymStateRecord::readValues(data, int(size), values) == applied, "readValues and read disagree");

    const char* text = nullptr;
    size_t length = 0;
    KymStateScanner scanner;
    if (!textOf(data, size, text, length) || !scanner.scan(text, length))
    {
        check(!applied, "a record was applied whose text the scanner refuses");
        return;
    }

    std::array<double, kym::parameterCount> expected {};
    bool expectedApplied = false;
    {
        const auto xml = juce::XmlDocument::parse(juce::String::fromUTF8(text, int(length)));
        check(xml != nullptr, "the framework's reader refuses a text the scanner accepts");
        check(depthOf(*xml) <= KymStateScanner::maxDepth, "the framework's reader finds more levels than allowed");
        expectedApplied = frameworkValues(*xml, expected);
    }
    // The framework's reader interns every name it meets; without this the
    // pool would grow run after run.
    juce::StringPool::getGlobalPool().garbageCollect();

    check(applied == expectedApplied, "the framework's reader comes to another verdict");
    if (applied)
        check(std::memcmp(values.data(), expected.data(), sizeof(values)) == 0,
              "the framework's reader reads other values");
}

struct Harness
{
    KymAudioProcessor processor;
    juce::AudioBuffer<float> emptyBlock { 2, 0 };
    juce::MidiBuffer midi;
    juce::MemoryBlock goodRecord;

    Harness()
    {
        processor.setPlayConfigDetails(2, 2, 44100.0, 512);

        // The good record is the processor's own, written away from every
        // default so that loading it moves all nine parameters.
        const double settings[kym::parameterCount] = { 0.8125, 0.3, 0.123456789, 0.75, 0.0625, 0.5, 0.99, 1.0, 1.0 };
        for (int i = 0; i < kym::parameterCount; ++i)
            processor.parameters[i]->SetNormalised(settings[i]);
        drain();
        processor.getStateInformation(goodRecord);
        checkRecord(goodRecord);
        resetToDefaults();
    }

    // Runs the queued jobs (what a host's next block would do), so the engine
    // takes every loaded value and the queue does not grow run after run.
    void drain() { processor.processBlock(emptyBlock, midi); }

    // Loading starts from the same place every run.
    void resetToDefaults()
    {
        for (auto* p : processor.parameters)
            p->SetNormalised(p->GetNormalisedDefault());
        drain();
    }

    void checkParameters() const
    {
        for (auto* p : processor.parameters)
        {
            const double v = p->value.load();
            check(v >= p->minValue && v <= p->maxValue, "a parameter left its range");
        }
    }

    // What a host must always get back: magic, L = size - 9, the XML text
    // without a zero inside and one after it, and nine finite values in 0..1.
    static void checkRecord(const juce::MemoryBlock& block)
    {
        const auto size = block.getSize();
        const auto* b = static_cast<const uint8_t*>(block.getData());
        check(size >= 9, "record shorter than 9 bytes");
        check(le32(b) == KymAudioProcessor::stateMagic, "record magic");
        check(le32(b + 4) == size - 9, "record length is not size - 9");
        check(b[size - 1] == 0, "record has no trailing zero");
        check(std::memchr(b + 8, 0, size - 9) == nullptr, "zero byte inside the XML text");

        const auto text = juce::String::fromUTF8(reinterpret_cast<const char*>(b + 8), int(size - 9));
        const auto xml = juce::XmlDocument::parse(text);
        check(xml != nullptr && xml->hasTagName("ZOVARIDU"), "record does not parse");
        const auto* productInfo = xml->getChildByName("ProductInfo");
        check(productInfo != nullptr && productInfo->getStringAttribute("Product") == "KYM",
              "record has no ProductInfo for KYM");
        const auto* settings = xml->getChildByName("Settings");
        check(settings != nullptr && settings->getNumAttributes() == kym::parameterCount,
              "record has no nine settings");
        for (int k = 0; k < kym::parameterCount; ++k)
        {
            check(settings->getAttributeName(k) == kym::parameterTable[kym::stateOrder[k]].stateWord,
                  "settings attribute name or order");
            const auto value = settings->getAttributeValue(k);
            const double x = value.getDoubleValue();
            check(value.isNotEmpty() && std::isfinite(x) && x >= 0.0 && x <= 1.0, "settings value outside 0..1");
        }
    }

    void run(const uint8_t* data, size_t size)
    {
        // Exactly the input's bytes on the heap, so ASan sees any read past them.
        std::unique_ptr<uint8_t[]> copy(new uint8_t[size > 0 ? size : 1]);
        if (size > 0)
            std::memcpy(copy.get(), data, size);
        // What setStateInformation does, with the answer kept: a refused
        // record must leave the state exactly as it was.
        juce::MemoryBlock before;
        processor.getStateInformation(before);
        const auto queuedBefore = processor.messageQueue.size_approx();
        const bool applied = KymStateRecord::read(size > 0 ? copy.get() : nullptr, int(size), processor.parameters);
        if (applied)
            KymStateRecord::reportLoaded();
        check(applied || processor.messageQueue.size_approx() == queuedBefore, "a refused record posted a job");
        checkAgainstFrameworkReader(size > 0 ? copy.get() : nullptr, size, applied);
        drain();
        checkParameters();

        juce::MemoryBlock written;
        processor.getStateInformation(written);
        checkRecord(written);
        check(applied || written == before, "a refused record changed the state");

        processor.setStateInformation(goodRecord.getData(), int(goodRecord.getSize()));
        drain();
        checkParameters();
        juce::MemoryBlock reloaded;
        processor.getStateInformation(reloaded);
        check(reloaded == goodRecord, "a good record no longer loads back exactly");

        resetToDefaults();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The size reaches the reader as an int, as from every host.
    if (size > 1u << 20)
        return -1;

    static Harness harness;
    harness.run(data, size);
    return 0;
}
