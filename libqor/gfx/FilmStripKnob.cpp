#include "libqor/gfx/FilmStripKnob.h"

namespace libqor::gfx
{

FilmStripKnob* FilmStripKnob::addKnob(juce::Slider::Listener* listener, int x, int y, juce::Image& strip, int numFrames)
{
    auto* knob = new FilmStripKnob(strip, numFrames);
    setUpFilmStrip(*knob, listener, x, y);
    return knob;
}

FilmStripKnob::FilmStripKnob(const juce::Image& strip, int frames) : EditableControl(strip, frames) {}

FilmStripKnob::~FilmStripKnob()
{
    // The custom menu belongs to whoever set it.
    customMenu = nullptr;
}

void FilmStripKnob::visibilityChanged() {}
void FilmStripKnob::startedDragging() {}
void FilmStripKnob::stoppedDragging() {}
void FilmStripKnob::mouseEnter(const juce::MouseEvent&) {}

void FilmStripKnob::mouseDrag(const juce::MouseEvent& e)
{
    if (interactive && isEnabled())
        juce::Slider::mouseDrag(e);
}

void FilmStripKnob::mouseDoubleClick(const juce::MouseEvent&)
{
    if (interactive && doubleClickResets)
        setValue(defaultValue, juce::sendNotificationAsync);
}

void FilmStripKnob::mouseDown(const juce::MouseEvent& e)
{
    juce::Slider::mouseDown(e);
    AutomationControl::mouseDown(e, this);

    if (e.mods.testFlags(popupClickMask) && customMenuEnabled && customMenu != nullptr)
    {
        // Asynchronous in place of a modal loop; a knob deleted meanwhile hears nothing.
        juce::Component::SafePointer<FilmStripKnob> self(this);
        customMenu->showMenuAsync(juce::PopupMenu::Options(), [self](int r) {
            if (self != nullptr && self->onMenuResult)
                self->onMenuResult(r);
        });
    }
}

void FilmStripKnob::mouseUp(const juce::MouseEvent& e)
{
    juce::Slider::mouseUp(e);
}

void FilmStripKnob::mouseWheelMove(const juce::MouseEvent& e, const juce::MouseWheelDetails& wheel)
{
    if (interactive)
        juce::Slider::mouseWheelMove(e, wheel);
}

} // namespace libqor::gfx
