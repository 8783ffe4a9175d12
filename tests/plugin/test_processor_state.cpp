#include "test_processor_support.h"

#include <gtest/gtest.h>

#include <array>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace kymtest;

namespace
{

using Bytes = std::vector<uint8_t>;
using Values = std::array<double, 9>; // normalised, in parameter index order

const std::string defaultText =
    "<ZOVARIDU><ProductInfo Product=\"KYM\" Version=\"2.1\"/><Settings Input=\"0.5\" Output=\"0.5\" "
    "Drive=\"0.5\" Bass=\"0.5\" Treble=\"0.5\" Blend=\"0\" Presence=\"0.5\" Bypass=\"0\" Quality=\"0\"/></ZOVARIDU>";

Bytes record(const std::string& text, std::optional<int32_t> length = std::nullopt, uint32_t magic = 0x21324356u,
             bool trailingZero = true)
{
    const auto L = static_cast<uint32_t>(length.value_or(static_cast<int32_t>(text.size())));
    Bytes b;
    for (int k = 0; k < 4; ++k)
        b.push_back(static_cast<uint8_t>(magic >> (8 * k)));
    for (int k = 0; k < 4; ++k)
        b.push_back(static_cast<uint8_t>(L >> (8 * k)));
    b.insert(b.end(), text.begin(), text.end());
    if (trailingZero)
        b.push_back(0);
    return b;
}

Bytes save(KymAudioProcessor& p)
{
    juce::MemoryBlock block;
    block.append("stale content that must go", 26);
    p.getStateInformation(block);
    const auto* data = static_cast<const uint8_t*>(block.getData());
    return Bytes(data, data + block.getSize());
}

const char* stateAttributeName(int index)
{
    static const char* const names[9] = { "Input",    "Output", "Drive",  "Bass",   "Treble",
                                          "Presence", "Blend",  "Bypass", "Quality" };
    return names[index];
}

std::string xmlOf(const Bytes& b)
{
    return std::string(b.begin() + 8, b.end() - 1);
}

Values normalisedValues(KymAudioProcessor& p)
{
    Values v {};
    for (int i = 0; i < 9; ++i)
        v[static_cast<size_t>(i)] = p.parameters[i]->GetNormalised();
    return v;
}

// Loads bytes and reports what reached standard error.
std::string load(KymAudioProcessor& p, const Bytes& bytes)
{
    testing::internal::CaptureStderr();
    p.setStateInformation(bytes.empty() ? nullptr : bytes.data(), static_cast<int>(bytes.size()));
    return testing::internal::GetCapturedStderr();
}

std::string settingsWith(const std::string& attributes, const std::string& product = "Product=\"KYM\"")
{
    return "<ZOVARIDU><ProductInfo " + product + " Version=\"2.1\"/><Settings " + attributes + "/></ZOVARIDU>";
}

const std::string distinctAttributes =
    "Input=\"0.25\" Output=\"0.125\" Drive=\"0.75\" Bass=\"0.375\" Treble=\"0.625\" Blend=\"0.875\" "
    "Presence=\"0.0625\" Bypass=\"1\" Quality=\"1\"";
const Values distinctValues = { 0.25, 0.125, 0.75, 0.375, 0.625, 0.0625, 0.875, 1.0, 1.0 };
const std::string distinctText = settingsWith(distinctAttributes);

// Every parameter away from both its default and the distinct record.
const Values startValues = { 0.9, 0.9, 0.9, 0.9, 0.9, 0.9, 0.9, 0.0, 0.0 };

std::unique_ptr<KymAudioProcessor> processorAtStart()
{
    auto p = makeProcessor();
    for (int i = 0; i < 9; ++i)
        p->parameters[i]->SetNormalised(startValues[static_cast<size_t>(i)]);
    return p;
}

std::string deepNesting(int depth)
{
    std::string s;
    for (int k = 0; k < depth; ++k)
        s += "<a>";
    s += "<ProductInfo Product=\"KYM\"/><Settings Input=\"0.25\"/>";
    for (int k = 0; k < depth; ++k)
        s += "</a>";
    return "<ZOVARIDU>" + s + "</ZOVARIDU>";
}

} // namespace

TEST(ProcessorState, DefaultRecordByteForByte)
{
    auto p = makeProcessor();
    const auto bytes = save(*p);
    ASSERT_EQ(defaultText.size(), 183u);
    EXPECT_EQ(bytes, record(defaultText));
    ASSERT_EQ(bytes.size(), 192u);
    EXPECT_EQ(bytes[4], 0xB7);
    EXPECT_EQ(bytes[0], 0x56);
    EXPECT_EQ(bytes[3], 0x21);
}

TEST(ProcessorState, ValuesAreWrittenAsPercentTwentyG)
{
    struct Case
    {
        int index;
        double normalised;
    };
    // Exponent form below 1e-4, plain above; trailing zeros dropped.
    const Case cases[] = { { 1, 0.3 },
                           { 2, 1e-5 },
                           { 2, 0.0001 },
                           { 3, 0.123456789 },
                           { 4, 1.0 / 3.0 },
                           { 5, 0.99999999999999989 },
                           { 6, std::ldexp(1.0, -30) },
                           { 0, 0.7 },
                           { 0, 1.0 } };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.normalised);
        auto p = makeProcessor();
        p->parameters[c.index]->SetNormalised(c.normalised);
        char expected[64];
        std::snprintf(expected, sizeof(expected), "%.20g", p->parameters[c.index]->GetNormalised());
        const auto xml = xmlOf(save(*p));
        const auto* attribute = stateAttributeName(c.index);
        EXPECT_NE(xml.find(std::string(" ") + attribute + "=\"" + expected + "\""), std::string::npos) << xml;
    }
    auto p = makeProcessor();
    p->parameters[1]->SetNormalised(0.3); // Level 3
    EXPECT_NE(xmlOf(save(*p)).find("Output=\"0.2999999999999999889\""), std::string::npos);
}

TEST(ProcessorState, CommaLocaleDoesNotChangeTheRecord)
{
    // Only C is installed here by default: build a comma-decimal locale for this run.
    const auto dir = juce::File::createTempFile("kym-locale");
    ASSERT_TRUE(dir.createDirectory());
    const auto command =
        "localedef -i de_DE -f UTF-8 '" + dir.getFullPathName().toStdString() + "/de_DE.UTF-8' >/dev/null 2>&1";
    const bool built = std::system(command.c_str()) == 0;
    if (built)
        setenv("LOCPATH", dir.getFullPathName().toRawUTF8(), 1);
    const bool active = built && std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    if (!active)
    {
        dir.deleteRecursively();
        GTEST_SKIP() << "no comma-decimal locale available";
    }
    char probe[32];
    std::snprintf(probe, sizeof(probe), "%.1f", 0.5);
    EXPECT_STREQ(probe, "0,5");

    auto p = makeProcessor();
    p->parameters[1]->SetNormalised(0.3);
    const auto bytes = save(*p);
    auto q = makeProcessor();
    load(*q, bytes);
    const auto again = save(*q);

    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    dir.deleteRecursively();

    EXPECT_NE(xmlOf(bytes).find("Output=\"0.2999999999999999889\""), std::string::npos) << xmlOf(bytes);
    EXPECT_EQ(again, bytes);
}

TEST(ProcessorState, ReadingRules)
{
    struct Case
    {
        const char* what;
        Bytes bytes;
        std::optional<Values> result; // nullopt: the record is ignored
    };

    const auto full = record(distinctText);
    Bytes eightBytes(full.begin(), full.begin() + 8);
    Bytes cutInside = record(distinctText, static_cast<int32_t>(distinctText.size() / 2));
    Bytes noZero = record(distinctText, std::nullopt, 0x21324356u, false);

    Values allMissing = { 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.0, 0.0 };
    Values lowerInput = distinctValues;
    lowerInput[0] = 0.5;
    Values rounded = distinctValues;
    rounded[7] = 0.0; // Bypass 0.4 stays off
    rounded[8] = 1.0; // Quality 0.6 rounds to 1
    Values clamped = distinctValues;
    clamped[2] = 1.0;            // Drive 1.7 ends at the maximum
    clamped[3] = 0.0;            // Bass below 0 ends at the minimum
    clamped[4] = startValues[4]; // NaN leaves Treble alone
    Values leadingNumber = distinctValues;
    leadingNumber[2] = 0.5;  // "0.5abc" reads 0.5
    leadingNumber[3] = 0.0;  // "abc" reads 0
    leadingNumber[4] = 0.25; // blanks before the number are skipped

    auto replaceAttr = [](std::string attrs, const std::string& from, const std::string& to) {
        attrs.replace(attrs.find(from), from.size(), to);
        return attrs;
    };

    std::vector<Case> cases = {
        { "empty", {}, std::nullopt },
        { "8 bytes", eightBytes, std::nullopt },
        { "wrong magic", record(distinctText, std::nullopt, 0x21324357u), std::nullopt },
        { "byte-swapped magic", record(distinctText, std::nullopt, 0x56433221u), std::nullopt },
        { "L 0", record(distinctText, 0), std::nullopt },
        { "L -1", record(distinctText, -1), std::nullopt },
        { "L most negative", record(distinctText, INT32_MIN), std::nullopt },
        { "L beyond the bytes present", record(distinctText, 1 << 30), distinctValues },
        { "L beyond, no trailing zero", record(distinctText, INT32_MAX, 0x21324356u, false), distinctValues },
        { "no trailing zero", noZero, distinctValues },
        { "L shorter than the text", cutInside, std::nullopt },
        { "L stops before trailing junk", record(distinctText + "<<junk", static_cast<int32_t>(distinctText.size())),
          distinctValues },
        { "text ends at the first zero", record(distinctText + std::string(1, '\0') + "<<junk"), distinctValues },
        { "byte 8 is zero", record(std::string(1, '\0') + distinctText), std::nullopt },
        { "not XML", record("hello"), std::nullopt },
        { "9 bytes, L 1, empty text", record("", 1), std::nullopt },
        { "no ProductInfo", record("<ZOVARIDU><Settings " + distinctAttributes + "/></ZOVARIDU>"), std::nullopt },
        { "no Settings", record("<ZOVARIDU><ProductInfo Product=\"KYM\"/></ZOVARIDU>"), std::nullopt },
        { "Product kym", record(settingsWith(distinctAttributes, "Product=\"kym\"")), std::nullopt },
        { "Product missing", record(settingsWith(distinctAttributes, "")), std::nullopt },
        { "product attribute in lower case", record(settingsWith(distinctAttributes, "product=\"KYM\"")),
          std::nullopt },
        { "Version missing",
          record("<ZOVARIDU><ProductInfo Product=\"KYM\"/><Settings " + distinctAttributes + "/></ZOVARIDU>"),
          distinctValues },
        { "other Version", record(settingsWith(distinctAttributes, "Product=\"KYM\" Version=\"9.9\"")),
          distinctValues },
        { "other root name", record("<FOO><ProductInfo Product=\"KYM\"/><Settings " + distinctAttributes + "/></FOO>"),
          distinctValues },
        { "tags in other cases",
          record("<ZOVARIDU><productinfo Product=\"KYM\"/><SETTINGS " + distinctAttributes + "/></ZOVARIDU>"),
          distinctValues },
        { "tag folded by a non-ASCII letter",
          record("<ZOVARIDU><ProductInfo Product=\"KYM\"/><\xC5\xBF"
                 "ettings "
                 + distinctAttributes + "/></ZOVARIDU>"),
          std::nullopt },
        { "Settings before ProductInfo, extras around",
          record("<R x=\"1\"><Other/><Settings " + distinctAttributes
                 + " Extra=\"3\"/><ProductInfo Product=\"KYM\"/>"
                   "<Settings Input=\"1\"/></R>"),
          distinctValues },
        { "attribute in another case", record(settingsWith(replaceAttr(distinctAttributes, "Input=", "input="))),
          lowerInput },
        { "no attributes", record(settingsWith("")), allMissing },
        { "rounding",
          record(settingsWith(replaceAttr(replaceAttr(distinctAttributes, "Bypass=\"1\"", "Bypass=\"0.4\""),
                                          "Quality=\"1\"", "Quality=\"0.6\""))),
          rounded },
        { "out of range and NaN",
          record(
              settingsWith(replaceAttr(replaceAttr(replaceAttr(distinctAttributes, "Drive=\"0.75\"", "Drive=\"1.7\""),
                                                   "Bass=\"0.375\"", "Bass=\"-0.5\""),
                                       "Treble=\"0.625\"", "Treble=\"nan\""))),
          clamped },
        { "leading numbers",
          record(settingsWith(
              replaceAttr(replaceAttr(replaceAttr(distinctAttributes, "Drive=\"0.75\"", "Drive=\"0.5abc\""),
                                      "Bass=\"0.375\"", "Bass=\"abc\""),
                          "Treble=\"0.625\"", "Treble=\"  0.25\""))),
          leadingNumber },
        { "invalid UTF-8",
          record("<ZOVARIDU>\xFF\xFE<ProductInfo Product=\"KYM\"/><Settings " + distinctAttributes
                 + "/>\xC3</ZOVARIDU>\xE2\x82"),
          std::nullopt },
        { "deep nesting", record(deepNesting(200000)), std::nullopt },
        { "shallow nesting", record(deepNesting(4)), std::nullopt }, // Settings not a child of the root
        { "unquoted values",
          record("<ZOVARIDU><ProductInfo Product=\"KYM\"/><Settings Drive=0.25 Input=0.5/></ZOVARIDU>"), std::nullopt },
        { "duplicate attributes: the first counts",
          record(settingsWith(distinctAttributes + " Input=\"0.9\" Bypass=\"0\"", "Product=\"KYM\" Product=\"kym\"")),
          distinctValues },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        auto p = processorAtStart();
        while (p->messageQueue.pop())
        {} // start from an empty queue
        const auto written = load(*p, c.bytes);
        const auto values = normalisedValues(*p);
        const Values& expected = c.result ? *c.result : startValues;
        for (size_t i = 0; i < 9; ++i)
            EXPECT_NEAR(values[i], expected[i], 1e-12) << "parameter " << i;
        EXPECT_EQ(written, c.result ? "Settings loaded\n" : "");
        if (!c.result)
            EXPECT_EQ(p->messageQueue.size_approx(), 0u);
    }
}

TEST(ProcessorState, LoadNotifiesOnlyWhatMoves)
{
    struct HostListener : juce::AudioProcessorListener
    {
        std::vector<int> indices;
        void audioProcessorParameterChanged(juce::AudioProcessor*, int index, float) override
        {
            indices.push_back(index);
        }
        void audioProcessorChanged(juce::AudioProcessor*, const ChangeDetails&) override {}
    };

    auto p = makeProcessor();
    HostListener host;
    p->addListener(&host);
    EXPECT_EQ(load(*p, save(*p)), "Settings loaded\n");
    EXPECT_TRUE(host.indices.empty());
    EXPECT_EQ(p->messageQueue.size_approx(), 0u);

    // Drive and Bypass move; the jobs follow the record's attribute order.
    auto attrs = "Input=\"0.5\" Output=\"0.5\" Drive=\"0.8\" Bass=\"0.5\" Treble=\"0.5\" Blend=\"0\" "
                 "Presence=\"0.5\" Bypass=\"1\" Quality=\"0\"";
    load(*p, record(settingsWith(attrs)));
    EXPECT_EQ(host.indices, (std::vector<int> { 2, 7 }));
    Job job;
    ASSERT_TRUE(p->messageQueue.try_dequeue(job));
    EXPECT_EQ(job.parameter, p->parameters[2]);
    ASSERT_TRUE(p->messageQueue.try_dequeue(job));
    EXPECT_EQ(job.parameter, p->parameters[7]);
    EXPECT_FALSE(p->messageQueue.try_dequeue(job));
    p->removeListener(&host);
}

TEST(ProcessorState, SaveLoadSaveIsByteIdentical)
{
    std::mt19937_64 random(20240611);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int round = 0; round < 200; ++round)
    {
        SCOPED_TRACE(round);
        auto p = makeProcessor();
        if (round == 1) // small values with every digit in use
        {
            const double small[9] = { 0.0023790535207490856769,
                                      0.012345678901234567,
                                      1.0000000000000000818e-05,
                                      0.099999999999999991673,
                                      3.3333333333333331483e-07,
                                      0.0625,
                                      0.051,
                                      1,
                                      0 };
            for (int i = 0; i < 9; ++i)
                p->parameters[i]->SetNormalised(small[i]);
        }
        else if (round > 1)
            for (int i = 0; i < 9; ++i)
                p->parameters[i]->SetNormalised(unit(random));
        const auto first = save(*p);
        auto q = makeProcessor();
        ASSERT_EQ(load(*q, first), "Settings loaded\n");
        const auto second = save(*q);
        ASSERT_EQ(second, first) << xmlOf(first) << "\n" << xmlOf(second);
        const uint32_t L = first[4] | (first[5] << 8) | (first[6] << 16) | (static_cast<uint32_t>(first[7]) << 24);
        ASSERT_EQ(L + 9, first.size());
        ASSERT_EQ(first.back(), 0);
    }
}

TEST(ProcessorState, LoadedSettingsReachTheEngineAtTheNextBlock)
{
    auto p = makeProcessor();
    load(*p, record(distinctText));
    runEmptyBlock(*p);
    runEmptyBlock(*p);
    EXPECT_EQ(p->inputGain, 0.5);
    EXPECT_EQ(p->engine.slots[KYM::Slot::drive].value, 0.75);
    EXPECT_TRUE(p->bypass);
    EXPECT_EQ(p->sampler.factor, 4);
    EXPECT_EQ(p->engine.fs, 176400.0);
}

// Mangled copies of a good record: whatever the bytes, a load either applies
// values inside the ranges or nothing, and never reads outside the record
// (under ASan, ASAN_OPTIONS=log_path=... keeps a report that stderr capture hides).
TEST(ProcessorState, MangledRecordsAreReadSafely)
{
    std::mt19937 random(7);
    static const char characters[] = "<>/\"'=&;!? \t\nabKYMSettingsProductInfo0.5e-\x80\xBF\xC3\xE2\xF0\xF8\xFF";
    const std::string alphabet(characters, sizeof(characters)); // the terminating zero too
    const auto base = record(distinctText);
    auto p = makeProcessor();

    int applied = 0;
    testing::internal::CaptureStderr();
    for (int round = 0; round < 20000; ++round)
    {
        Bytes b = base;
        const int edits = 1 + static_cast<int>(random() % 6);
        for (int e = 0; e < edits && b.size() > 9; ++e)
        {
            const size_t at = 8 + random() % (b.size() - 8);
            const auto c = static_cast<uint8_t>(alphabet[random() % alphabet.size()]);
            switch (random() % 5)
            {
            case 0:
                b[at] = c;
                break;
            case 1:
                b.insert(b.begin() + static_cast<long>(at), c);
                break;
            case 2:
                b.erase(b.begin() + static_cast<long>(at));
                break;
            case 3:
                b.resize(at);
                break;
            default:
                b[at] ^= static_cast<uint8_t>(1u << (random() % 8));
                break;
            }
        }
        if (random() % 4 == 0) // the stored length no longer matches
        {
            const auto L = static_cast<uint32_t>(random() % (b.size() + 20));
            for (int k = 0; k < 4; ++k)
                b[4 + static_cast<size_t>(k)] = static_cast<uint8_t>(L >> (8 * k));
        }
        // Copy into a buffer of exactly that size, so any overread is outside it.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[b.size()]);
        std::memcpy(exact.get(), b.data(), b.size());
        p->setStateInformation(exact.get(), static_cast<int>(b.size()));
        while (p->messageQueue.pop())
        {}

        for (int i = 0; i < 9; ++i)
        {
            const double v = p->parameters[i]->value.load();
            ASSERT_TRUE(v >= p->parameters[i]->minValue && v <= p->parameters[i]->maxValue) << i << " " << v;
        }
    }
    const auto written = testing::internal::GetCapturedStderr();
    for (size_t at = written.find("Settings loaded"); at != std::string::npos;
         at = written.find("Settings loaded", at + 1))
        ++applied;
    EXPECT_GT(applied, 100); // the mangling left many records readable
    EXPECT_LT(applied, 20000);
}
