#include "plugin/KymAudioProcessor.h"
#include "plugin/KymAudioProcessorEditor.h"
#include "plugin/KymParameterTable.h"

#include "libqor/gfx/GuiTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{

::testing::Environment* const juceEnvironment = ::testing::AddGlobalTestEnvironment(new guitest::JuceEnvironment);

// The host's parameter order, from the plug-in's own table.
using namespace kym;

struct RecordingObserver : libqor::ParamObserver
{
    void notifyParamChange(libqor::Parameter* p) override { changed.push_back(p); }
    void parameterCheck(libqor::Parameter*) override {}
    std::vector<libqor::Parameter*> changed;
};

struct HostListener : juce::AudioProcessorListener
{
    void audioProcessorParameterChanged(juce::AudioProcessor*, int index, float v) override
    {
        calls.push_back({ index, v });
    }
    void audioProcessorChanged(juce::AudioProcessor*, const ChangeDetails&) override {}
    std::vector<std::pair<int, float>> calls;
};

// What the host hears, in order: "B2" a change gesture begins on host
// parameter 2, "V2" its value changes, "E2" the gesture ends. A begin on a
// parameter whose gesture is open, or an end without one, marks the record
// malformed.
struct GestureRecorder : juce::AudioProcessorListener
{
    void audioProcessorParameterChanged(juce::AudioProcessor*, int index, float v) override
    {
        add('V', index);
        lastValue = v;
    }
    void audioProcessorParameterChangeGestureBegin(juce::AudioProcessor*, int index) override
    {
        malformed |= !open.insert(index).second;
        add('B', index);
    }
    void audioProcessorParameterChangeGestureEnd(juce::AudioProcessor*, int index) override
    {
        malformed |= open.erase(index) == 0;
        add('E', index);
    }
    void audioProcessorChanged(juce::AudioProcessor*, const ChangeDetails&) override {}

    void add(char kind, int index)
    {
        if (!heard.empty())
            heard += ' ';
        heard += kind;
        heard += std::to_string(index);
    }

    std::string heard;
    std::set<int> open;
    bool malformed = false;
    float lastValue = -1.0f;
};

// The frames of `strip` whose pixels the control paints exactly.
std::vector<int> framesShown(juce::Component& c, const juce::Image& strip, int frames)
{
    const int w = c.getWidth();
    const int h = c.getHeight();
    juce::Image canvas(juce::Image::ARGB, w, h, true);
    {
        juce::Graphics g(canvas);
        c.paint(g);
    }
    std::vector<int> matches;
    for (int k = 0; k < frames; ++k)
    {
        juce::Image ref(juce::Image::ARGB, w, h, true);
        {
            juce::Graphics g(ref);
            g.drawImage(strip, 0, 0, w, h, 0, k * h, strip.getWidth(), h, false);
        }
        const juce::Image::BitmapData a(canvas, juce::Image::BitmapData::readOnly);
        const juce::Image::BitmapData b(ref, juce::Image::BitmapData::readOnly);
        bool same = true;
        for (int y = 0; y < h && same; ++y)
            same = std::memcmp(a.getLinePointer(y), b.getLinePointer(y), (size_t) (w * a.pixelStride)) == 0;
        if (same)
            matches.push_back(k);
    }
    return matches;
}

class Editor : public ::testing::Test
{
protected:
    void SetUp() override
    {
        processor = std::make_unique<KymAudioProcessor>();
        processor->setPlayConfigDetails(2, 2, 44100.0, 512);
        editor.reset(dynamic_cast<KymAudioProcessorEditor*>(processor->createEditor()));
        ASSERT_NE(editor, nullptr);
        for (auto* p : processor->parameters)
            p->AddObserver(&spy);
    }

    void TearDown() override
    {
        editor.reset();
        for (auto* p : processor->parameters)
            p->RemoveObserver(&spy);
        processor.reset();
    }

    libqor::Parameter& param(int i) { return *processor->parameters[i]; }

    void push(juce::Component& c)
    {
        c.mouseDown(guitest::press(c));
        c.mouseUp(guitest::press(c, 0));
        guitest::runPendingMessages();
    }

    void wheel(juce::Component& c)
    {
        const juce::MouseWheelDetails details { 0.0f, 0.5f, false, false, false };
        c.mouseWheelMove(guitest::press(c, 0), details);
        guitest::runPendingMessages();
    }

    void drag(juce::Slider& c, std::initializer_list<float> ys)
    {
        const juce::Point<float> start(40.0f, 40.0f);
        c.mouseDown(guitest::mouseEvent(c, juce::ModifierKeys(guitest::leftButton), start, start));
        for (const float y : ys)
            c.mouseDrag(guitest::mouseEvent(c, juce::ModifierKeys(guitest::leftButton), { 40.0f, y }, start, 1, true));
    }

    void release(juce::Slider& c)
    {
        const juce::Point<float> start(40.0f, 40.0f);
        c.mouseUp(guitest::mouseEvent(c, juce::ModifierKeys(), { 40.0f, 10.0f }, start, 1, true));
    }

    // Runs one host block, which drains the parameter jobs.
    void runBlock()
    {
        juce::AudioBuffer<float> buffer(2, 64);
        buffer.clear();
        juce::MidiBuffer midi;
        processor->processBlock(buffer, midi);
    }

    std::unique_ptr<KymAudioProcessor> processor;
    std::unique_ptr<KymAudioProcessorEditor> editor;
    RecordingObserver spy;
};

} // namespace

TEST_F(Editor, HasItsFixedSizeAndTenControlsInZOrder)
{
    EXPECT_EQ(editor->getBounds(), juce::Rectangle<int>(0, 0, 420, 300));
    ASSERT_EQ(editor->getNumChildComponents(), 10);

    struct Expected
    {
        juce::Component* control;
        juce::Rectangle<int> bounds;
    };
    const Expected expected[] = {
        { editor->inputBar.get(), { 118, 280, 184, 8 } },     { editor->levelKnob.get(), { 8, 28, 80, 80 } },
        { editor->driveKnob.get(), { 88, 28, 80, 80 } },      { editor->lowKnob.get(), { 168, 28, 80, 80 } },
        { editor->highKnob.get(), { 248, 28, 80, 80 } },      { editor->blendKnob.get(), { 328, 28, 80, 80 } },
        { editor->presenceKnob.get(), { 208, 100, 80, 80 } }, { editor->qualitySwitch.get(), { 368, 134, 32, 32 } },
        { editor->footswitch.get(), { 8, 180, 80, 80 } },     { editor->lamp.get(), { 100, 191, 27, 27 } },
    };
    for (int i = 0; i < 10; ++i)
    {
        EXPECT_EQ(editor->getChildComponent(i), expected[i].control) << "z-order " << i;
        EXPECT_EQ(expected[i].control->getBounds(), expected[i].bounds) << "control " << i;
        EXPECT_TRUE(expected[i].control->isVisible()) << "control " << i;
    }
    EXPECT_EQ(editor->inputBar->numFrames, 101);
    EXPECT_EQ(editor->levelKnob->numFrames, 81);
    EXPECT_FALSE(editor->lamp->interactive);
    EXPECT_TRUE(editor->qualitySwitch->interactive);

    // Presence lies over the bottom rows of Low and High and takes the mouse there.
    editor->setVisible(true);
    EXPECT_EQ(editor->getComponentAt(230, 104), editor->presenceKnob.get());
    EXPECT_EQ(editor->getComponentAt(230, 99), editor->lowKnob.get());
}

TEST_F(Editor, OpensWithTheDefaultParametersFrames)
{
    struct Expected
    {
        juce::Slider* control;
        const juce::Image* strip;
        int frames;
        double value;
        int frame;
    };
    const Expected expected[] = {
        { editor->inputBar.get(), &editor->barStrip, 101, 0.5000000237487257, 50 },
        { editor->levelKnob.get(), &editor->knobStrip, 81, 0.5000000237487257, 40 },
        { editor->driveKnob.get(), &editor->knobStrip, 81, 0.5000000237487257, 40 },
        { editor->lowKnob.get(), &editor->knobStrip, 81, 0.5000000237487257, 40 },
        { editor->highKnob.get(), &editor->knobStrip, 81, 0.5000000237487257, 40 },
        { editor->presenceKnob.get(), &editor->knobStrip, 81, 0.5000000237487257, 40 },
        { editor->blendKnob.get(), &editor->knobStrip, 81, 0.0, 0 },
        { editor->qualitySwitch.get(), &editor->switchStrip, 2, 0.0, 0 },
        { editor->footswitch.get(), &editor->footswitchStrip, 2, 0.0, 0 },
        { editor->lamp.get(), &editor->lampStrip, 2, 1.0, 1 },
    };
    for (const auto& e : expected)
    {
        ASSERT_TRUE(e.strip->isValid());
        EXPECT_EQ(e.control->getValue(), e.value);
        EXPECT_EQ(framesShown(*e.control, *e.strip, e.frames), std::vector<int> { e.frame });
    }
    EXPECT_TRUE(spy.changed.empty());
}

TEST_F(Editor, PaintDrawsTheBackgroundUnscaled)
{
    ASSERT_TRUE(editor->background.isValid());
    juce::Image canvas(juce::Image::ARGB, 420, 300, true);
    {
        juce::Graphics g(canvas);
        editor->paint(g);
    }
    for (auto [x, y] : { std::pair { 0, 0 }, { 419, 299 }, { 210, 150 }, { 37, 250 } })
        EXPECT_EQ(canvas.getPixelAt(x, y), editor->background.getPixelAt(x, y)) << x << "," << y;
}

TEST_F(Editor, FootswitchTogglesBypassAndTheLamp)
{
    push(*editor->footswitch);
    EXPECT_EQ(param(bypassIndex).value.load(), 1.0);
    EXPECT_EQ(editor->lamp->getValue(), 0.0);
    EXPECT_EQ(editor->footswitch->getValue(), 0.0);
    ASSERT_EQ(spy.changed.size(), 1u);

    push(*editor->footswitch);
    EXPECT_EQ(param(bypassIndex).value.load(), 0.0);
    EXPECT_EQ(editor->lamp->getValue(), 1.0);
    EXPECT_EQ(spy.changed.size(), 2u);
}

TEST_F(Editor, BypassOfHalfCountsAsOn)
{
    param(bypassIndex).value = 0.5;
    push(*editor->footswitch);
    EXPECT_EQ(param(bypassIndex).value.load(), 0.0);
    EXPECT_EQ(editor->lamp->getValue(), 1.0);
}

TEST_F(Editor, WheelOverTheFootswitchTogglesBypass)
{
    wheel(*editor->footswitch);
    EXPECT_EQ(param(bypassIndex).value.load(), 1.0);
    EXPECT_EQ(editor->lamp->getValue(), 0.0);
}

TEST_F(Editor, LampNotificationsChangeNothing)
{
    wheel(*editor->lamp); // moves only the lamp's picture
    editor->lamp->setValue(0.2, juce::sendNotificationSync);
    editor->lamp->mouseDown(guitest::press(*editor->lamp));
    guitest::runPendingMessages();
    EXPECT_TRUE(spy.changed.empty());
    EXPECT_EQ(param(bypassIndex).value.load(), 0.0);

    editor->loadParamsFromProcessor();
    EXPECT_EQ(editor->lamp->getValue(), 1.0);
}

TEST_F(Editor, QualitySwitchThreshold)
{
    struct Case
    {
        double position;
        double quality;
    };
    for (const Case c : { Case { 0.5, 1.0 }, Case { 0.499, 0.0 }, Case { 0.7, 1.0 }, Case { 0.2, 0.0 } })
    {
        editor->qualitySwitch->setValue(c.position, juce::sendNotificationSync);
        EXPECT_EQ(param(qualityIndex).value.load(), c.quality) << c.position;
    }
    push(*editor->qualitySwitch); // from 0.2 a click toggles to 1
    EXPECT_EQ(param(qualityIndex).value.load(), 1.0);
}

TEST_F(Editor, DoubleClickOnLevelSetsHalfOfItsRange)
{
    param(levelIndex).value = 8.0;
    editor->levelKnob->setValue(0.8, juce::dontSendNotification);
    editor->levelKnob->mouseDoubleClick(guitest::press(*editor->levelKnob));
    EXPECT_EQ(param(levelIndex).value.load(), 8.0); // the listeners hear it from the loop
    guitest::runPendingMessages();
    EXPECT_EQ(param(levelIndex).value.load(), 5.0000002374872565); // 10 x the held 0.5
}

TEST_F(Editor, EveryKnobWritesItsOwnParameter)
{
    const std::pair<juce::Slider*, int> knobs[] = {
        { editor->inputBar.get(), inputIndex },        { editor->levelKnob.get(), levelIndex },
        { editor->driveKnob.get(), driveIndex },       { editor->lowKnob.get(), lowIndex },
        { editor->highKnob.get(), highIndex },         { editor->blendKnob.get(), blendIndex },
        { editor->presenceKnob.get(), presenceIndex },
    };
    for (const auto& [knob, index] : knobs)
    {
        spy.changed.clear();
        knob->setValue(0.25, juce::sendNotificationSync);
        ASSERT_EQ(spy.changed.size(), 1u) << index;
        EXPECT_EQ(spy.changed[0], &param(index));
        EXPECT_EQ(param(index).value.load(), param(index).maxValue * 0.2500000118743628) << index;
    }
}

TEST_F(Editor, MovementWithin1e16StoresNothing)
{
    // Ten grid steps of Level plus less than 1e-16: the knob's 0.001 maps within 1e-16.
    const double held = 0.010000000474974513 + 5e-17;
    ASSERT_NE(held, 0.010000000474974513);
    param(levelIndex).value = held;
    editor->levelKnob->setValue(0.001, juce::sendNotificationSync);
    EXPECT_EQ(param(levelIndex).value.load(), held);
    EXPECT_TRUE(spy.changed.empty());
}

TEST_F(Editor, DragOnDriveTellsTheHost)
{
    HostListener host;
    processor->addListener(&host);
    auto& drive = *editor->driveKnob;
    const juce::Point<float> start(40.0f, 40.0f);
    drive.mouseDown(guitest::mouseEvent(drive, juce::ModifierKeys(guitest::leftButton), start, start));
    drive.mouseDrag(
        guitest::mouseEvent(drive, juce::ModifierKeys(guitest::leftButton), { 40.0f, 15.0f }, start, 1, true));
    drive.mouseUp(guitest::mouseEvent(drive, juce::ModifierKeys(), { 40.0f, 15.0f }, start, 1, true));
    processor->removeListener(&host);

    EXPECT_GT(param(driveIndex).value.load(), 5.0);
    ASSERT_FALSE(host.calls.empty());
    EXPECT_EQ(host.calls.back().first, driveIndex);
    EXPECT_EQ(host.calls.back().second, (float) param(driveIndex).GetNormalised());
}

TEST_F(Editor, LoadParamsSetsControlsSilentlyAndLeavesTheFootswitch)
{
    param(driveIndex).value = 2.5;
    param(blendIndex).value = 10.0;
    param(qualityIndex).value = 1.0;
    param(bypassIndex).value = 1.0;
    param(inputIndex).value = 2.0;
    editor->footswitch->setValue(0.7, juce::dontSendNotification);

    editor->loadParamsFromProcessor();
    guitest::runPendingMessages();

    EXPECT_EQ(editor->driveKnob->getValue(), 0.2500000118743628);
    EXPECT_EQ(editor->blendKnob->getValue(), 1.0);
    EXPECT_EQ(editor->qualitySwitch->getValue(), 1.0);
    EXPECT_EQ(editor->inputBar->getValue(), 1.0);
    EXPECT_EQ(editor->lamp->getValue(), 0.0);
    EXPECT_EQ(editor->footswitch->getValue(), 0.7000000332482159);
    EXPECT_TRUE(spy.changed.empty());
    EXPECT_EQ(param(driveIndex).value.load(), 2.5);
}

TEST_F(Editor, HostAutomationReachesTheOpenEditorOnTheMessageThread)
{
    processor->getParameters()[driveIndex]->setValue(0.25f);
    EXPECT_EQ(editor->driveKnob->getValue(), 0.5000000237487257); // only the message thread moves controls
    runBlock();
    EXPECT_EQ(editor->driveKnob->getValue(), 0.5000000237487257); // the job only asks again
    guitest::runMessagesFor(3 * KymAudioProcessorEditor::refreshPollMs);
    EXPECT_EQ(editor->driveKnob->getValue(), 0.2500000118743628);
}

TEST_F(Editor, ARefreshAfterTheEditorClosedReachesNothing)
{
    editor.reset();
    processor->getParameters()[driveIndex]->setValue(0.25f);
    runBlock();
    guitest::runMessagesFor(3 * KymAudioProcessorEditor::refreshPollMs);

    // A new editor starts from the parameters.
    editor.reset(dynamic_cast<KymAudioProcessorEditor*>(processor->createEditor()));
    EXPECT_EQ(editor->driveKnob->getValue(), 0.2500000118743628);
}

TEST_F(Editor, EveryKindOfEditIsOneGestureAroundItsValues)
{
    // Away from the 0.5 that a double-click restores.
    param(lowIndex).value = 8.0;
    editor->lowKnob->setValue(0.8, juce::dontSendNotification);

    struct Case
    {
        const char* edit;
        std::function<void()> run;
        const char* heard;
    };
    const Case cases[] = {
        { "drag on Drive",
          [&] {
              drag(*editor->driveKnob, { 30.0f, 20.0f });
              release(*editor->driveKnob);
          },
          "B2 V2 V2 E2" },
        { "drag on the Input bar",
          [&] {
              drag(*editor->inputBar, { 30.0f });
              release(*editor->inputBar);
          },
          "B0 V0 E0" },
        { "press on Level without moving", [&] { push(*editor->levelKnob); }, "B1 E1" },
        { "wheel on Level", [&] { wheel(*editor->levelKnob); }, "B1 V1 E1" },
        { "double-click reset on Low",
          [&] {
              editor->lowKnob->mouseDoubleClick(guitest::press(*editor->lowKnob));
              guitest::runPendingMessages();
          },
          "B3 V3 E3" },
        { "Quality switch click", [&] { push(*editor->qualitySwitch); }, "B8 V8 E8" },
        { "footswitch press", [&] { push(*editor->footswitch); }, "B7 V7 E7" },
        { "wheel over the footswitch", [&] { wheel(*editor->footswitch); }, "B7 V7 E7" },
        { "wheel over the lamp", [&] { wheel(*editor->lamp); }, "" },
    };
    for (const Case& c : cases)
    {
        GestureRecorder host;
        processor->addListener(&host);
        c.run();
        processor->removeListener(&host);

        EXPECT_EQ(host.heard, c.heard) << c.edit;
        EXPECT_FALSE(host.malformed) << c.edit;
        EXPECT_TRUE(host.open.empty()) << c.edit;
        if (host.heard.find('V') != std::string::npos)
        {
            const int index = host.heard[1] - '0';
            EXPECT_EQ(host.lastValue, processor->getParameters()[index]->getValue()) << c.edit;
        }
    }
}

TEST_F(Editor, GesturesStayBalancedWhateverTheMouseDoes)
{
    GestureRecorder host;
    processor->addListener(&host);

    // A release the knob never saw pressed.
    release(*editor->driveKnob);
    EXPECT_EQ(host.heard, "");

    // A reset whose notification arrives while the next drag is open joins that drag.
    param(driveIndex).value = 8.0;
    editor->driveKnob->setValue(0.8, juce::dontSendNotification);
    editor->driveKnob->mouseDoubleClick(guitest::press(*editor->driveKnob));
    drag(*editor->driveKnob, {});
    guitest::runPendingMessages();
    release(*editor->driveKnob);
    EXPECT_EQ(host.heard, "B2 V2 E2");
    EXPECT_EQ(param(driveIndex).value.load(), 5.0000002374872565);

    // The window closes mid-drag: the editor ends what the controls cannot.
    host.heard.clear();
    drag(*editor->levelKnob, { 30.0f });
    editor.reset();
    EXPECT_EQ(host.heard, "B1 V1 E1");

    processor->removeListener(&host);
    EXPECT_FALSE(host.malformed);
    EXPECT_TRUE(host.open.empty());
}

TEST_F(Editor, ARefreshDuringADragLeavesTheDragAlone)
{
    GestureRecorder host;
    processor->addListener(&host);
    auto& knob = *editor->driveKnob;

    drag(knob, { 15.0f }); // 25 of the 250 pixels of a full turn
    EXPECT_NEAR(knob.getValue(), 0.6, 1e-6);

    // The host writes Drive meanwhile; the refresh shows it and writes nothing.
    processor->getParameters()[driveIndex]->setValue(0.2f);
    const double hostValue = param(driveIndex).value.load();
    guitest::runMessagesFor(3 * KymAudioProcessorEditor::refreshPollMs);
    EXPECT_NEAR(knob.getValue(), 0.2, 1e-6);
    EXPECT_EQ(param(driveIndex).value.load(), hostValue);
    EXPECT_EQ(host.heard, "B2 V2 V2");

    // The drag goes on from where it started, inside the same gesture.
    knob.mouseDrag(guitest::mouseEvent(knob, juce::ModifierKeys(guitest::leftButton), { 40.0f, 10.0f },
                                       { 40.0f, 40.0f }, 1, true));
    EXPECT_NEAR(knob.getValue(), 0.62, 1e-6);
    EXPECT_EQ(param(driveIndex).value.load(), 10.0 * knob.getValue());
    release(knob);
    processor->removeListener(&host);

    EXPECT_EQ(host.heard, "B2 V2 V2 V2 E2");
    EXPECT_FALSE(host.malformed);
}

TEST_F(Editor, FollowsStateLoadsAndHostWritesWithNoAudio)
{
    // A record from another instance, loaded with the transport stopped.
    KymAudioProcessor source;
    source.parameters[driveIndex]->SetNormalised(0.25);
    source.parameters[blendIndex]->SetNormalised(1.0);
    source.parameters[qualityIndex]->SetNormalised(1.0);
    source.parameters[bypassIndex]->SetNormalised(1.0);
    juce::MemoryBlock record;
    source.getStateInformation(record);

    processor->setStateInformation(record.getData(), (int) record.getSize());
    guitest::runMessagesFor(3 * KymAudioProcessorEditor::refreshPollMs);
    EXPECT_EQ(editor->driveKnob->getValue(), 0.2500000118743628);
    EXPECT_EQ(editor->blendKnob->getValue(), 1.0);
    EXPECT_EQ(editor->qualitySwitch->getValue(), 1.0);
    EXPECT_EQ(editor->lamp->getValue(), 0.0);

    // Host writes, on the message thread and on a thread of the host's own.
    processor->getParameters()[levelIndex]->setValue(0.75f);
    std::thread hostThread([this] { processor->getParameters()[highIndex]->setValue(0.125f); });
    hostThread.join();
    guitest::runMessagesFor(3 * KymAudioProcessorEditor::refreshPollMs);
    EXPECT_NEAR(editor->levelKnob->getValue(), 0.75, 1e-6);
    EXPECT_NEAR(editor->highKnob->getValue(), 0.125, 1e-6);

    // The refreshes wrote nothing back.
    EXPECT_EQ(param(driveIndex).GetNormalised(), 0.25);
    EXPECT_EQ(param(levelIndex).value.load(), 10.0 * (double) 0.75f);
}
