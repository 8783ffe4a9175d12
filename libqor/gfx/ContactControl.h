#pragma once

#include <functional>

#include "libqor/gfx/AutomationControl.h"
#include "libqor/gfx/EditableControl.h"

namespace libqor::gfx
{

// A momentary two-frame push control: 1 while pressed, back to 0 silently on release.
class ContactControl : public EditableControl, public AutomationControl
{
public:
    // The owner runs EditableControl::setUpFilmStrip on it, then shows and adds it.
    explicit ContactControl(const juce::Image& strip);
    ~ContactControl() override;

    void mouseEnter(const juce::MouseEvent& e) override;
    void mouseExit(const juce::MouseEvent& e) override;
    void mouseDown(const juce::MouseEvent& e) override;
    void mouseUp(const juce::MouseEvent& e) override;
    void paint(juce::Graphics& g) override;

    std::function<void()> onRelease;
    bool hovered = false;
    bool hoverHighlight = false;

    JUCE_DECLARE_NON_COPYABLE(ContactControl)
};

} // namespace libqor::gfx
