#include "libqor/gfx/FilmStripKnob.h"

#include "libqor/gfx/GuiTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using libqor::gfx::FilmStripKnob;

namespace
{

struct CountingListener : juce::Slider::Listener
{
    void sliderValueChanged(juce::Slider* s) override { values.push_back(s->getValue()); }
    std::vector<double> values;
};

struct RecordingObserver : libqor::ParamObserver
{
    void notifyParamChange(libqor::Parameter* p) override { values.push_back(p->value.load()); }
    void parameterCheck(libqor::Parameter*) override {}
    std::vector<double> values;
};

// A continuous 0..10 parameter at 5, like the editor's knobs.
std::unique_ptr<libqor::Parameter> makeKnobParameter()
{
    auto p = std::make_unique<libqor::Parameter>();
    p->InitDouble("KYM_Drive", "Drive", 5.0, 0.0, 10.0, 0.0001, "", 1.0);
    return p;
}

std::unique_ptr<FilmStripKnob> makeKnob(juce::Slider::Listener* l, int frames, int w = 20, int h = 10)
{
    juce::Image strip = guitest::codedStrip(w, h, frames);
    return std::unique_ptr<FilmStripKnob>(FilmStripKnob::addKnob(l, 3, 4, strip, frames));
}

} // namespace

TEST(FilmStripKnob, AddKnobGivesTheCommonSetUp)
{
    CountingListener listener;
    juce::Image strip = guitest::codedStrip(80, 80, 81);
    std::unique_ptr<FilmStripKnob> knob(FilmStripKnob::addKnob(&listener, 88, 28, strip, 81));

    EXPECT_EQ(knob->getBounds(), juce::Rectangle<int>(88, 28, 80, 80));
    EXPECT_EQ(knob->frameWidth, 80);
    EXPECT_EQ(knob->frameHeight, 80);
    EXPECT_EQ(knob->numFrames, 81);
    EXPECT_EQ(knob->getSliderStyle(), juce::Slider::RotaryVerticalDrag);
    EXPECT_EQ(knob->getTextBoxPosition(), juce::Slider::NoTextBox);
    EXPECT_EQ(knob->getMinimum(), 0.0);
    EXPECT_EQ(knob->getMaximum(), 1.0);
    EXPECT_EQ(knob->getInterval(), 0.0010000000474974513);
    EXPECT_EQ(knob->getValue(), 0.0);
    EXPECT_TRUE(knob->getName().isEmpty());
    EXPECT_FALSE(knob->isVisible());
    EXPECT_EQ(knob->getParentComponent(), nullptr);
    EXPECT_EQ(knob->boundParameter, nullptr);
    EXPECT_FALSE(knob->customMenuEnabled);
    EXPECT_EQ(knob->customMenu, nullptr);
    EXPECT_FALSE(knob->onMenuResult);
    EXPECT_EQ(knob->defaultValue, 0.5f);
    EXPECT_TRUE(knob->doubleClickResets);
    EXPECT_TRUE(knob->interactive);
    EXPECT_FALSE(knob->menuEnabled);

    knob->setValue(0.25, juce::sendNotificationSync);
    ASSERT_EQ(listener.values.size(), 1u);
}

TEST(FilmStripKnob, InvalidStripGivesZeroSizeAndDrawsNothing)
{
    juce::Image none;
    std::unique_ptr<FilmStripKnob> knob(FilmStripKnob::addKnob(nullptr, 5, 6, none, 81));
    EXPECT_EQ(knob->getBounds(), juce::Rectangle<int>(5, 6, 0, 0));
    EXPECT_EQ(knob->frameWidth, 0);
    EXPECT_EQ(knob->frameHeight, 0);
    EXPECT_EQ(guitest::codedFrameShown(*knob), -1);
}

TEST(FilmStripKnob, ZeroFrameCountDoesNotDivideByZero)
{
    juce::Image strip = guitest::codedStrip(10, 10, 3);
    std::unique_ptr<FilmStripKnob> knob(FilmStripKnob::addKnob(nullptr, 0, 0, strip, 0));
    EXPECT_EQ(knob->frameHeight, 0);
    EXPECT_EQ(knob->getHeight(), 0);
    EXPECT_EQ(guitest::codedFrameShown(*knob), -1);
}

// The slider grid: interval * floor(v / interval + 0.5), limited to 0..1.
struct GridCase
{
    double set;
    double held;
};

class SliderGrid : public ::testing::TestWithParam<GridCase>
{};

TEST_P(SliderGrid, HoldsValuesOnTheFloatGrid)
{
    auto knob = makeKnob(nullptr, 81);
    knob->setValue(GetParam().set, juce::dontSendNotification);
    EXPECT_EQ(knob->getValue(), GetParam().held);
}

INSTANTIATE_TEST_SUITE_P(Values, SliderGrid,
                         ::testing::Values(GridCase { 0.5, 0.5000000237487257 }, GridCase { 0.25, 0.2500000118743628 },
                                           GridCase { 0.9996, 1.0 }, GridCase { 0.9995000474737026, 1.0 },
                                           GridCase { 0.0004, 0.0 }, GridCase { 0.0005, 0.0 },
                                           GridCase { 0.0006, 0.0010000000474974513 }, GridCase { -3.0, 0.0 },
                                           GridCase { 7.0, 1.0 }));

struct FrameCase
{
    int frames;
    double value;
    int frame;
};

class FrameRule : public ::testing::TestWithParam<FrameCase>
{};

TEST_P(FrameRule, PaintsTheFrameForTheValue)
{
    const FrameCase c = GetParam();
    auto knob = makeKnob(nullptr, c.frames);
    knob->setValue(c.value, juce::dontSendNotification);
    EXPECT_EQ(guitest::codedFrameShown(*knob), c.frame);
}

INSTANTIATE_TEST_SUITE_P(Strips, FrameRule,
                         ::testing::Values(FrameCase { 81, 0.0, 0 }, FrameCase { 81, 0.5, 40 },
                                           FrameCase { 81, 1.0, 80 }, FrameCase { 81, 0.9996, 80 },
                                           FrameCase { 81, 0.0004, 0 }, FrameCase { 81, 0.006, 0 }, // 0.48 of a frame
                                           FrameCase { 81, 0.007, 1 },                              // 0.56 of a frame
                                           FrameCase { 101, 0.5, 50 }, FrameCase { 101, 1.0, 100 },
                                           FrameCase { 2, 0.499, 0 }, FrameCase { 2, 0.5, 1 }, FrameCase { 2, 1.0, 1 },
                                           FrameCase { 1, 0.7, 0 }));

TEST(FilmStripKnob, PaintDrawsOneFrameUnscaledAtTheOrigin)
{
    auto knob = makeKnob(nullptr, 5, 6, 4);
    knob->setValue(0.5, juce::dontSendNotification); // frame 2
    juce::Image canvas(juce::Image::ARGB, 8, 6, true);
    {
        juce::Graphics g(canvas);
        knob->paint(g);
    }
    EXPECT_EQ(canvas.getPixelAt(0, 0).getRed(), 2);
    EXPECT_EQ(canvas.getPixelAt(5, 3).getRed(), 2);
    EXPECT_EQ(canvas.getPixelAt(6, 0).getAlpha(), 0); // beyond the frame's width
    EXPECT_EQ(canvas.getPixelAt(0, 4).getAlpha(), 0); // beyond the frame's height
}

TEST(FilmStripKnob, VerticalDragMovesTheValueAndNotifiesAtOnce)
{
    CountingListener listener;
    auto knob = makeKnob(&listener, 81, 80, 80);
    knob->setValue(0.5, juce::dontSendNotification);
    const juce::Point<float> start(40.0f, 40.0f);
    knob->mouseDown(guitest::mouseEvent(*knob, juce::ModifierKeys(guitest::leftButton), start, start));
    knob->mouseDrag(
        guitest::mouseEvent(*knob, juce::ModifierKeys(guitest::leftButton), { 40.0f, 15.0f }, start, 1, true));
    knob->mouseUp(guitest::mouseEvent(*knob, juce::ModifierKeys(), { 40.0f, 15.0f }, start, 1, true));

    EXPECT_GT(knob->getValue(), 0.55);
    ASSERT_FALSE(listener.values.empty());
    EXPECT_EQ(listener.values.back(), knob->getValue());
}

// With interactive false, or inside a disabled parent, no mouse rule moves the value.
TEST(FilmStripKnob, BlockedKnobIgnoresDragWheelAndDoubleClick)
{
    for (int blockedBy = 0; blockedBy < 2; ++blockedBy)
    {
        CountingListener listener;
        juce::Component parent;
        auto knob = makeKnob(&listener, 81, 80, 80);
        parent.addChildComponent(*knob);
        knob->setValue(0.3, juce::dontSendNotification);
        if (blockedBy == 0)
            knob->interactive = false;
        else
            parent.setEnabled(false);

        const juce::Point<float> start(40.0f, 40.0f);
        knob->mouseDown(guitest::mouseEvent(*knob, juce::ModifierKeys(guitest::leftButton), start, start));
        knob->mouseDrag(
            guitest::mouseEvent(*knob, juce::ModifierKeys(guitest::leftButton), { 40.0f, 0.0f }, start, 1, true));
        knob->mouseUp(guitest::mouseEvent(*knob, juce::ModifierKeys(), { 40.0f, 0.0f }, start, 1, true));
        if (blockedBy == 0)
        {
            juce::MouseWheelDetails wheel { 0.0f, 0.5f, false, false, false };
            knob->mouseWheelMove(guitest::press(*knob, 0), wheel);
            knob->mouseDoubleClick(guitest::press(*knob));
        }
        guitest::runPendingMessages();

        EXPECT_EQ(knob->getValue(), 0.3000000142492354) << "blocked by " << blockedBy;
        EXPECT_TRUE(listener.values.empty()) << "blocked by " << blockedBy;
    }
}

TEST(FilmStripKnob, WheelStepNotifiesAtOnce)
{
    CountingListener listener;
    auto knob = makeKnob(&listener, 81);
    juce::MouseWheelDetails wheel { 0.0f, 0.5f, false, false, false };
    knob->mouseWheelMove(guitest::press(*knob, 0), wheel);
    EXPECT_GT(knob->getValue(), 0.0);
    EXPECT_EQ(listener.values.size(), 1u);
}

TEST(FilmStripKnob, DoubleClickResetsToHalfWithAsynchronousListeners)
{
    CountingListener listener;
    auto p = makeKnobParameter(); // outlives the knob bound to it
    auto knob = makeKnob(&listener, 81);
    p->value = 1.0;
    knob->setRelativeParameter(p.get(), false);

    knob->mouseDoubleClick(guitest::press(*knob));
    // valueChanged ran at once and wrote the bound parameter; listeners wait for the loop.
    EXPECT_EQ(knob->getValue(), 0.5000000237487257);
    EXPECT_EQ(p->value.load(), 5.0000002374872565); // 10 x the held 0.5
    EXPECT_TRUE(listener.values.empty());
    guitest::runPendingMessages();
    ASSERT_EQ(listener.values.size(), 1u);
    EXPECT_EQ(listener.values[0], 0.5000000237487257);
}

TEST(FilmStripKnob, DoubleClickWithoutResetDoesNothing)
{
    CountingListener listener;
    auto knob = makeKnob(&listener, 81);
    knob->doubleClickResets = false;
    knob->mouseDoubleClick(guitest::press(*knob));
    guitest::runPendingMessages();
    EXPECT_EQ(knob->getValue(), 0.0);
    EXPECT_TRUE(listener.values.empty());
}

TEST(FilmStripKnob, RightClickWithoutCustomMenuLeavesValueAlone)
{
    CountingListener listener;
    auto knob = makeKnob(&listener, 81, 80, 80);
    knob->setValue(0.4, juce::dontSendNotification);
    int results = 0;
    knob->onMenuResult = [&results](int) { ++results; };
    knob->mouseDown(guitest::press(*knob, guitest::rightButton));
    knob->mouseUp(guitest::press(*knob, 0));
    guitest::runPendingMessages();
    EXPECT_EQ(results, 0);
    EXPECT_EQ(juce::ModalComponentManager::getInstance()->getNumModalComponents(), 0);
    EXPECT_EQ(knob->getValue(), 0.4000000189989805);
}

// A knob that counts the notifications it hears as an observer.
struct ListeningKnob : FilmStripKnob
{
    ListeningKnob() : FilmStripKnob(guitest::codedStrip(20, 10, 81), 81) { setUpFilmStrip(*this, nullptr, 0, 0); }
    void notifyParamChange(libqor::Parameter*) override { ++heard; }
    int heard = 0;
};

TEST(EditableControl, UpdateParameterWritesTheBoundParameterSkippingItself)
{
    auto p = makeKnobParameter();
    auto knob = std::make_unique<ListeningKnob>();
    RecordingObserver before;
    RecordingObserver after;
    p->AddObserver(&before);
    knob->setRelativeParameter(p.get(), true);
    p->AddObserver(&after);
    ASSERT_EQ(p->observers.size(), 3);

    knob->setValue(0.25, juce::dontSendNotification);
    knob->updateParameter();
    EXPECT_EQ(p->value.load(), 2.5000001187436283); // 10 x the held 0.25
    EXPECT_EQ(before.values.size(), 1u);
    EXPECT_EQ(after.values.size(), 1u);
    EXPECT_EQ(knob->heard, 0);

    // Another writer is heard by the knob as by everyone else.
    p->SetNormalised(0.75);
    EXPECT_EQ(knob->heard, 1);

    knob.reset(); // the destructor unregisters the knob
    EXPECT_EQ(p->observers.size(), 2);
}

TEST(EditableControl, MovementWithin1e16StoresNothing)
{
    auto p = std::make_unique<libqor::Parameter>();
    p->InitDouble("unit", "Unit", 0.0, 0.0, 1.0, 0.0001, "", 1.0);
    auto knob = makeKnob(nullptr, 81);
    RecordingObserver spy;
    p->AddObserver(&spy);
    knob->setRelativeParameter(p.get(), false);

    // Near 0.001 doubles are close enough to differ by less than 1e-16.
    const double held = 0.0010000000474974513 + 5e-17;
    ASSERT_NE(held, 0.0010000000474974513);
    p->value = held;
    knob->setValue(0.001, juce::sendNotificationSync);
    EXPECT_EQ(p->value.load(), held);
    EXPECT_TRUE(spy.values.empty());

    knob->setValue(0.002, juce::sendNotificationSync);
    EXPECT_EQ(spy.values.size(), 1u);
}

TEST(EditableControl, UnboundOrNullBindingWritesNothing)
{
    auto knob = makeKnob(nullptr, 81);
    knob->setRelativeParameter(nullptr, true);
    EXPECT_EQ(knob->boundParameter, nullptr);
    knob->setValue(0.7, juce::sendNotificationSync);
    knob->updateParameter();
    EXPECT_EQ(knob->getValue(), 0.7000000332482159);
}

TEST(EditableControl, NotifyParamChangeDoesNotFollowTheParameter)
{
    auto p = makeKnobParameter();
    auto knob = makeKnob(nullptr, 81);
    knob->setRelativeParameter(p.get(), true);
    p->SetNormalised(0.9);
    EXPECT_EQ(knob->getValue(), 0.0);
}

TEST(EditableControl, ParameterCheckMovesAContinuousBoundControlAndWritesBack)
{
    auto p = makeKnobParameter();
    auto knob = makeKnob(nullptr, 81);
    p->value = 2.5;
    knob->setRelativeParameter(p.get(), false);

    knob->parameterCheck(p.get());
    EXPECT_EQ(knob->getValue(), 0.2500000118743628);
    // valueChanged wrote the snapped position back.
    EXPECT_EQ(p->value.load(), 2.5000001187436283);
}

TEST(EditableControl, ParameterCheckIgnoresOtherAndNonContinuousParameters)
{
    auto bound = std::make_unique<libqor::Parameter>();
    bound->InitBool("KYM_Bypass", "Bypass", "");
    auto knob = makeKnob(nullptr, 81);
    bound->value = 1.0;
    knob->setRelativeParameter(bound.get(), false);
    knob->parameterCheck(bound.get());
    EXPECT_EQ(knob->getValue(), 0.0);

    auto other = makeKnobParameter();
    knob->parameterCheck(other.get());
    knob->parameterCheck(nullptr);
    EXPECT_EQ(knob->getValue(), 0.0);
}
