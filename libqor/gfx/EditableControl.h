#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include "libqor/ParamObserver.h"
#include "libqor/Parameter.h"

namespace libqor::gfx
{

// Common base of the film-strip controls: a 0..1 slider drawn as one frame of
// a film strip, which can write a bound parameter and observe it.
class EditableControl : public juce::Slider, public libqor::ParamObserver
{
public:
    // The float 0.001 widened to double: the grid every control snaps to.
    static constexpr double sliderInterval = 0.0010000000474974513;

    EditableControl(const juce::Image& strip, int frames);
    ~EditableControl() override;

    virtual void setRelativeParameter(libqor::Parameter* p, bool observe);
    void notifyParamChange(libqor::Parameter* p) override;
    void parameterCheck(libqor::Parameter* p) override;
    virtual void updateParameter();

    void valueChanged() override;
    // The strip's frame for the current value, at the control's origin.
    void paint(juce::Graphics& g) override;

    // The set-up every film-strip control gets from its factory (or owner):
    // no text box, vertical drag, one frame in size, value 0, the listener.
    static void setUpFilmStrip(EditableControl& c, juce::Slider::Listener* listener, int x, int y);

    libqor::Parameter* boundParameter = nullptr;
    // Frames stacked vertically, all of one size; the size is set up from
    // the strip and the frame count.
    juce::Image filmStrip;
    int numFrames = 2;
    int frameWidth = 0;
    int frameHeight = 0;
    // Cleared, the control's clicks and drags leave its value alone.
    bool interactive = true;

protected:
    // The strip's frame for the current value, top frame at the minimum.
    int frameIndex() const noexcept;
    // What paint draws; with silhouette set, the frame's alpha filled with
    // the context's current colour.
    void drawFrame(juce::Graphics& g, bool silhouette) const;

    JUCE_DECLARE_NON_COPYABLE(EditableControl)
};

} // namespace libqor::gfx
