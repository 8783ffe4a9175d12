#include "libqor/gfx/EditableControl.h"

namespace libqor::gfx {

EditableControl::EditableControl()
    : juce::Slider(juce::String())
{
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

int EditableControl::frameIndex(int numFrames) const noexcept
{
    const double mn = getMinimum();
    return (int) ((double) (numFrames - 1) * (getValue() - mn) / (getMaximum() - mn) + 0.5);
}

} // namespace libqor::gfx
