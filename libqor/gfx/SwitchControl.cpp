#include "libqor/gfx/SwitchControl.h"

namespace libqor::gfx
{

namespace
{
constexpr int hintDelayMs = 50;
}

SwitchControl* SwitchControl::addSwitch(juce::Slider::Listener* listener, int x, int y, juce::Image strip)
{
    auto* sw = new SwitchControl(strip);
    setUpFilmStrip(*sw, listener, x, y);
    return sw;
}

SwitchControl::SwitchControl(const juce::Image& strip) : EditableControl(strip, 2) {}

SwitchControl::~SwitchControl()
{
    stopTimer();
}

void SwitchControl::mouseEnter(const juce::MouseEvent&)
{
    if (hintTarget != nullptr)
        startTimer(hintDelayMs);
}

void SwitchControl::timerCallback()
{
    if (hintTarget != nullptr)
    {
        hintTarget->text = hintText;
        hintTarget->newText = true;
    }
    stopTimer();
}

void SwitchControl::mouseDown(const juce::MouseEvent& e)
{
    if (interactive)
    {
        if (e.mods.isLeftButtonDown())
        {
            setValue(getValue() < 0.5 ? 1.0 : 0.0, juce::sendNotificationAsync);
            if (onClick)
                onClick();
            repaint();
        }
        // Independent of the toggle: a ctrl-left press does both.
        if (e.mods.testFlags(popupClickMask) && onPopupClick)
            onPopupClick();
    }
    AutomationControl::mouseDown(e, this);
}

} // namespace libqor::gfx
