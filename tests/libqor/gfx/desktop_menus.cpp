// Tests that put windows on the desktop (menus, the call-out box); CTest runs
// this program under xvfb-run.

#include "libqor/gfx/FilmStripKnob.h"
#include "libqor/gfx/PopupEditComponent.h"
#include "libqor/gfx/SwitchControl.h"

#include "libqor/gfx/GuiTestSupport.h"

#include <gtest/gtest.h>

#include <memory>

using libqor::AutomatableParameter;
using libqor::Parameter;
using libqor::gfx::FilmStripKnob;
using libqor::gfx::PopupEditComponent;
using libqor::gfx::SwitchControl;

namespace
{

::testing::Environment* const juceEnvironment = ::testing::AddGlobalTestEnvironment(new guitest::JuceEnvironment);

juce::CallOutBox* findCallOutBox()
{
    auto& desktop = juce::Desktop::getInstance();
    for (int i = 0; i < desktop.getNumComponents(); ++i)
        if (auto* box = dynamic_cast<juce::CallOutBox*>(desktop.getComponent(i)))
            return box;
    return nullptr;
}

int openModals()
{
    return juce::ModalComponentManager::getInstance()->getNumModalComponents();
}

class DesktopMenus : public ::testing::Test
{
protected:
    void SetUp() override
    {
        drive.InitDouble("KYM_Drive", "Drive", 5.0, 0.0, 10.0, 0.0001, "", 1.0);
        for (int i = 0; i < 3; ++i)
            slots.add(new AutomatableParameter(i + 1));
        window.setBounds(100, 100, 200, 200);
        window.addToDesktop(0);
        window.setVisible(true);
    }

    void TearDown() override
    {
        juce::PopupMenu::dismissAllActiveMenus();
        if (auto* box = findCallOutBox())
            box->dismiss();
        guitest::runMessagesFor(100);
    }

    void enableMenu(libqor::gfx::AutomationControl& c)
    {
        c.menuEnabled = true;
        c.parameter = &drive;
        c.slots = &slots;
    }

    juce::OwnedArray<AutomatableParameter> slots;
    Parameter drive;
    juce::Component window;
};

} // namespace

TEST_F(DesktopMenus, SetValueOpensThePanelInACallOutBox)
{
    juce::Image strip = guitest::codedStrip(40, 40, 81);
    std::unique_ptr<FilmStripKnob> knob(FilmStripKnob::addKnob(nullptr, 20, 30, strip, 81));
    window.addAndMakeVisible(*knob);
    enableMenu(*knob);

    knob->applyMenuResult(1000, knob.get());
    guitest::runMessagesFor(100);

    juce::CallOutBox* box = findCallOutBox();
    ASSERT_NE(box, nullptr);
    ASSERT_EQ(box->getNumChildComponents(), 1);
    auto* panel = dynamic_cast<PopupEditComponent*>(box->getChildComponent(0));
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->parameter, &drive);
    EXPECT_EQ(panel->getWidth(), 125);
    EXPECT_EQ(panel->getHeight(), 60);

    juce::Component::SafePointer<PopupEditComponent> alive(panel);
    panel->valueEditor.setText("2,5", false);
    panel->okButton->triggerClick();
    guitest::runMessagesFor(100);
    EXPECT_EQ(drive.value.load(), 2.5);
    EXPECT_EQ(alive.getComponent(), nullptr);
    EXPECT_EQ(findCallOutBox(), nullptr);
}

TEST_F(DesktopMenus, PopupClickShowsTheMenuEvenOnANonInteractiveSwitch)
{
    std::unique_ptr<SwitchControl> sw(SwitchControl::addSwitch(nullptr, 10, 10, guitest::codedStrip(32, 32, 2)));
    window.addAndMakeVisible(*sw);
    sw->interactive = false;
    sw->mouseDown(guitest::press(*sw, guitest::rightButton));
    EXPECT_EQ(openModals(), 0); // menu off as created

    // The menu opens at once; without a focused window it may close by itself later.
    enableMenu(*sw);
    sw->mouseDown(guitest::press(*sw, guitest::rightButton));
    EXPECT_EQ(openModals(), 1);
    EXPECT_EQ(sw->getValue(), 0.0);

    // Dismissed: result 0 changes nothing.
    juce::PopupMenu::dismissAllActiveMenus();
    guitest::runMessagesFor(100);
    EXPECT_EQ(openModals(), 0);
    for (auto* slot : slots)
        EXPECT_EQ(slot->connected.load(), nullptr);
}

TEST_F(DesktopMenus, MenuOfADeletedControlAppliesNothing)
{
    auto sw = std::unique_ptr<SwitchControl>(SwitchControl::addSwitch(nullptr, 10, 10, guitest::codedStrip(32, 32, 2)));
    window.addAndMakeVisible(*sw);
    enableMenu(*sw);
    sw->mouseDown(guitest::press(*sw, guitest::leftButton | guitest::ctrlKey));
    ASSERT_EQ(openModals(), 1);
    sw.reset();
    juce::PopupMenu::dismissAllActiveMenus();
    guitest::runMessagesFor(100);
    EXPECT_EQ(openModals(), 0);
}

TEST_F(DesktopMenus, KnobCustomMenuReportsItsResult)
{
    juce::Image strip = guitest::codedStrip(40, 40, 81);
    std::unique_ptr<FilmStripKnob> knob(FilmStripKnob::addKnob(nullptr, 20, 30, strip, 81));
    window.addAndMakeVisible(*knob);
    juce::PopupMenu custom;
    custom.addItem(7, "Seven");
    std::vector<int> results;
    knob->onMenuResult = [&results](int r) { results.push_back(r); };
    knob->customMenu = &custom;

    knob->mouseDown(guitest::press(*knob, guitest::rightButton));
    knob->mouseUp(guitest::press(*knob, 0));
    guitest::runMessagesFor(50);
    EXPECT_EQ(openModals(), 0); // customMenuEnabled is false

    knob->customMenuEnabled = true;
    knob->mouseDown(guitest::press(*knob, guitest::rightButton));
    EXPECT_EQ(openModals(), 1);
    knob->mouseUp(guitest::press(*knob, 0));
    juce::PopupMenu::dismissAllActiveMenus();
    guitest::runMessagesFor(100);
    EXPECT_EQ(results, std::vector<int> { 0 });
}
