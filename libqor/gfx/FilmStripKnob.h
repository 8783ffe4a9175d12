#pragma once

#include <functional>

#include "libqor/gfx/AutomationControl.h"
#include "libqor/gfx/EditableControl.h"

namespace libqor::gfx
{

// A knob (or bar) drawn from a vertical film strip, moved by vertical dragging.
class FilmStripKnob : public AutomationControl, public EditableControl
{
public:
    // The knob is neither made visible nor added to a parent: the caller owns it.
    static FilmStripKnob* addKnob(juce::Slider::Listener* listener, int x, int y, juce::Image& strip, int numFrames);

    FilmStripKnob(const juce::Image& strip, int frames);
    ~FilmStripKnob() override;

    void visibilityChanged() override;
    void startedDragging() override;
    void mouseDrag(const juce::MouseEvent& e) override;
    void stoppedDragging() override;
    void mouseDoubleClick(const juce::MouseEvent& e) override;
    void mouseEnter(const juce::MouseEvent& e) override;
    void mouseDown(const juce::MouseEvent& e) override;
    void mouseUp(const juce::MouseEvent& e) override;
    void mouseWheelMove(const juce::MouseEvent& e, const juce::MouseWheelDetails& wheel) override;

    bool customMenuEnabled = false;
    juce::PopupMenu* customMenu = nullptr;
    std::function<void(int)> onMenuResult;
    float defaultValue = 0.5f;
    bool doubleClickResets = true;

    JUCE_DECLARE_NON_COPYABLE(FilmStripKnob)
};

} // namespace libqor::gfx
