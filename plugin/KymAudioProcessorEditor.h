#pragma once

#include <array>

#include "libqor/gfx/ContactControl.h"
#include "libqor/gfx/FilmStripKnob.h"
#include "libqor/gfx/SwitchControl.h"
#include "plugin/KymParameterTable.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <memory>

class KymAudioProcessor;

// The plug-in's fixed 420 x 300 window: a background picture and ten film-strip
// controls. The processor's parameters are the only state; the controls write
// them from sliderValueChanged and are set back from them by
// loadParamsFromProcessor.
//
// Every edit reaches the host inside a change gesture on the host parameter
// of the control's index, so hosts can record touch automation and group an
// edit for undo: a drag from mouse down to mouse up, a wheel step (the slider
// brackets both with its drag start and end), and any other change (a
// double-click reset, a switch or footswitch click, which the controls
// report asynchronously) as a gesture of its own. Gestures on one parameter
// never nest, and those still open when the editor goes are ended.
class KymAudioProcessorEditor : public juce::AudioProcessorEditor, public juce::Slider::Listener, private juce::Timer
{
public:
    // How often the editor looks for a refresh that a parameter job asked for.
    static constexpr int refreshPollMs = 30;

    explicit KymAudioProcessorEditor(KymAudioProcessor& p);
    ~KymAudioProcessorEditor() override;

    void paint(juce::Graphics& g) override;
    void resized() override;
    void sliderValueChanged(juce::Slider* slider) override;
    void sliderDragStarted(juce::Slider* slider) override;
    void sliderDragEnded(juce::Slider* slider) override;

    // Sets every control from its parameter without notification (message thread).
    void loadParamsFromProcessor();

    KymAudioProcessor* kymProcessor;

    juce::Image background;
    juce::Image knobStrip;
    juce::Image barStrip;
    juce::Image switchStrip;
    juce::Image lampStrip;
    juce::Image footswitchStrip;

    // Deleted in reverse declaration order (footswitch first, Input bar last).
    std::unique_ptr<libqor::gfx::FilmStripKnob> inputBar;
    std::unique_ptr<libqor::gfx::FilmStripKnob> levelKnob;
    std::unique_ptr<libqor::gfx::FilmStripKnob> driveKnob;
    std::unique_ptr<libqor::gfx::FilmStripKnob> lowKnob;
    std::unique_ptr<libqor::gfx::FilmStripKnob> highKnob;
    std::unique_ptr<libqor::gfx::FilmStripKnob> blendKnob;
    std::unique_ptr<libqor::gfx::FilmStripKnob> presenceKnob;
    std::unique_ptr<libqor::gfx::SwitchControl> qualitySwitch;
    std::unique_ptr<libqor::gfx::SwitchControl> lamp;
    std::unique_ptr<libqor::gfx::ContactControl> footswitch;

private:
    struct BoundControl
    {
        juce::Slider* control;
        int parameterIndex;
    };

    void timerCallback() override;
    void show(juce::Slider& control);
    // The parameter a control writes (the footswitch: Bypass), or -1 (the lamp).
    int parameterIndexOf(const juce::Slider* slider) const noexcept;
    void writeParameter(const juce::Slider& slider, int index);
    // Counted, so a change inside a drag joins the drag's gesture: the host
    // hears the begin when the count leaves 0 and the end when it is back.
    void openGesture(int index);
    void closeGesture(int index);
    // The controls that write their own parameter, in the order both
    // directions handle them: Input bar, Level, Drive, Low, High, Blend,
    // Presence, Quality switch.
    std::array<BoundControl, 8> boundControls() const noexcept;

    std::array<int, kym::parameterCount> gestureDepth {};

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(KymAudioProcessorEditor)
};
