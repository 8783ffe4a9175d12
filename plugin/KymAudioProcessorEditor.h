#pragma once

#include <array>

#include "libqor/gfx/ContactControl.h"
#include "libqor/gfx/FilmStripKnob.h"
#include "libqor/gfx/SwitchControl.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <memory>

class KymAudioProcessor;

// The plug-in's fixed 420 x 300 window: a background picture and ten film-strip
// controls. The processor's parameters are the only state; the controls write
// them from sliderValueChanged and are set back from them by
// loadParamsFromProcessor.
class KymAudioProcessorEditor : public juce::AudioProcessorEditor,
                                public juce::Slider::Listener,
                                private juce::Timer
{
public:
    // How often the editor looks for a refresh that a parameter job asked for.
    static constexpr int refreshPollMs = 30;

    explicit KymAudioProcessorEditor(KymAudioProcessor& p);
    ~KymAudioProcessorEditor() override;

    void paint(juce::Graphics& g) override;
    void resized() override;
    void sliderValueChanged(juce::Slider* slider) override;

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
    // The controls that write their own parameter, in the order both
    // directions handle them: Input bar, Level, Drive, Low, High, Blend,
    // Presence, Quality switch.
    std::array<BoundControl, 8> boundControls() const noexcept;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(KymAudioProcessorEditor)
};
