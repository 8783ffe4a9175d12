#include "libqor/gfx/ContactControl.h"

namespace libqor::gfx
{

ContactControl::ContactControl(const juce::Image& strip) : EditableControl(strip, 2) {}

ContactControl::~ContactControl() = default;

void ContactControl::mouseEnter(const juce::MouseEvent&)
{
    hovered = true;
}

void ContactControl::mouseExit(const juce::MouseEvent&)
{
    hovered = false;
}

void ContactControl::mouseDown(const juce::MouseEvent& e)
{
    if (interactive && e.mods.isLeftButtonDown())
    {
        setValue(1.0, juce::sendNotificationAsync);
        repaint();
    }
    AutomationControl::mouseDown(e, this);
}

void ContactControl::mouseUp(const juce::MouseEvent&)
{
    if (!interactive)
        return;
    setValue(0.0, juce::dontSendNotification);
    repaint();
    if (onRelease)
        onRelease();
}

void ContactControl::paint(juce::Graphics& g)
{
    const bool silhouette = hovered && hoverHighlight;
    if (silhouette)
        g.setColour(juce::Colours::black.withAlpha((juce::uint8) 0x44));
    drawFrame(g, silhouette);
}

} // namespace libqor::gfx
