#pragma once

#include <functional>

#include "libqor/gfx/AutomationControl.h"
#include "libqor/gfx/EditableControl.h"

namespace libqor::gfx
{

// Where a switch puts its hint: the text and a flag that a new text has arrived.
struct HintDisplay
{
    juce::String text;
    bool newText = false;
};

// A latching two-frame toggle.
class SwitchControl : public EditableControl, public AutomationControl, public juce::Timer
{
public:
    // Not made visible nor added to a parent: the caller owns the switch.
    static SwitchControl* addSwitch(juce::Slider::Listener* listener, int x, int y, juce::Image strip);

    explicit SwitchControl(const juce::Image& strip);
    ~SwitchControl() override;

    void mouseEnter(const juce::MouseEvent& e) override;
    void mouseDown(const juce::MouseEvent& e) override;
    void timerCallback() override;

    HintDisplay* hintTarget = nullptr;
    juce::String hintText;
    std::function<void()> onClick;
    std::function<void()> onPopupClick;

    JUCE_DECLARE_NON_COPYABLE(SwitchControl)
};

} // namespace libqor::gfx
