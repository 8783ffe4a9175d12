#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include "libqor/ParamObserver.h"
#include "libqor/Parameter.h"

namespace libqor::gfx {

// Common base of the film-strip controls: a 0..1 slider that can write a bound
// parameter and observe it.
class EditableControl : public juce::Slider, public libqor::ParamObserver
{
public:
    // The float 0.001 widened to double: the grid every control snaps to.
    static constexpr double sliderInterval = 0.0010000000474974513;

    EditableControl();
    ~EditableControl() override;

    virtual void setRelativeParameter(libqor::Parameter* p, bool observe);
    void notifyParamChange(libqor::Parameter* p) override;
    void parameterCheck(libqor::Parameter* p) override;
    virtual void updateParameter();

    void valueChanged() override;

    // The set-up every film-strip control gets from its factory (or owner):
    // no text box, vertical drag, one frame in size, value 0, the listener.
    template <typename Control>
    static void setUpFilmStrip(Control& c, juce::Slider::Listener* listener, int x, int y);

    libqor::Parameter* boundParameter = nullptr;

protected:
    // Frame of an n-frame strip for the current value, top frame at the minimum.
    int frameIndex(int numFrames) const noexcept;

    JUCE_DECLARE_NON_COPYABLE(EditableControl)
};

template <typename Control>
void EditableControl::setUpFilmStrip(Control& c, juce::Slider::Listener* listener, int x, int y)
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

} // namespace libqor::gfx
