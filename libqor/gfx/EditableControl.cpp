#include "libqor/gfx/EditableControl.h"

namespace libqor::gfx
{

EditableControl::EditableControl(const juce::Image& strip, int frames)
    : juce::Slider(juce::String()), filmStrip(strip), numFrames(frames)
{}

void EditableControl::setUpFilmStrip(EditableControl& c, juce::Slider::Listener* listener, int x, int y)
{
    c.setTextBoxStyle(juce::Slider::NoTextBox, false, 0, 0);
    c.setSliderStyle(juce::Slider::RotaryVerticalDrag);
    // A frame count below 1 would divide by zero; such a strip draws nothing.
    const int frames = c.numFrames;
    c.frameHeight = (c.filmStrip.isValid() && frames > 0) ? c.filmStrip.getHeight() / frames : 0;
    c.frameWidth = c.filmStrip.isValid() ? c.filmStrip.getWidth() : 0;
    c.setRange(0.0, 1.0, sliderInterval);
    c.setBounds(x, y, c.filmStrip.getWidth(), frames > 0 ? c.filmStrip.getHeight() / frames : 0);
    c.setValue(0.0, juce::dontSendNotification);
    if (listener != nullptr)
        c.addListener(listener);
}

EditableControl::~EditableControl()
{
    if (boundParameter != nullptr)
        boundParameter->RemoveObserver(this);
}

void EditableControl::setRelativeParameter(libqor::Parameter* p, bool observe)
{
    if (p == nullptr)
        return;
    boundParameter = p;
    if (observe)
        p->AddObserver(this);
}

void EditableControl::notifyParamChange(libqor::Parameter*)
{
    // A bound control does not follow its parameter by itself; its owner refreshes it.
}

void EditableControl::parameterCheck(libqor::Parameter* p)
{
    if (p == nullptr || p != boundParameter || p->type != libqor::Parameter::TypeContinuous)
        return;
    const double sliderMin = getMinimum();
    const double sliderMax = getMaximum();
    setValue(sliderMin + (sliderMax - sliderMin) * (p->value.load() - p->minValue) / (p->maxValue - p->minValue),
             juce::sendNotificationAsync);
}

void EditableControl::updateParameter()
{
    if (boundParameter == nullptr)
        return;
    const double sliderMin = getMinimum();
    const double n = (getValue() - sliderMin) / (getMaximum() - sliderMin);
    boundParameter->SetNormalised(n, this);
}

void EditableControl::valueChanged()
{
    updateParameter();
}

int EditableControl::frameIndex() const noexcept
{
    const double mn = getMinimum();
    return (int) ((double) (numFrames - 1) * (getValue() - mn) / (getMaximum() - mn) + 0.5);
}

void EditableControl::paint(juce::Graphics& g)
{
    drawFrame(g, false);
}

void EditableControl::drawFrame(juce::Graphics& g, bool silhouette) const
{
    const int frame = frameIndex();
    g.drawImage(filmStrip, 0, 0, frameWidth, frameHeight, 0, frame * frameHeight, filmStrip.getWidth(), frameHeight,
                silhouette);
}

} // namespace libqor::gfx
