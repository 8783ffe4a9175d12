// Records made to hang, crash or exhaust the XML reader. Each is loaded under
// a watchdog: a load that does not return ends the test program with the
// case's name, instead of holding up the suite until its timeout.

#include "test_processor_state_support.h"

#include "Watchdog.h"

#include "plugin/KymStateRecord.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>

using namespace kymtest;

namespace
{

// Far above what any load takes, even under the sanitizers; a hung load never returns.
constexpr std::chrono::seconds loadLimit { 30 };

// Loads under the watchdog; returns what reached standard error.
std::string load(KymAudioProcessor& p, const std::string& what, const Bytes& bytes)
{
    // Standard error is being captured: the report goes to standard output.
    const qortest::Watchdog watchdog("loading \"" + what + "\"", loadLimit, stdout);
    testing::internal::CaptureStderr();
    p.setStateInformation(bytes.data(), static_cast<int>(bytes.size()));
    return testing::internal::GetCapturedStderr();
}

// Every parameter away from its default and from distinctValues; Bypass off,
// so that the circuit runs, and 4x.
const double startValues[9] = { 0.8, 0.3, 0.9, 0.2, 0.7, 0.6, 0.4, 0.0, 1.0 };

std::unique_ptr<KymAudioProcessor> processorAtStart()
{
    auto p = makeProcessor();
    for (int i = 0; i < 9; ++i)
        p->parameters[i]->SetNormalised(startValues[i]);
    runEmptyBlock(*p); // the parameter jobs; the same block's recheck takes up 4x
    runEmptyBlock(*p); // and one with nothing queued
    return p;
}

// The parameters' values, bit for bit.
std::vector<uint64_t> valuesOf(KymAudioProcessor& p)
{
    std::vector<uint64_t> v;
    for (auto* parameter : p.parameters)
    {
        const double value = parameter->value.load();
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof(bits));
        v.push_back(bits);
    }
    return v;
}

const std::vector<float>& inputSignal()
{
    static const auto signal = bassSignal(4096, 44100.0);
    return signal;
}

std::string before(const std::string& construct)
{
    return construct + recordText();
}
std::string inside(const std::string& construct)
{
    return recordText(construct);
}
std::string after(const std::string& construct)
{
    return recordText() + construct;
}

// The construct at the start of the Input value ("X0.25").
std::string inValue(const std::string& construct)
{
    auto text = recordText();
    const std::string input = "Input=\"";
    text.insert(text.find(input) + input.size(), construct);
    return text;
}

// Entities l0 .. l<levels-1>, each made of `fanOut` references to the one before.
std::string nestedEntities(int levels, int fanOut)
{
    std::string dtd = "<!DOCTYPE ZOVARIDU [<!ENTITY l0 \"0.25\">";
    for (int level = 1; level < levels; ++level)
    {
        dtd += "<!ENTITY l" + std::to_string(level) + " \"";
        for (int k = 0; k < fanOut; ++k)
            dtd += "&l" + std::to_string(level - 1) + ";";
        dtd += "\">";
    }
    return dtd + "]>";
}

std::string repeated(const std::string& piece, int count)
{
    std::string s;
    for (int k = 0; k < count; ++k)
        s += piece;
    return s;
}

// Element starts: the root, its two children, and `extra` more.
std::string withElementStarts(int count)
{
    return inside(repeated("<x/>", count - 3));
}

// '=' signs: the record's eleven, and the rest in extra attributes.
std::string withAttributes(int count)
{
    std::string extra;
    for (int k = 0; k < count - 11; ++k)
        extra += " x" + std::to_string(k) + "=\"\"";
    return "<ZOVARIDU" + extra + "><ProductInfo Product=\"KYM\" Version=\"2.1\"/>" + distinctSettings + "</ZOVARIDU>";
}

std::string withReferences(int count)
{
    auto text = recordText();
    text.replace(text.find("2.1"), 3, repeated("&amp;2.1", count));
    return text;
}

std::string paddedTo(std::string text, size_t length)
{
    text.resize(length, ' ');
    return text;
}

// The reader's costliest shape per byte: elements left open, then a close tag
// without its '>', which every open element scans the rest of the text for.
std::string openElementsThenCutClose(int elementStarts, size_t length)
{
    auto text =
        "<ZOVARIDU><ProductInfo Product=\"KYM\"/>" + distinctSettings + repeated("<a>", elementStarts - 3) + "</";
    text.resize(length, 'a');
    return text;
}

struct Row
{
    const char* what;
    std::string text;
};

} // namespace

TEST(ProcessorStateHostile, RefusedWithoutHarm)
{
    const std::vector<Row> rows = {
        // Processing instructions: only a leading declaration is skipped safely.
        { "instruction, then text to the end", "<ZOVARIDU><?x?>text" },
        { "instruction between blanks and text", "<ZOVARIDU> <?x?> text</ZOVARIDU>" },
        { "instruction among the children", inside("<?x?>") },
        { "instruction before the root", before("<?x?>") },
        { "instruction after the root", after("<?x?>") },
        { "declaration after another", "<?xml version=\"1.0\"?><?xml version=\"1.0\"?>" + recordText() },
        { "declaration after the root", after("<?xml version=\"1.0\"?>") },
        { "instruction first, not a declaration", before("<?xml-stylesheet href=\"a.xsl\"?>") },
        { "declaration without its end", before("<?xml version=\"1.0\"") },
        { "instruction without its end", inside("<?x") },

        // Document types and entity definitions.
        { "self-referencing entity", "<!DOCTYPE ZOVARIDU [<!ENTITY e \"&e;\">]>" + inside("&e;") },
        { "exponentially nested entities", nestedEntities(11, 30) + inside("&l10;") },
        { "the same in a value", nestedEntities(11, 30) + inValue("&l10;") },
        { "mutually recursive entities",
          "<!DOCTYPE ZOVARIDU [<!ENTITY a \"&b;\"><!ENTITY b \"&a;\">]>" + inValue("&a;") },
        { "entity that makes elements",
          "<!DOCTYPE ZOVARIDU [<!ENTITY s \"<Settings Input='0.5'/>\">]>" + inside("&s;") },
        { "external document type", before("<!DOCTYPE ZOVARIDU SYSTEM \"/etc/passwd\">") },
        { "document type alone", before("<!DOCTYPE ZOVARIDU>") },
        { "comment", inside("<!-- c -->") },
        { "CDATA", inside("<![CDATA[<Settings Input=\"0.5\"/>]]>") },

        // References other than the predefined five and well-formed character references.
        { "unknown entity in text", inside("&e;") },
        { "unknown entity in a value", inValue("&e;") },
        { "predefined name without ';'", inValue("&amp") },
        { "bare ampersand", inValue("& ") },
        { "hexadecimal reference cut by the end", "<ZOVARIDU>&#x" },
        { "the same in a value", "<ZOVARIDU><Settings Input=\"&#x" },
        { "decimal reference cut by the end", "<ZOVARIDU>&#4" },
        { "reference without digits", inValue("&#;") },
        { "hexadecimal reference without digits", inValue("&#x;") },
        { "reference to NUL", inValue("&#0;") },
        { "reference to a surrogate", inValue("&#xD800;") },
        { "reference beyond Unicode", inValue("&#x110000;") },
        { "nine hexadecimal digits", inValue("&#x000000030;") },
        { "thirteen decimal digits", inValue("&#0000000000048;") },
        { "letter in a decimal reference", inValue("&#4a;") },

        // Sizes the reader would take time or stack for out of all proportion.
        { "one element start too many", withElementStarts(KymStateRecord::maxElementStarts + 1) },
        { "nesting 200000 deep", "<ZOVARIDU>" + repeated("<a>", 200000) },
        { "one '=' too many", withAttributes(KymStateRecord::maxAttributes + 1) },
        { "one reference too many", withReferences(KymStateRecord::maxReferences + 1) },
        { "text one byte too long", paddedTo(recordText(), KymStateRecord::maxTextLength + 1) },
        { "open elements and length one byte too many",
          openElementsThenCutClose(KymStateRecord::maxElementStarts,
                                   KymStateRecord::maxRescanWork / KymStateRecord::maxElementStarts + 1) },
        { "UTF-8 sequence cut by the end", recordText() + "\xE2\x82" },
    };

    auto reference = processorAtStart();
    const auto referenceOutput = runInBlocks(*reference, inputSignal(), 512);

    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.what);
        auto p = processorAtStart();
        const auto stateBefore = savedState(*p);
        const auto valuesBefore = valuesOf(*p);

        EXPECT_EQ(load(*p, row.what, stateRecord(row.text)), "");

        EXPECT_EQ(valuesOf(*p), valuesBefore);
        EXPECT_EQ(savedState(*p), stateBefore);
        EXPECT_EQ(p->messageQueue.size_approx(), 0u);
        EXPECT_TRUE(sameBits(runInBlocks(*p, inputSignal(), 512), referenceOutput));
    }
}

// What a record may hold and still load: a leading declaration, the
// predefined entities, character references, and each limit reached but not
// passed, the costliest shapes included.
TEST(ProcessorStateHostile, HarmlessConstructsStillLoad)
{
    const std::vector<Row> rows = {
        { "leading declaration", before("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") },
        { "declaration after blanks", before(" \r\n\t<?xml version=\"1.0\"?>") },
        { "predefined entities, any case", inside("<Note Text=\"&lt;&gt;&amp;&quot;&apos;\">&AMP;&Lt; &quot;</Note>") },
        { "character references making the numbers",
          "<ZOVARIDU><ProductInfo Product=\"&#75;&#x59;&#X4d;\"/>" + distinctSettings.substr(0, 17) + "&#48;&#x2e;25"
              + distinctSettings.substr(21) + "</ZOVARIDU>" },
        { "every element start allowed", withElementStarts(KymStateRecord::maxElementStarts) },
        { "every '=' allowed", withAttributes(KymStateRecord::maxAttributes) },
        { "every reference allowed", withReferences(KymStateRecord::maxReferences) },
        { "the longest text", paddedTo(recordText(), KymStateRecord::maxTextLength) },
        { "open elements and length at the limit",
          openElementsThenCutClose(KymStateRecord::maxElementStarts,
                                   KymStateRecord::maxRescanWork / KymStateRecord::maxElementStarts) },
        { "references spread over the longest value",
          paddedTo(inValue(repeated(std::string(KymStateRecord::maxTextLength / 300, '0') + "&#48;",
                                    KymStateRecord::maxReferences)),
                   KymStateRecord::maxTextLength) },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.what);
        auto p = makeProcessor();
        EXPECT_EQ(load(*p, row.what, stateRecord(row.text)), "Settings loaded\n");
        for (int i = 0; i < 9; ++i)
            EXPECT_EQ(p->parameters[i]->GetNormalised(), distinctValues[static_cast<size_t>(i)]) << "parameter " << i;
    }
}
