#include "libqor/AutomatableParameter.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace
{

using libqor::AutomatableParameter;
using libqor::Parameter;
using libqor::ParamObserver;

// Stands in for the processor: first observer of every parameter, logging the
// job it would post into the same journal the slots report to.
struct JobPoster : ParamObserver
{
    explicit JobPoster(std::vector<std::string>& j) : journal(j) {}
    void notifyParamChange(Parameter* p) override { journal.push_back("job " + p->id.toStdString()); }
    void parameterCheck(Parameter*) override {}
    std::vector<std::string>& journal;
};

std::string report(int index, float value)
{
    return "host " + std::to_string(index) + " " + juce::String(value, 4).toStdString();
}

// Five rows of the plug-in's table, each with its slot wired the way the
// processor wires them: poster first, slot second, onChange into the journal.
class SlotTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        params[0].InitDouble("KYM_Input", "Input", 1.0, 0.0, 2.0, 0.0001, "", 1.0);
        params[1].InitDouble("KYM_Output", "Level", 5.0, 0.0, 10.0, 0.0001, "", 1.0);
        params[2].InitDouble("KYM_Drive", "Drive", 5.0, 0.0, 10.0, 0.0001, "", 1.0);
        params[6].InitDouble("KYM_Blend", "Blend", 0.0, 0.0, 10.0, 0.0001, "", 1.0);
        params[7].InitBool("KYM_Bypass", "Bypass", "");
        params[7].SetDisplayText(0, "off");
        params[7].SetDisplayText(1, "on");
        params[8].InitInt("KYM_Quality", "Quality", 0, 1, 0, "");

        for (int i = 0; i < 9; ++i)
        {
            slots.push_back(std::make_unique<AutomatableParameter>(i + 1));
            slots.back()->onChange = [this](int index, float v) { journal.push_back(report(index, v)); };
        }
    }

    void wire(int i)
    {
        params[i].AddObserver(&poster);
        slots[(size_t) i]->ConnectTo(&params[i], 593953);
    }

    AutomatableParameter& slot(int i) { return *slots[(size_t) i]; }

    // Parameters go before their slots, as in the processor: deleting a
    // parameter disconnects the slot it still points at.
    std::vector<std::string> journal;
    JobPoster poster { journal };
    std::vector<std::unique_ptr<AutomatableParameter>> slots;
    Parameter params[9];
};

struct NameCase
{
    int maxLength;
    const char* expected;
};

std::ostream& operator<<(std::ostream& os, const NameCase& c)
{
    return os << c.maxLength << " -> " << c.expected;
}

class SlotNameTest : public SlotTest, public ::testing::WithParamInterface<NameCase>
{};

TEST_P(SlotNameTest, ConnectedNameIsCutToOneLessThanMaxLength)
{
    wire(1);
    EXPECT_EQ(slot(1).getName(GetParam().maxLength), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, SlotNameTest,
                         ::testing::Values(NameCase { 31, "Level" }, NameCase { 6, "Level" }, NameCase { 5, "Leve" },
                                           NameCase { 4, "Lev" }, NameCase { 2, "L" }, NameCase { 1, "" },
                                           NameCase { 0, "" }, NameCase { -7, "" }));

TEST_F(SlotTest, DisconnectedSlotAnswersFromItsPlaceholder)
{
    AutomatableParameter& s = slot(2);
    EXPECT_EQ(s.getName(1), "Parameter 3");
    EXPECT_EQ(s.getName(100), "Parameter 3");
    EXPECT_EQ(s.ConnectedTo(), "Parameter 3");
    EXPECT_EQ(s.getValue(), 0.5f);
    EXPECT_EQ(s.getDefaultValue(), 0.5f);
    EXPECT_EQ(s.getLabel(), "");
    EXPECT_EQ(s.getNumSteps(), 0);
    EXPECT_EQ(s.key, -1);
    EXPECT_EQ(s.placeholder->id, "spare");
    EXPECT_EQ(s.placeholder->type, Parameter::TypeContinuous);

    // Host writes land on the placeholder, which nobody observes.
    s.setValue(0.9f);
    EXPECT_EQ(s.getValue(), 0.9f);
    EXPECT_TRUE(journal.empty());
}

// Hosts key their automation on it (LV2 names its ports after it), so it
// depends on the slot alone, never on what the slot is connected to.
TEST_F(SlotTest, EverySlotHasItsOwnStableId)
{
    EXPECT_EQ(slot(0).getParameterID(), "slot1");
    EXPECT_EQ(slot(8).getParameterID(), "slot9");
    wire(2);
    EXPECT_EQ(slot(2).getParameterID(), "slot3");
    slot(2).Disconnect();
    EXPECT_EQ(slot(2).getParameterID(), "slot3");
}

TEST_F(SlotTest, ConnectedSlotAnswersFromItsParameter)
{
    wire(2);
    params[2].label = "dB";
    AutomatableParameter& s = slot(2);
    EXPECT_EQ(s.ConnectedTo(), "Parameter 3 : Drive");
    EXPECT_EQ(s.getLabel(), "dB");
    EXPECT_EQ(s.getValue(), 0.5f);
    EXPECT_FALSE(s.isOrientationInverted());
    EXPECT_TRUE(s.isAutomatable());
    EXPECT_FALSE(s.isMetaParameter());
}

// Hosts draw Bypass and Quality as two-state switches: JUCE's VST3 wrapper
// reports getNumSteps() - 1 steps for a discrete parameter, its LV2 wrapper
// getNumSteps() scale points labelled with getText.
TEST_F(SlotTest, StepsKindAndDefaultsFollowTheParameter)
{
    struct Row
    {
        int index;
        int steps;
        bool discrete;
        bool boolean;
        float defaultValue;
    };
    const Row rows[] = { { 0, 0, false, false, 0.5f },
                         { 2, 0, false, false, 0.5f },
                         { 6, 0, false, false, 0.0f },
                         { 7, 2, true, true, 0.0f },
                         { 8, 2, true, false, 0.0f } };

    for (const Row& r : rows)
    {
        wire(r.index);
        SCOPED_TRACE(params[r.index].name);
        EXPECT_EQ(slot(r.index).getNumSteps(), r.steps);
        EXPECT_EQ(slot(r.index).isDiscrete(), r.discrete);
        EXPECT_EQ(slot(r.index).isBoolean(), r.boolean);
        EXPECT_EQ(slot(r.index).getDefaultValue(), r.defaultValue);
    }

    EXPECT_EQ(slot(7).getAllValueStrings(), juce::StringArray({ "0.00", "1.00" }));
    EXPECT_EQ(slot(8).getAllValueStrings(), juce::StringArray({ "0.00", "1.00" }));
    EXPECT_FALSE(slot(3).isDiscrete()); // disconnected: the continuous placeholder
}

struct TextCase
{
    float value;
    const char* expected;
};

std::ostream& operator<<(std::ostream& os, const TextCase& c)
{
    return os << c.value << " -> " << c.expected;
}

class SlotTextTest : public SlotTest, public ::testing::WithParamInterface<TextCase>
{};

TEST_P(SlotTextTest, TextIsTheGivenValueWithTwoDecimals)
{
    wire(2);
    EXPECT_EQ(slot(2).getText(GetParam().value, 1024), GetParam().expected);
    EXPECT_EQ(slot(2).getText(GetParam().value, 2), GetParam().expected); // length is not used
}

INSTANTIATE_TEST_SUITE_P(Table, SlotTextTest,
                         ::testing::Values(TextCase { 0.5f, "0.50" }, TextCase { 1.0f, "1.00" },
                                           TextCase { 0.125f, "0.13" }, TextCase { 0.0f, "0.00" },
                                           TextCase { 0.999f, "1.00" }, TextCase { 0.001f, "0.00" },
                                           TextCase { 12.345f, "12.35" }, TextCase { -0.25f, "-0.25" }));

TEST_F(SlotTest, TextOfNonFiniteOrHugeValuesIsSafe)
{
    EXPECT_FALSE(slot(0).getText(std::numeric_limits<float>::quiet_NaN(), 8).isEmpty());
    EXPECT_FALSE(slot(0).getText(std::numeric_limits<float>::infinity(), 8).isEmpty());
    EXPECT_TRUE(slot(0).getText(3.0e38f, 8).endsWith(".00"));
}

struct ReadCase
{
    int index;
    const char* text;
    float expected;
};

std::ostream& operator<<(std::ostream& os, const ReadCase& c)
{
    return os << c.index << " \"" << c.text << "\"";
}

class SlotReadTest : public SlotTest, public ::testing::WithParamInterface<ReadCase>
{};

// Drive stands at 3 (0.3), Bypass on, Quality at 0: text that is not a value
// answers the current value, so the host leaves the parameter where it is.
TEST_P(SlotReadTest, TextIsReadAsTheNormalisedValueItShows)
{
    for (int i : { 2, 7, 8 })
        wire(i);
    params[2].SetNormalised(0.3);
    params[7].SetNormalised(1.0);

    EXPECT_FLOAT_EQ(slot(GetParam().index).getValueForText(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SlotReadTest,
    ::testing::Values(ReadCase { 2, "0.70", 0.7f }, ReadCase { 2, " 0.25\t", 0.25f }, ReadCase { 2, "1", 1.0f },
                      ReadCase { 2, "+.5", 0.5f }, ReadCase { 2, "5e-1", 0.5f }, ReadCase { 2, "0", 0.0f },
                      ReadCase { 2, "7", 1.0f }, ReadCase { 2, "-3", 0.0f }, ReadCase { 2, "1e300", 1.0f },
                      ReadCase { 2, "abc", 0.3f }, ReadCase { 2, "", 0.3f }, ReadCase { 2, "0.5x", 0.3f },
                      ReadCase { 2, "0,5", 0.3f }, ReadCase { 2, "nan", 0.3f }, ReadCase { 2, "inf", 0.3f },
                      ReadCase { 2, "++1", 0.3f }, ReadCase { 2, "+-1", 0.3f }, ReadCase { 2, "off", 0.3f },
                      ReadCase { 7, "off", 0.0f }, ReadCase { 7, "on", 1.0f }, ReadCase { 7, " ON ", 1.0f },
                      ReadCase { 7, "0.00", 0.0f }, ReadCase { 7, "1.00", 1.0f }, ReadCase { 7, "maybe", 1.0f },
                      ReadCase { 8, "1.00", 1.0f }, ReadCase { 8, "0.00", 0.0f }, ReadCase { 8, "on", 0.0f }));

// What getText writes reads back to the value it stands for, to its two
// decimals, on every kind of slot.
TEST_F(SlotTest, TextReadsBackToTheValueItWasWrittenFrom)
{
    for (int i : { 0, 2, 7, 8 })
        wire(i);

    for (int i : { 0, 2, 7, 8 })
    {
        for (int k = 0; k <= 1000; ++k)
        {
            const float v = (float) k / 1000.0f;
            const juce::String text = slot(i).getText(v, 64);
            const float read = slot(i).getValueForText(text);
            ASSERT_NEAR(read, v, 0.005f + 1.0e-6f) << i << " " << text;
            ASSERT_EQ(slot(i).getText(read, 64), text) << i;
        }
    }
}

TEST_F(SlotTest, HostWriteReachesTheProcessorFirstThenTheHost)
{
    wire(0);
    journal.clear();

    slot(0).setValue(0.25f);
    EXPECT_EQ(params[0].value.load(), 0.5);
    EXPECT_EQ(journal, (std::vector<std::string> { "job KYM_Input", report(0, 0.25f) }));

    journal.clear();
    slot(0).setValue(0.25f);
    EXPECT_TRUE(journal.empty());
}

TEST_F(SlotTest, WriteOfTheCurrentValueReportsNothing)
{
    wire(0);
    journal.clear();
    slot(0).setValue(0.5f); // Input is still at its default 1.0
    EXPECT_TRUE(journal.empty());
}

TEST_F(SlotTest, ReportsTheValueTheParameterTookNotTheOneWritten)
{
    wire(7);
    wire(2);
    journal.clear();

    slot(7).setValue(0.6f);
    EXPECT_EQ(params[7].value.load(), 1.0);
    slot(7).setValue(0.3f);
    EXPECT_EQ(params[7].value.load(), 0.0);
    slot(2).setValue(1.5f);
    slot(2).setValue(-0.25f);
    EXPECT_EQ(params[2].value.load(), 0.0);

    EXPECT_EQ(journal,
              (std::vector<std::string> { "job KYM_Bypass", report(7, 1.0f), "job KYM_Bypass", report(7, 0.0f),
                                          "job KYM_Drive", report(2, 1.0f), "job KYM_Drive", report(2, 0.0f) }));
}

TEST_F(SlotTest, ChangesFromElsewhereReachTheHost)
{
    wire(1);
    journal.clear();
    params[1].SetNormalised(0.8); // as the editor or a state load would
    EXPECT_EQ(journal, (std::vector<std::string> { "job KYM_Output", report(1, 0.8f) }));
}

TEST_F(SlotTest, ConnectReportsAtOnceAndBecomesTheSecondObserver)
{
    params[2].AddObserver(&poster);
    slot(2).ConnectTo(&params[2], 593953);

    EXPECT_EQ(journal, (std::vector<std::string> { report(2, 0.5f) }));
    EXPECT_EQ(slot(2).key, 593953);
    EXPECT_EQ(slot(2).connected.load(), &params[2]);
    EXPECT_EQ(params[2].connectedSlot, &slot(2));
    ASSERT_EQ(params[2].observers.size(), 2);
    EXPECT_EQ(params[2].observers[0], &poster);
    EXPECT_EQ(params[2].observers[1], &slot(2));
}

TEST_F(SlotTest, ConnectToNullIsIgnored)
{
    slot(2).ConnectTo(nullptr, 1);
    EXPECT_EQ(slot(2).connected.load(), nullptr);
    EXPECT_EQ(slot(2).key, -1);
    EXPECT_TRUE(journal.empty());
}

TEST_F(SlotTest, DisconnectFallsBackToAFreshPlaceholderAndReportsHalf)
{
    slot(2).setValue(0.9f); // leaves a mark on the placeholder
    wire(2);
    journal.clear();

    slot(2).Disconnect();
    EXPECT_EQ(journal, (std::vector<std::string> { report(2, 0.5f) }));
    EXPECT_EQ(slot(2).connected.load(), nullptr);
    EXPECT_EQ(slot(2).getValue(), 0.5f);
    EXPECT_EQ(slot(2).getName(64), "Parameter 3");
    EXPECT_EQ(params[2].connectedSlot, &slot(2)); // left as it was
    ASSERT_EQ(params[2].observers.size(), 1);

    journal.clear();
    params[2].SetNormalised(0.1);
    EXPECT_EQ(journal, (std::vector<std::string> { "job KYM_Drive" }));

    journal.clear();
    slot(2).Disconnect(); // already disconnected: still reports
    EXPECT_EQ(journal, (std::vector<std::string> { report(2, 0.5f) }));
}

TEST_F(SlotTest, NotifyWhileDisconnectedReportsHalf)
{
    params[2].SetNormalised(0.9);
    slot(2).notifyParamChange(&params[2]);
    EXPECT_EQ(journal, (std::vector<std::string> { report(2, 0.5f) }));
}

TEST_F(SlotTest, DeletingAParameterDisconnectsItsSlot)
{
    auto level = std::make_unique<Parameter>();
    level->InitDouble("KYM_Output", "Level", 7.5, 0.0, 10.0, 0.0001, "", 1.0);
    slot(1).ConnectTo(level.get(), 593953);
    EXPECT_EQ(journal, (std::vector<std::string> { report(1, 0.75f) }));

    journal.clear();
    level.reset();
    EXPECT_EQ(journal, (std::vector<std::string> { report(1, 0.5f) }));
    EXPECT_EQ(slot(1).connected.load(), nullptr);
    EXPECT_EQ(slot(1).getName(64), "Parameter 2");
    EXPECT_EQ(slot(1).getValue(), 0.5f);
}

TEST_F(SlotTest, DestroyingASlotDoesNotReport)
{
    slots[4].reset();
    EXPECT_TRUE(journal.empty());
}

} // namespace
