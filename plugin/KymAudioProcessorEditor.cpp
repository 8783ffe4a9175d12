#include "plugin/KymAudioProcessorEditor.h"

#include "plugin/KymAudioProcessor.h"

#include "BinaryData.h"

#include <utility>

namespace
{

using kym::blendIndex;
using kym::bypassIndex;
using kym::driveIndex;
using kym::highIndex;
using kym::inputIndex;
using kym::levelIndex;
using kym::lowIndex;
using kym::presenceIndex;
using kym::qualityIndex;

constexpr int editorWidth = 420;
constexpr int editorHeight = 300;

} // namespace

KymAudioProcessorEditor::KymAudioProcessorEditor(KymAudioProcessor& p)
    : juce::AudioProcessorEditor(&p), kymProcessor(&p)
{
    using libqor::gfx::ContactControl;
    using libqor::gfx::EditableControl;
    using libqor::gfx::FilmStripKnob;
    using libqor::gfx::SwitchControl;

    setBounds(0, 0, editorWidth, editorHeight);

    background = juce::ImageCache::getFromMemory(BinaryData::background_png, BinaryData::background_pngSize);
    knobStrip = juce::ImageCache::getFromMemory(BinaryData::knob_png, BinaryData::knob_pngSize);
    barStrip = juce::ImageCache::getFromMemory(BinaryData::bar_png, BinaryData::bar_pngSize);
    switchStrip = juce::ImageCache::getFromMemory(BinaryData::switch_png, BinaryData::switch_pngSize);
    footswitchStrip = juce::ImageCache::getFromMemory(BinaryData::footswitch_png, BinaryData::footswitch_pngSize);
    lampStrip = juce::ImageCache::getFromMemory(BinaryData::lamp_png, BinaryData::lamp_pngSize);

    // Creation order is z-order: a later control lies above the earlier ones.
    inputBar.reset(FilmStripKnob::addKnob(this, 118, 280, barStrip, 101));
    show(*inputBar);
    levelKnob.reset(FilmStripKnob::addKnob(this, 8, 28, knobStrip, 81));
    show(*levelKnob);
    driveKnob.reset(FilmStripKnob::addKnob(this, 88, 28, knobStrip, 81));
    show(*driveKnob);
    lowKnob.reset(FilmStripKnob::addKnob(this, 168, 28, knobStrip, 81));
    show(*lowKnob);
    highKnob.reset(FilmStripKnob::addKnob(this, 248, 28, knobStrip, 81));
    show(*highKnob);
    blendKnob.reset(FilmStripKnob::addKnob(this, 328, 28, knobStrip, 81));
    show(*blendKnob);
    // Overlaps the bottom rows of Low and High and takes the mouse there.
    presenceKnob.reset(FilmStripKnob::addKnob(this, 208, 100, knobStrip, 81));
    show(*presenceKnob);
    qualitySwitch.reset(SwitchControl::addSwitch(this, 368, 134, switchStrip));
    show(*qualitySwitch);
    footswitch = std::make_unique<ContactControl>(footswitchStrip);
    EditableControl::setUpFilmStrip(*footswitch, this, 8, 180);
    show(*footswitch);
    lamp.reset(SwitchControl::addSwitch(this, 100, 191, lampStrip));
    show(*lamp);

    lamp->setValue(1.0, juce::dontSendNotification);
    lamp->interactive = false;

    // createEditor sets the controls from the parameters once construction is done.
    startTimer(refreshPollMs);
}

KymAudioProcessorEditor::~KymAudioProcessorEditor()
{
    stopTimer();
    // A control deleted mid-drag sends no drag end: close what is still open.
    for (int index = 0; index < kym::parameterCount; ++index)
        if (std::exchange(gestureDepth[(size_t) index], 0) > 0)
            if (auto* slot = kymProcessor->automationSlots[index])
                slot->endChangeGesture();
    footswitch.reset();
    lamp.reset();
    qualitySwitch.reset();
    presenceKnob.reset();
    blendKnob.reset();
    highKnob.reset();
    lowKnob.reset();
    driveKnob.reset();
    levelKnob.reset();
    inputBar.reset();
    // The images are released after this, footswitch strip first, background last.
}

void KymAudioProcessorEditor::show(juce::Slider& control)
{
    control.setVisible(true);
    addChildComponent(control, -1);
}

void KymAudioProcessorEditor::paint(juce::Graphics& g)
{
    if (background.isValid())
        g.drawImageAt(background, 0, 0, false);
}

void KymAudioProcessorEditor::resized() {}

std::array<KymAudioProcessorEditor::BoundControl, 8> KymAudioProcessorEditor::boundControls() const noexcept
{
    return { { { inputBar.get(), inputIndex },
               { levelKnob.get(), levelIndex },
               { driveKnob.get(), driveIndex },
               { lowKnob.get(), lowIndex },
               { highKnob.get(), highIndex },
               { blendKnob.get(), blendIndex },
               { presenceKnob.get(), presenceIndex },
               { qualitySwitch.get(), qualityIndex } } };
}

int KymAudioProcessorEditor::parameterIndexOf(const juce::Slider* slider) const noexcept
{
    for (const BoundControl& bound : boundControls())
        if (slider == bound.control)
            return bound.parameterIndex;
    if (slider == footswitch.get())
        return bypassIndex;
    return -1;
}

void KymAudioProcessorEditor::openGesture(int index)
{
    if (gestureDepth[(size_t) index]++ == 0)
        if (auto* slot = kymProcessor->automationSlots[index])
            slot->beginChangeGesture();
}

void KymAudioProcessorEditor::closeGesture(int index)
{
    // An end without a start (a mouse-up the control never saw go down) is dropped.
    if (gestureDepth[(size_t) index] == 0)
        return;
    if (--gestureDepth[(size_t) index] == 0)
        if (auto* slot = kymProcessor->automationSlots[index])
            slot->endChangeGesture();
}

void KymAudioProcessorEditor::sliderDragStarted(juce::Slider* slider)
{
    const int index = parameterIndexOf(slider);
    if (index >= 0)
        openGesture(index);
}

void KymAudioProcessorEditor::sliderDragEnded(juce::Slider* slider)
{
    const int index = parameterIndexOf(slider);
    if (index >= 0)
        closeGesture(index);
}

void KymAudioProcessorEditor::sliderValueChanged(juce::Slider* slider)
{
    // The lamp only shows Bypass; its notifications change nothing.
    const int index = parameterIndexOf(slider);
    if (index < 0)
        return;

    // Inside a drag this only deepens the drag's gesture; otherwise the
    // change is a gesture of its own.
    openGesture(index);
    writeParameter(*slider, index);
    closeGesture(index);
}

void KymAudioProcessorEditor::writeParameter(const juce::Slider& slider, int index)
{
    if (&slider != footswitch.get())
    {
        kymProcessor->parameters[index]->SetNormalised(slider.getValue());
        return;
    }

    // Every push toggles Bypass, whatever the contact's own value.
    libqor::Parameter& bypass = *kymProcessor->parameters[bypassIndex];
    const bool wasOn = bypass.value.load() >= 0.5;
    double target = wasOn ? 0.0 : 1.0;
    if (target < bypass.minValue)
        target = bypass.minValue;
    else if (target > bypass.maxValue)
        target = bypass.maxValue;
    bypass.ApplyValue(target);
    // Show the new state at once, before the refresh.
    lamp->setValue(wasOn ? 1.0 : 0.0, juce::dontSendNotification);
}

void KymAudioProcessorEditor::loadParamsFromProcessor()
{
    for (const BoundControl& bound : boundControls())
        bound.control->setValue(kymProcessor->parameters[bound.parameterIndex]->GetNormalised(),
                                juce::dontSendNotification);
    lamp->setValue(1.0 - kymProcessor->parameters[bypassIndex]->GetNormalised(), juce::dontSendNotification);
}

void KymAudioProcessorEditor::timerCallback()
{
    if (kymProcessor->consumeEditorRefreshRequest())
        loadParamsFromProcessor();
}
