#include "libqor/gfx/ContactControl.h"
#include "libqor/gfx/SwitchControl.h"

#include "libqor/gfx/GuiTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using libqor::gfx::ContactControl;
using libqor::gfx::EditableControl;
using libqor::gfx::HintDisplay;
using libqor::gfx::SwitchControl;

namespace
{

struct CountingListener : juce::Slider::Listener
{
    void sliderValueChanged(juce::Slider* s) override { values.push_back(s->getValue()); }
    std::vector<double> values;
};

std::unique_ptr<SwitchControl> makeSwitch(juce::Slider::Listener* l)
{
    return std::unique_ptr<SwitchControl>(SwitchControl::addSwitch(l, 368, 134, guitest::codedStrip(32, 32, 2)));
}

std::unique_ptr<ContactControl> makeContact(juce::Slider::Listener* l)
{
    auto c = std::make_unique<ContactControl>(guitest::codedStrip(80, 80, 2));
    EditableControl::setUpFilmStrip(*c, l, 8, 180);
    return c;
}

} // namespace

TEST(SwitchControl, AddSwitchGivesTheCommonSetUp)
{
    auto sw = makeSwitch(nullptr);
    EXPECT_EQ(sw->getBounds(), juce::Rectangle<int>(368, 134, 32, 32));
    EXPECT_EQ(sw->numFrames, 2);
    EXPECT_EQ(sw->frameHeight, 32);
    EXPECT_EQ(sw->getValue(), 0.0);
    EXPECT_EQ(sw->getInterval(), 0.0010000000474974513);
    EXPECT_TRUE(sw->interactive);
    EXPECT_FALSE(sw->isVisible());
    EXPECT_FALSE(sw->isTimerRunning());
    EXPECT_EQ(guitest::codedFrameShown(*sw), 0);
    sw->setValue(0.5, juce::dontSendNotification);
    EXPECT_EQ(guitest::codedFrameShown(*sw), 1);
}

struct ToggleCase
{
    double before;
    double after;
};

class SwitchToggle : public ::testing::TestWithParam<ToggleCase>
{};

TEST_P(SwitchToggle, LeftPressTogglesAtHalfAndNotifiesLater)
{
    CountingListener listener;
    auto sw = makeSwitch(&listener);
    int clicks = 0;
    sw->onClick = [&clicks] { ++clicks; };
    sw->setValue(GetParam().before, juce::dontSendNotification);

    sw->mouseDown(guitest::press(*sw));
    EXPECT_EQ(sw->getValue(), GetParam().after);
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(listener.values.empty());
    guitest::runPendingMessages();
    ASSERT_EQ(listener.values.size(), 1u);
    EXPECT_EQ(listener.values[0], GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(Values, SwitchToggle,
                         ::testing::Values(ToggleCase { 0.0, 1.0 }, ToggleCase { 0.3, 1.0 }, ToggleCase { 0.5, 0.0 },
                                           ToggleCase { 0.7, 0.0 }, ToggleCase { 1.0, 0.0 }));

struct PressCase
{
    const char* name;
    int mods;
    bool interactive;
    double valueAfter; // from 0.3
    int clicks;
    int popupClicks;
};

class SwitchPress : public ::testing::TestWithParam<PressCase>
{};

TEST_P(SwitchPress, FollowsButtonsModifiersAndInteractive)
{
    const PressCase c = GetParam();
    CountingListener listener;
    auto sw = makeSwitch(&listener);
    int clicks = 0;
    int popupClicks = 0;
    sw->onClick = [&clicks] { ++clicks; };
    sw->onPopupClick = [&popupClicks] { ++popupClicks; };
    sw->interactive = c.interactive;
    sw->setValue(0.3, juce::dontSendNotification);

    sw->mouseDown(guitest::press(*sw, c.mods));
    sw->mouseUp(guitest::press(*sw, 0));
    guitest::runPendingMessages();

    EXPECT_EQ(sw->getValue(), c.valueAfter);
    EXPECT_EQ(clicks, c.clicks);
    EXPECT_EQ(popupClicks, c.popupClicks);
    EXPECT_EQ(listener.values.size(), c.valueAfter == 1.0 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Presses, SwitchPress,
    ::testing::Values(PressCase { "left", guitest::leftButton, true, 1.0, 1, 0 },
                      PressCase { "right", guitest::rightButton, true, 0.3000000142492354, 0, 1 },
                      PressCase { "ctrlLeft", guitest::leftButton | guitest::ctrlKey, true, 1.0, 1, 1 },
                      PressCase { "leftNotInteractive", guitest::leftButton, false, 0.3000000142492354, 0, 0 },
                      PressCase { "ctrlLeftNotInteractive", guitest::leftButton | guitest::ctrlKey, false,
                                  0.3000000142492354, 0, 0 }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SwitchControl, WithoutHintTargetNoTimerStarts)
{
    auto sw = makeSwitch(nullptr);
    sw->mouseEnter(guitest::press(*sw, 0));
    EXPECT_FALSE(sw->isTimerRunning());
}

TEST(SwitchControl, HintArrivesOnce50msAfterEntryEvenAfterLeaving)
{
    auto sw = makeSwitch(nullptr);
    HintDisplay hint;
    sw->hintTarget = &hint;
    sw->hintText = "Oversampling";

    sw->mouseEnter(guitest::press(*sw, 0));
    sw->mouseExit(guitest::press(*sw, 0));
    EXPECT_TRUE(sw->isTimerRunning());
    EXPECT_EQ(sw->getTimerInterval(), 50);
    EXPECT_FALSE(hint.newText);

    guitest::runMessagesFor(150);
    EXPECT_EQ(hint.text, "Oversampling");
    EXPECT_TRUE(hint.newText);
    EXPECT_FALSE(sw->isTimerRunning());

    hint.newText = false;
    guitest::runMessagesFor(80);
    EXPECT_FALSE(hint.newText);
}

// The wheel stays the slider's own: it moves the value also when interactive is false.
TEST(SwitchAndContact, WheelMovesTheValueEvenWhenNotInteractive)
{
    CountingListener listener;
    auto sw = makeSwitch(&listener);
    auto contact = makeContact(&listener);
    sw->interactive = false;
    contact->interactive = false;
    juce::MouseWheelDetails wheel { 0.0f, 0.5f, false, false, false };
    sw->mouseWheelMove(guitest::press(*sw, 0), wheel);
    contact->mouseWheelMove(guitest::press(*contact, 0), wheel);
    EXPECT_GT(sw->getValue(), 0.0);
    EXPECT_GT(contact->getValue(), 0.0);
    EXPECT_EQ(listener.values.size(), 2u);
}

TEST(ContactControl, LeftPressSendsOneChangeAndReleaseRestsSilently)
{
    CountingListener listener;
    auto contact = makeContact(&listener);
    int releases = 0;
    contact->onRelease = [&releases] { ++releases; };

    contact->mouseDown(guitest::press(*contact));
    EXPECT_EQ(contact->getValue(), 1.0);
    EXPECT_EQ(guitest::codedFrameShown(*contact), 1);
    guitest::runPendingMessages();
    ASSERT_EQ(listener.values.size(), 1u);
    EXPECT_EQ(listener.values[0], 1.0);

    contact->mouseUp(guitest::press(*contact, 0));
    EXPECT_EQ(contact->getValue(), 0.0);
    EXPECT_EQ(releases, 1);
    guitest::runPendingMessages();
    EXPECT_EQ(listener.values.size(), 1u);
}

TEST(ContactControl, RightPressLeavesValueButReleaseStillRests)
{
    CountingListener listener;
    auto contact = makeContact(&listener);
    int releases = 0;
    contact->onRelease = [&releases] { ++releases; };
    contact->setValue(0.6, juce::dontSendNotification);

    contact->mouseDown(guitest::press(*contact, guitest::rightButton));
    EXPECT_EQ(contact->getValue(), 0.6000000284984708);
    contact->mouseUp(guitest::press(*contact, 0));
    guitest::runPendingMessages();
    EXPECT_EQ(contact->getValue(), 0.0);
    EXPECT_EQ(releases, 1);
    EXPECT_TRUE(listener.values.empty());
}

TEST(ContactControl, NotInteractiveIgnoresPressAndRelease)
{
    CountingListener listener;
    auto contact = makeContact(&listener);
    int releases = 0;
    contact->onRelease = [&releases] { ++releases; };
    contact->interactive = false;
    contact->setValue(0.6, juce::dontSendNotification);

    contact->mouseDown(guitest::press(*contact));
    contact->mouseUp(guitest::press(*contact, 0));
    guitest::runPendingMessages();
    EXPECT_EQ(contact->getValue(), 0.6000000284984708);
    EXPECT_EQ(releases, 0);
    EXPECT_TRUE(listener.values.empty());
}

TEST(ContactControl, HoverLookOnlyWithHoverHighlight)
{
    auto contact = makeContact(nullptr);
    contact->mouseEnter(guitest::press(*contact, 0));
    EXPECT_TRUE(contact->hovered);
    EXPECT_EQ(guitest::codedFrameShown(*contact), 0);

    contact->hoverHighlight = true;
    juce::Image canvas(juce::Image::ARGB, 80, 80, true);
    {
        juce::Graphics g(canvas);
        contact->paint(g);
    }
    const juce::Colour px = canvas.getPixelAt(40, 40);
    EXPECT_EQ(px.getAlpha(), 0x44);
    EXPECT_EQ(px.getRed(), 0);
    EXPECT_EQ(px.getBlue(), 0);

    contact->mouseExit(guitest::press(*contact, 0));
    EXPECT_FALSE(contact->hovered);
    EXPECT_EQ(guitest::codedFrameShown(*contact), 0);
}
