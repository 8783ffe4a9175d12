#include "libqor/gfx/PopupEditComponent.h"

#include "libqor/AutomatableParameter.h"

#include "libqor/gfx/GuiTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

using libqor::Parameter;
using libqor::gfx::PopupEditComponent;

namespace
{

struct RecordingObserver : libqor::ParamObserver
{
    void notifyParamChange(Parameter* p) override { values.push_back(p->value.load()); }
    void parameterCheck(Parameter*) override {}
    std::vector<double> values;
};

void initLevel(Parameter& p)
{
    p.InitDouble("KYM_Output", "Level", 5.0, 0.0, 10.0, 0.0001, "", 1.0);
}

void initBypass(Parameter& p)
{
    p.InitBool("KYM_Bypass", "Bypass", "");
    p.SetDisplayText(0, "off");
    p.SetDisplayText(1, "on");
}

void initGainInDecibels(Parameter& p)
{
    p.InitDouble("KYM_Input", "Input", 1.0, 0.0, 2.0, 0.0001, "", 1.0);
    p.showDecibels = true;
}

} // namespace

TEST(PopupEditComponent, StartsWithTheDisplayValueAndItsLook)
{
    Parameter p;
    initLevel(p);
    p.value = 2.5;
    PopupEditComponent panel(&p);
    guitest::runPendingMessages();

    EXPECT_EQ(panel.valueEditor.getText(), "2.500");
    EXPECT_FALSE(panel.valueEditor.isReadOnly());
    EXPECT_TRUE(panel.valueEditor.isCaretVisible());
    EXPECT_TRUE(panel.valueEditor.isVisible());
    EXPECT_EQ(panel.valueEditor.getParentComponent(), &panel);
    EXPECT_EQ(panel.valueEditor.findColour(juce::TextEditor::textColourId), juce::Colour(0xfffafafau));
    EXPECT_EQ(panel.valueEditor.findColour(juce::TextEditor::backgroundColourId), juce::Colour(0x00ffffffu));
    EXPECT_EQ(panel.valueEditor.findColour(juce::TextEditor::highlightColourId), juce::Colour(0xff900909u));
    EXPECT_EQ(panel.valueEditor.findColour(juce::TextEditor::outlineColourId), juce::Colour(0x7fffffffu));
    EXPECT_EQ(panel.valueEditor.findColour(juce::TextEditor::focusedOutlineColourId), juce::Colour(0xf6730004u));
    EXPECT_EQ(panel.valueEditor.findColour(juce::CaretComponent::caretColourId), juce::Colour(0xff900000u));
    EXPECT_EQ(panel.valueEditor.getFont().getHeight(), 14.0f);

    ASSERT_NE(panel.okButton, nullptr);
    EXPECT_EQ(panel.okButton->getButtonText(), "OK");
    EXPECT_EQ(panel.okButton->getTooltip(), "Sets the new value.");
    EXPECT_EQ(panel.okButton->getParentComponent(), &panel);

    int w = 0, h = 0;
    panel.getIdealSize(w, h);
    EXPECT_EQ(w, 200);
    EXPECT_EQ(h, 72);

    panel.setSize(125, 60);
    EXPECT_EQ(panel.valueEditor.getBounds(), juce::Rectangle<int>(0, 36, 92, 18));
    EXPECT_EQ(panel.okButton->getBounds(), juce::Rectangle<int>(93, 36, 32, 18));
}

TEST(PopupEditComponent, LinesOfAContinuousParameter)
{
    Parameter p;
    initLevel(p);
    p.value = 2.5;
    PopupEditComponent panel(&p);
    EXPECT_EQ(panel.valueLine(), "Value: 2.500 ");
    EXPECT_EQ(panel.defaultLine(), "Default: " + juce::String(5.0) + " ");
    EXPECT_EQ(panel.rangeLine(), "Range: " + juce::String(0.0) + " to " + juce::String(10.0));
}

TEST(PopupEditComponent, LinesUseTheDisplayTextOfTheTruncatedValue)
{
    Parameter p;
    initBypass(p);
    p.value = 1.0;
    PopupEditComponent panel(&p);
    EXPECT_EQ(panel.valueLine(), "Value: 1.000 on");
    EXPECT_EQ(panel.defaultLine(), "Default: " + juce::String(0.0) + " off");

    p.value = 0.7; // truncates to 0
    EXPECT_EQ(panel.valueLine(), "Value: 0.700 off");

    p.SetDisplayText(1, ""); // a later pair for 1 is never reached
    p.value = 1.0;
    EXPECT_EQ(panel.valueLine(), "Value: 1.000 on");
}

TEST(PopupEditComponent, EmptyDisplayTextFallsBackToTheLabel)
{
    Parameter p;
    p.InitInt("KYM_Quality", "Quality", 0, 1, 0, "x");
    p.SetDisplayText(1, "");
    p.value = 1.0;
    PopupEditComponent panel(&p);
    EXPECT_EQ(panel.valueLine(), "Value: 1.000 x");
}

TEST(PopupEditComponent, DecibelRuleForValueDefaultAndRange)
{
    Parameter p;
    initGainInDecibels(p);
    p.value = 0.0;
    PopupEditComponent panel(&p);
    EXPECT_EQ(panel.valueEditor.getText(), "-100.000");
    EXPECT_EQ(panel.valueLine(), "Value: -100.000 ");
    p.value = 2.0;
    EXPECT_EQ(panel.valueLine(), "Value: " + juce::String(20.0 * std::log10(2.0), 3) + " ");
    EXPECT_EQ(panel.defaultLine(), "Default: " + juce::String(0.0) + " ");
    EXPECT_EQ(panel.rangeLine(), "Range: " + juce::String(-100.0) + " to " + juce::String(20.0 * std::log10(2.0)));
    p.value = 1e-9; // -180 dB shows as the floor
    EXPECT_EQ(panel.valueLine(), "Value: -100.000 ");
}

TEST(PopupEditComponent, FilterHasItsSeventyTwoCharacters)
{
    const juce::String& f = PopupEditComponent::inputFilter();
    EXPECT_EQ(f.length(), 72);
    EXPECT_TRUE(f.containsChar((juce::juce_wchar) 0xa8));
    for (auto c : { '0', '9', '-', '.', ',', ' ' })
        EXPECT_FALSE(f.containsChar((juce::juce_wchar) c)) << c;
}

TEST(PopupEditComponent, TypedLettersAreFilteredOut)
{
    Parameter p;
    initLevel(p);
    PopupEditComponent panel(&p);
    panel.valueEditor.setText("12abc", true);
    guitest::runPendingMessages();
    EXPECT_EQ(panel.valueEditor.getText(), "12");

    panel.valueEditor.setText(juce::String::fromUTF8("-1,5 \xc2\xa8#?"), true);
    guitest::runPendingMessages();
    EXPECT_EQ(panel.valueEditor.getText(), "-1,5 ");
}

struct ReturnCase
{
    const char* name;
    const char* text;
    bool decibels;
    double start;
    double expected;
};

class ReturnKey : public ::testing::TestWithParam<ReturnCase>
{};

TEST_P(ReturnKey, AppliesTheTypedValue)
{
    const ReturnCase c = GetParam();
    Parameter p;
    if (c.decibels)
        initGainInDecibels(p);
    else
        initLevel(p);
    p.value = c.start;
    RecordingObserver spy;
    p.AddObserver(&spy);
    PopupEditComponent panel(&p);

    panel.valueEditor.setText(c.text, false);
    panel.textEditorReturnKeyPressed(panel.valueEditor);

    EXPECT_EQ(p.value.load(), c.expected);
    EXPECT_EQ(spy.values.size(), c.expected != c.start ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReturnKey,
    ::testing::Values(ReturnCase { "commaIsAPoint", "1,5", false, 5.0, 1.5 },
                      ReturnCase { "onlyFirstComma", "2,5,7", false, 5.0, 2.5 },
                      ReturnCase { "lettersRemoved", "7abc", false, 5.0, 7.0 },
                      ReturnCase { "emptyFieldChangesNothing", "", false, 5.0, 5.0 },
                      ReturnCase { "filteredToNothingReadsZero", "abc", false, 5.0, 0.0 },
                      ReturnCase { "loneMinusReadsZero", "-", false, 5.0, 0.0 },
                      ReturnCase { "lonePointReadsZero", ".", false, 5.0, 0.0 },
                      ReturnCase { "aboveRangeClamped", "15", false, 5.0, 10.0 },
                      ReturnCase { "belowRangeClamped", "-3", false, 5.0, 0.0 },
                      ReturnCase { "notRoundedToInterval", "3.123456789", false, 5.0, 3.123456789 },
                      ReturnCase { "sameValueNotifiesNobody", "5", false, 5.0, 5.0 },
                      ReturnCase { "decibelsMinus6", "-6", true, 1.0, std::pow(10.0, 0.05 * -6.0) },
                      ReturnCase { "decibelsFloorGivesMin", "-100", true, 1.0, 0.0 },
                      ReturnCase { "decibelsBelowFloorGivesMin", "-140", true, 1.0, 0.0 },
                      ReturnCase { "decibelsAboveMaxCapped", "12", true, 1.0, 2.0 }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PopupEditComponent, SwitchParameterKeepsTheFraction)
{
    Parameter p;
    initBypass(p);
    PopupEditComponent panel(&p);
    panel.valueEditor.setText("0,4", false);
    panel.textEditorReturnKeyPressed(panel.valueEditor);
    EXPECT_EQ(p.value.load(), 0.4);
}

TEST(PopupEditComponent, ValueWithin1e16NotifiesNobody)
{
    Parameter p;
    p.InitDouble("tiny", "Tiny", 0.0, 0.0, 1.0, 0.0001, "", 1.0);
    p.value = 0.001 + 5e-17;
    const double held = p.value.load();
    RecordingObserver spy;
    p.AddObserver(&spy);
    PopupEditComponent panel(&p);
    panel.valueEditor.setText("0.001", false);
    panel.textEditorReturnKeyPressed(panel.valueEditor);
    EXPECT_EQ(p.value.load(), held);
    EXPECT_TRUE(spy.values.empty());
}

// What a slot tells the host: "B" gesture begins, "V" value, "E" gesture ends.
struct SlotRecorder : juce::AudioProcessorParameter::Listener
{
    explicit SlotRecorder(libqor::AutomatableParameter& s) : slot(s)
    {
        slot.addListener(this);
        slot.onChange = [this](int, float) { heard += 'V'; };
    }
    ~SlotRecorder() override
    {
        slot.onChange = nullptr;
        slot.removeListener(this);
    }
    void parameterValueChanged(int, float) override {}
    void parameterGestureChanged(int, bool starting) override { heard += starting ? 'B' : 'E'; }

    libqor::AutomatableParameter& slot;
    std::string heard;
};

TEST(PopupEditComponent, TypedValueIsOneGestureOnTheSlotThatCarriesIt)
{
    libqor::AutomatableParameter slot(3); // outlives the parameters that point at it
    Parameter p;
    Parameter other;
    initLevel(p);
    initLevel(other);
    slot.ConnectTo(&p, 593953);
    SlotRecorder host(slot);

    PopupEditComponent panel(&p);
    panel.valueEditor.setText("7", false);
    panel.textEditorReturnKeyPressed(panel.valueEditor);
    EXPECT_EQ(p.value.load(), 7.0);
    EXPECT_EQ(host.heard, "BVE");

    // Once the slot carries another parameter, this one's edits are not its gestures
    // (the parameter still names the slot it was connected to last).
    slot.Disconnect();
    slot.ConnectTo(&other, 593953);
    ASSERT_EQ(p.connectedSlot, &slot);
    host.heard.clear();
    panel.valueEditor.setText("3", false);
    panel.textEditorReturnKeyPressed(panel.valueEditor);
    EXPECT_EQ(p.value.load(), 3.0);
    EXPECT_EQ(host.heard, "");
}

// The panel in a call-out box, as the menu opens it; a parent component keeps
// the box off the desktop.
class PanelInBox : public ::testing::Test
{
protected:
    void SetUp() override
    {
        initLevel(p);
        host.setBounds(0, 0, 400, 300);
        auto owned = std::make_unique<PopupEditComponent>(&p);
        owned->setSize(125, 60);
        panel = owned.get();
        juce::CallOutBox::launchAsynchronously(std::move(owned), { 100, 100, 80, 80 }, &host);
        guitest::runPendingMessages();
        ASSERT_NE(panel.getComponent(), nullptr);
    }

    Parameter p;
    juce::Component host;
    juce::Component::SafePointer<PopupEditComponent> panel;
};

TEST_F(PanelInBox, ReturnAppliesAndKeepsThePanelOpen)
{
    panel->valueEditor.setText("1,5", false);
    panel->textEditorReturnKeyPressed(panel->valueEditor);
    guitest::runPendingMessages();
    EXPECT_EQ(p.value.load(), 1.5);
    ASSERT_NE(panel.getComponent(), nullptr);
    EXPECT_EQ(panel->valueLine(), "Value: 1.500 ");
}

TEST_F(PanelInBox, EscapeAndFocusLossDoNothing)
{
    panel->valueEditor.setText("3", false);
    panel->textEditorEscapeKeyPressed(panel->valueEditor);
    panel->textEditorFocusLost(panel->valueEditor);
    guitest::runPendingMessages();
    EXPECT_EQ(p.value.load(), 5.0);
    EXPECT_NE(panel.getComponent(), nullptr);
}

TEST_F(PanelInBox, OkAppliesAndClosesTheBox)
{
    panel->valueEditor.setText("7", false);
    panel->okButton->triggerClick();
    guitest::runMessagesFor(50);
    EXPECT_EQ(p.value.load(), 7.0);
    EXPECT_EQ(panel.getComponent(), nullptr);
    EXPECT_EQ(host.getNumChildComponents(), 0);
}

TEST_F(PanelInBox, OtherButtonsAreIgnored)
{
    juce::TextButton other("other");
    panel->valueEditor.setText("7", false);
    panel->buttonClicked(&other);
    guitest::runPendingMessages();
    EXPECT_EQ(p.value.load(), 5.0);
    EXPECT_NE(panel.getComponent(), nullptr);
}

TEST(PopupEditComponent, OkOutsideABoxOnlyApplies)
{
    Parameter p;
    initLevel(p);
    PopupEditComponent panel(&p);
    panel.valueEditor.setText("4", false);
    panel.buttonClicked(panel.okButton.get());
    guitest::runPendingMessages();
    EXPECT_EQ(p.value.load(), 4.0);
}
