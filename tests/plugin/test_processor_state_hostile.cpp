// Records made to hang, crash or exhaust an XML reader, and the most a record
// may hold. Each is loaded under a watchdog: a load that does not return ends
// the test program with the case's name, instead of holding up the suite
// until its timeout.

#include "test_processor_state_support.h"

#include "Watchdog.h"

#include "plugin/KymStateScanner.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace kymtest;

namespace
{

// Far above what any load takes, even under the sanitizers; a hung load never returns.
constexpr std::chrono::seconds loadLimit { 10 };

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

// The construct in place of the '=' of Input.
std::string asEquals(const std::string& construct)
{
    auto text = recordText();
    text.replace(text.find("Input=") + 5, 1, construct);
    return text;
}

// The construct in place of the blank before Input.
std::string betweenAttributes(const std::string& construct)
{
    auto text = recordText();
    text.replace(text.find(" Input="), 1, construct);
    return text;
}

std::string inDeclaration(const std::string& construct)
{
    return before("<?xml version=\"1.0\"" + construct + "?>");
}

std::string inClosingTag(const std::string& construct)
{
    auto text = recordText();
    text.insert(text.size() - 1, construct);
    return text;
}

std::string inSettingsName(const std::string& construct)
{
    auto text = recordText();
    text.insert(text.find("<Settings") + 1, construct);
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

// The non-shortest UTF-8 form of an ASCII character in `bytes` bytes (2 to 4),
// which a lenient decoder reads as the character itself.
std::string overlong(char c, int bytes)
{
    const auto u = static_cast<unsigned char>(c);
    std::string s;
    if (bytes == 2)
        s += static_cast<char>(0xC0 | (u >> 6));
    else
    {
        s += static_cast<char>(bytes == 3 ? 0xE0 : 0xF0);
        if (bytes == 4)
            s += static_cast<char>(0x80);
        s += static_cast<char>(0x80 | (u >> 6));
    }
    s += static_cast<char>(0x80 | (u & 0x3F));
    return s;
}

// The text with each markup character written in its overlong form.
std::string overlongMarkup(const std::string& text, int bytes)
{
    std::string s;
    for (const char c : text)
        s += std::strchr("<>!?/=&#;\"", c) != nullptr ? overlong(c, bytes) : std::string(1, c);
    return s;
}

// Element starts: the root, its two children, and the rest as empty siblings.
std::string withElements(int count)
{
    return inside(repeated("<x/>", count - 3));
}

// The root and `depth` - 1 levels under it, the record's children at the
// second.
std::string withDepth(int depth)
{
    return inside(repeated("<a>", depth - 1) + repeated("</a>", depth - 1));
}

// Attributes: the record's eleven, and the rest on the root.
std::string withAttributes(int count)
{
    std::string extra;
    for (int k = 0; k < count - 11; ++k)
        extra += " x" + std::to_string(k) + "=\"\"";
    return "<ZOVARIDU" + extra + "><ProductInfo Product=\"KYM\" Version=\"2.1\"/>" + distinctSettings + "</ZOVARIDU>";
}

std::string paddedTo(std::string text, size_t length)
{
    text.resize(length, ' ');
    return text;
}

// The nine values as long as the longest text lets them be: blanks, then
// the number in character references. Of the shapes tried (long digit
// strings, outsized exponents, references throughout, leading blanks) this
// one took the longest to load.
std::string longestValues()
{
    static const char* const values[] = { "0.25", "0.125", "0.75", "0.375", "0.625", "0.875", "0.0625", "1", "1" };
    static const char* const words[] = { "Input", "Output",   "Drive",  "Bass",   "Treble",
                                         "Blend", "Presence", "Bypass", "Quality" };
    const std::string head = "<ZOVARIDU><ProductInfo Product=\"&#75;&#x59;&#x4D;\"/><Settings";
    const std::string tail = "/></ZOVARIDU>";
    const size_t room = (KymStateScanner::maxTextLength - head.size() - tail.size()) / 9;
    std::string settings;
    for (int k = 0; k < 9; ++k)
    {
        std::string number;
        for (const char* c = values[k]; *c != '\0'; ++c)
            number += "&#" + std::to_string(*c) + ";";
        const std::string start = " " + std::string(words[k]) + "=\"";
        settings += start + std::string(room - start.size() - number.size() - 1, ' ') + number + "\"";
    }
    return paddedTo(head + settings + tail, KymStateScanner::maxTextLength);
}

struct Row
{
    std::string what;
    std::string text;
};

// An accepted record at each limit, and the costliest one found.
std::vector<Row> recordsAtTheLimits()
{
    return {
        { "the deepest", withDepth(KymStateScanner::maxDepth) },
        { "the most elements", withElements(KymStateScanner::maxElements) },
        { "the most attributes", withAttributes(KymStateScanner::maxAttributes) },
        { "the longest", paddedTo(recordText(), KymStateScanner::maxTextLength) },
        { "the longest values", longestValues() },
    };
}

// Loads each record on a thread with only `stackBytes` of stack, as a host
// may call from its own threads; returns each load's time in microseconds,
// or an empty list when the thread could not be made.
std::vector<double> loadOnASmallStack(KymAudioProcessor& p, const std::vector<Row>& rows, size_t stackBytes)
{
    struct Work
    {
        KymAudioProcessor* p;
        std::vector<Bytes> records;
        std::vector<double> micros;
    } work { &p, {}, {} };
    for (const auto& row : rows)
        work.records.push_back(stateRecord(row.text));

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, stackBytes);
    pthread_t thread;
    const auto body = [](void* argument) -> void* {
        auto& w = *static_cast<Work*>(argument);
        for (const auto& record : w.records)
        {
            const auto start = std::chrono::steady_clock::now();
            w.p->setStateInformation(record.data(), static_cast<int>(record.size()));
            const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
            w.micros.push_back(took.count());
        }
        return nullptr;
    };
    const bool started = pthread_create(&thread, &attributes, body, &work) == 0;
    pthread_attr_destroy(&attributes);
    if (!started)
        return {};
    {
        const qortest::Watchdog watchdog("loading the records at the limits", loadLimit, stdout);
        pthread_join(thread, nullptr);
    }
    return work.micros;
}

// What stands in place of markup or of a character: nothing of it is text a
// record may hold.
std::vector<Row> refusedCharacters()
{
    const std::vector<Row> sequences = {
        { "surrogate U+D800", "\xED\xA0\x80" },
        { "surrogate U+DBFF", "\xED\xAF\xBF" },
        { "surrogate U+DC00", "\xED\xB0\x80" },
        { "surrogate U+DFFF", "\xED\xBF\xBF" },
        { "surrogate pair in CESU-8", "\xED\xA0\xBD\xED\xB8\x80" },
        { "U+110000", "\xF4\x90\x80\x80" },
        { "lead byte F5", "\xF5\x80\x80\x80" },
        { "five-byte form", "\xF8\x88\x80\x80\x80" },
        { "six-byte form", "\xFC\x84\x80\x80\x80\x80" },
        { "byte FE", "\xFE" },
        { "byte FF", "\xFF" },
        { "continuation byte without a lead", "\x80" },
        { "two-byte sequence cut short", "\xC3" },
        { "three-byte sequence cut short", "\xE2\x82" },
        { "four-byte sequence cut short", "\xF0\x9F\x98" },
        { "overlong NUL", "\xC0\x80" },
        { "overlong U+0080", "\xE0\x82\x80" },
        { "overlong U+0800", "\xF0\x80\xA0\x80" },
        { "U+FFFE", "\xEF\xBF\xBE" },
        { "U+FFFF", "\xEF\xBF\xBF" },
        { "control 0x01", "\x01" },
        { "backspace", "\x08" },
        { "vertical tab", "\x0B" },
        { "form feed", "\x0C" },
        { "control 0x1F", "\x1F" },
    };

    std::vector<Row> rows;
    for (const auto& s : sequences)
    {
        rows.push_back({ s.what + " before the root", before(s.text) });
        rows.push_back({ s.what + " in a value", inValue(s.text) });
        rows.push_back({ s.what + " at the end of a value", inValue("0.25" + s.text + "\" x=\"") });
        rows.push_back({ s.what + " among the children", inside(s.text) });
        rows.push_back({ s.what + " after the root", after(s.text) });
        rows.push_back({ s.what + " in a tag name", inSettingsName(s.text) });
    }
    // A byte order mark is text like any other character; XML takes it as
    // a mark at the very start only, where a record never has one.
    const std::string mark = "\xEF\xBB\xBF";
    rows.push_back({ "byte order mark before the root", before(mark) });
    rows.push_back({ "byte order mark after the root", after(mark) });
    rows.push_back({ "byte order mark in a tag name", inSettingsName(mark) });

    // Overlong forms of each character that makes markup, wherever it would
    // make it.
    for (const char c : std::string("<>!?/=&#;\""))
        for (int bytes = 2; bytes <= 4; ++bytes)
        {
            const auto o = overlong(c, bytes);
            const auto what = "'" + std::string(1, c) + "' in " + std::to_string(bytes) + " bytes ";
            rows.push_back({ what + "before the root", before(o) });
            rows.push_back({ what + "among the children", inside(o) });
            rows.push_back({ what + "after the root", after(o) });
            rows.push_back({ what + "in a value", inValue(o) });
            rows.push_back({ what + "as the '='", asEquals(o) });
            rows.push_back({ what + "between attributes", betweenAttributes(o) });
            rows.push_back({ what + "in the declaration", inDeclaration(o) });
            rows.push_back({ what + "in a closing tag", inClosingTag(o) });
        }
    return rows;
}

} // namespace

TEST(ProcessorStateHostile, RefusedWithoutHarm)
{
    std::vector<Row> rows = {
        // Processing instructions, and declarations anywhere but first.
        { "instruction, then text to the end", "<ZOVARIDU><?x?>text" },
        { "instruction between blanks and text", "<ZOVARIDU> <?x?> text</ZOVARIDU>" },
        { "instruction among the children", inside("<?x?>") },
        { "instruction before the root", before("<?x?>") },
        { "instruction after the root", after("<?x?>") },
        { "declaration after another", "<?xml version=\"1.0\"?><?xml version=\"1.0\"?>" + recordText() },
        { "declaration after the root", after("<?xml version=\"1.0\"?>") },
        { "instruction first, not a declaration", before("<?xml-stylesheet href=\"a.xsl\"?>") },
        { "declaration without its end", before("<?xml version=\"1.0\"") },
        { "declaration without a version", before("<?xml encoding=\"UTF-8\"?>") },
        { "declaration of nothing", before("<?xml ?>") },
        { "declaration of version 2.0", before("<?xml version=\"2.0\"?>") },
        { "declaration of another encoding", before("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>") },
        { "declaration out of order", before("<?xml version=\"1.0\" standalone=\"yes\" encoding=\"UTF-8\"?>") },
        { "declaration with something else", before("<?xml version=\"1.0\" x=\"1\"?>") },
        { "declaration in capitals", before("<?XML version=\"1.0\"?>") },
        { "instruction without its end", inside("<?x") },

        // Document types and entity definitions, comments and CDATA.
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
        { "comment before the root", before("<!-- c -->") },
        { "CDATA", inside("<![CDATA[<Settings Input=\"0.5\"/>]]>") },
        { "CDATA's end in character data", inside("]]>") },

        // References other than the predefined five as XML spells them and
        // character references to characters XML allows. Predefined entities
        // in other cases and "&#X" were loaded once; no XML reader takes them.
        { "unknown entity in text", inside("&e;") },
        { "unknown entity in a value", inValue("&e;") },
        { "predefined entity in capitals", inside("&AMP;") },
        { "predefined entity in mixed case", inValue("&Lt;") },
        { "hexadecimal reference with a capital X", inValue("&#X30;") },
        { "predefined name without ';'", inValue("&amp") },
        { "bare ampersand", inValue("& ") },
        { "hexadecimal reference cut by the end", "<ZOVARIDU>&#x" },
        { "the same in a value", "<ZOVARIDU><Settings Input=\"&#x" },
        { "decimal reference cut by the end", "<ZOVARIDU>&#4" },
        { "reference without digits", inValue("&#;") },
        { "hexadecimal reference without digits", inValue("&#x;") },
        { "reference to NUL", inValue("&#0;") },
        { "reference to a control", inValue("&#x1B;") },
        { "reference to a surrogate", inValue("&#xD800;") },
        { "reference to U+FFFE", inValue("&#65534;") },
        { "reference beyond Unicode", inValue("&#x110000;") },
        { "nine hexadecimal digits", inValue("&#x000000030;") },
        { "thirteen decimal digits", inValue("&#0000000000048;") },
        { "letter in a decimal reference", inValue("&#4a;") },
        { "reference with a blank", inValue("&#48 ;") },

        // Text that is not XML, or not one element.
        { "empty text", "" },
        { "blanks only", " \n" },
        { "unquoted values", "<ZOVARIDU><ProductInfo Product=\"KYM\"/><Settings Input=0.25 Output=0.125/></ZOVARIDU>" },
        { "value without its closing quote",
          "<ZOVARIDU><ProductInfo Product=\"KYM\"/><Settings Input=\"0.25/></ZOVARIDU>" },
        { "quotes that do not pair", asEquals("='0.25\" x=\"") },
        { "'<' in a value", inValue("<") },
        { "attribute without a value", betweenAttributes(" Extra ") },
        { "attribute without '='", betweenAttributes(" Extra\"1\" ") },
        { "attributes without a blank between them",
          "<ZOVARIDU><ProductInfo Product=\"KYM\"Version=\"2.1\"/>" + distinctSettings + "</ZOVARIDU>" },
        { "blank after '<'", inside("< x/>") },
        { "blank after '</'", "<ZOVARIDU></ ZOVARIDU>" },
        { "blank inside '/>'", inside("<x / >") },
        { "name starting with a digit", inside("<1x/>") },
        { "name starting with '-'", inside("<-x/>") },
        { "non-ASCII letter in a name", inside("<x\xC3\xA9/>") },
        { "non-ASCII letter in an attribute name", betweenAttributes(" \xC3\xA9=\"1\" ") },
        { "closing tag of another name", inside("<a></b>") },
        { "closing tag in another case",
          "<ZOVARIDU><ProductInfo Product=\"KYM\"/>" + distinctSettings + "</zovaridu>" },
        { "closing tag missing", "<ZOVARIDU><ProductInfo Product=\"KYM\"/>" + distinctSettings },
        { "closing tag without its '>'", recordText().substr(0, recordText().size() - 1) },
        { "closing tag alone", "</ZOVARIDU>" },
        { "closing tag with attributes", inside("<a></a x=\"1\">") },
        { "text after the root", after("text") },
        { "second root", after("<ZOVARIDU/>") },
        { "text before the root", before("text") },
        { "reference before the root", before("&amp;") },

        // Records past a limit.
        { "one level too deep", withDepth(KymStateScanner::maxDepth + 1) },
        { "nesting 200000 deep", "<ZOVARIDU>" + repeated("<a>", 200000) },
        { "one element too many", withElements(KymStateScanner::maxElements + 1) },
        { "one attribute too many", withAttributes(KymStateScanner::maxAttributes + 1) },
        { "text one byte too long", paddedTo(recordText(), KymStateScanner::maxTextLength + 1) },

        // What once got past a byte-counting guard, its markup in overlong forms.
        { "overlong instruction, then text", "<ZOVARIDU><\xC0\xBFx\xC0\xBF>text" },
        { "overlong self-referencing entity",
          overlongMarkup("<!DOCTYPE ZOVARIDU [<!ENTITY e \"&e;\">]>", 2) + inside(overlongMarkup("&e;", 2)) },
        { "overlong nested entities", overlongMarkup(nestedEntities(11, 30), 3) + inValue(overlongMarkup("&l10;", 3)) },
        { "100000 overlong element starts", "<ZOVARIDU>" + repeated(overlong('<', 2) + "a>", 100000) },
        { "300000 overlong '='", "<ZOVARIDU" + repeated(" a" + overlong('=', 2) + "\"\"", 300000) + "/>" },
        { "overlong reference cut by the end", "<ZOVARIDU><Settings Drive=\"" + overlong('&', 2) + "#x" },
        { "overlong reference in a four-byte form", inValue(overlong('&', 4) + "#x30;") },
    };
    for (auto& row : refusedCharacters())
        rows.push_back(std::move(row));

    // One processor goes through every row: each must leave it as it was,
    // and at the end it still sounds exactly like one that loaded nothing.
    auto reference = processorAtStart();
    const auto referenceOutput = runInBlocks(*reference, inputSignal(), 512);
    auto p = processorAtStart();

    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.what);
        const auto stateBefore = savedState(*p);
        const auto valuesBefore = valuesOf(*p);
        const auto queuedBefore = p->messageQueue.size_approx();
        EXPECT_EQ(load(*p, row.what, stateRecord(row.text)), "");
        EXPECT_EQ(valuesOf(*p), valuesBefore);
        EXPECT_EQ(savedState(*p), stateBefore);
        EXPECT_EQ(p->messageQueue.size_approx(), queuedBefore);
    }
    EXPECT_TRUE(sameBits(runInBlocks(*p, inputSignal(), 512), referenceOutput));
}

// What a record may hold and still load.
TEST(ProcessorStateHostile, HarmlessConstructsStillLoad)
{
    std::vector<Row> rows = {
        { "leading declaration", before("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") },
        { "declaration after blanks", before(" \r\n\t<?xml version=\"1.0\"?>") },
        { "declaration in full, single quotes", before("<?xml version='1.1' encoding='utf-8' standalone = \"no\" ?>") },
        { "predefined entities", inside("<Note Text=\"&lt;&gt;&amp;&quot;&apos;\">&amp;&lt; &quot;</Note>") },
        { "character references making the numbers",
          "<ZOVARIDU><ProductInfo Product=\"&#75;&#x59;&#x4d;\"/>" + distinctSettings.substr(0, 17) + "&#48;&#x2e;25"
              + distinctSettings.substr(21) + "</ZOVARIDU>" },
        { "single quotes and blanks around '='",
          "<ZOVARIDU><ProductInfo Product = 'KYM'/><Settings Input='0.25' Output\t=\n\"0.125\" Drive='0.75' "
          "Bass='0.375' Treble='0.625' Blend='0.875' Presence='0.0625' Bypass='1' Quality='1' /></ZOVARIDU>" },
        { "blanks before '>' and in closing tags",
          "<ZOVARIDU ><ProductInfo Product=\"KYM\"></ProductInfo >" + distinctSettings + "</ZOVARIDU\r\n>" },
        { "the other quote inside a value", inside("<Note A='\"' B=\"'\"/>") },
        { "text, '>' and non-ASCII text among the children",
          inside("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB8 > \xEF\xBF\xBD \xF4\x8F\xBF\xBF \x7F \xC2\x80") },
        { "non-ASCII text in a value", betweenAttributes(" Name=\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB8\" ") },
        { "references to the ends of each range",
          inside("&#x9;&#xA;&#xD;&#x20;&#xD7FF;&#xE000;&#xFFFD;&#x10000;&#x10FFFF;&#x00000030;&#000000000048;") },
        { "names with every character a name may hold", inside("<_:a.b-9 :_x.-0=\"\"></_:a.b-9>") },
        { "blanks after the root", after(" \n\r\t") },
    };
    for (auto& row : recordsAtTheLimits())
        rows.push_back(std::move(row));

    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.what);
        auto p = makeProcessor();
        EXPECT_EQ(load(*p, row.what, stateRecord(row.text)), "Settings loaded\n");
        for (int i = 0; i < 9; ++i)
            EXPECT_EQ(p->parameters[i]->GetNormalised(), distinctValues[static_cast<size_t>(i)]) << "parameter " << i;
    }
}

// Hosts call the state functions on threads of their own, some with small
// stacks. Each record at a limit loads on a 64 KiB stack; the time each load
// took is kept as a property of the test (gtest's XML output).
TEST(ProcessorStateHostile, RecordsAtTheLimitsLoadOnASmallStack)
{
    const auto rows = recordsAtTheLimits();
    auto p = makeProcessor();
    testing::internal::CaptureStderr();
    const auto micros = loadOnASmallStack(*p, rows, size_t(64) << 10);
    const auto written = testing::internal::GetCapturedStderr();
    ASSERT_EQ(micros.size(), rows.size()) << "no thread with a 64 KiB stack";

    std::string expected;
    for (size_t k = 0; k < rows.size(); ++k)
    {
        expected += "Settings loaded\n";
        std::string key = "load_us_" + rows[k].what.substr(4);
        for (auto& c : key)
            c = c == ' ' ? '_' : c;
        RecordProperty(key, std::to_string(micros[k]));
    }
    EXPECT_EQ(written, expected);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(p->parameters[i]->GetNormalised(), distinctValues[static_cast<size_t>(i)]) << "parameter " << i;
}

// The names of an accepted record are never interned in the framework's
// global string pool, which only grows with names it has not seen. The pool
// hands back the very text it is given when it holds no copy of its own.
TEST(ProcessorStateHostile, NamesOfARecordStayOutOfTheStringPool)
{
    const juce::String element("QorProbeElement17"), attribute("QorProbeAttribute17");
    auto& pool = juce::StringPool::getGlobalPool();
    pool.garbageCollect(); // and so none for the next 30 s, which would hide a copy

    auto p = makeProcessor();
    const auto text = inside("<" + element.toStdString() + " " + attribute.toStdString() + "=\"1\"/>");
    ASSERT_EQ(load(*p, "unknown names", stateRecord(betweenAttributes(" " + attribute.toStdString() + "=\"1\" "))),
              "Settings loaded\n");
    ASSERT_EQ(load(*p, "unknown names", stateRecord(text)), "Settings loaded\n");

    EXPECT_EQ(pool.getPooledString(element).getCharPointer().getAddress(), element.getCharPointer().getAddress());
    EXPECT_EQ(pool.getPooledString(attribute).getCharPointer().getAddress(), attribute.getCharPointer().getAddress());
}
