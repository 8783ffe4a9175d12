#pragma once

#include <memory>

#include <juce_gui_basics/juce_gui_basics.h>

#include "libqor/AutomatableParameter.h"
#include "libqor/Parameter.h"

namespace libqor::gfx
{

class EditableControl;

// Mix-in that gives a control the popup-click menu for connecting its parameter
// to host automation slots and for opening the value panel.
class AutomationControl
{
public:
    // The modifiers of a popup click: a right click, or a click with ctrl.
    static constexpr int popupClickMask = juce::ModifierKeys::rightButtonModifier | juce::ModifierKeys::ctrlModifier;

    // Menu ids besides the slot ids 1..n and -1..-n.
    static constexpr int setValueId = 1000;
    static constexpr int disconnectAllId = 99;
    static constexpr int notAutomatableId = -999;

    AutomationControl() = default;
    virtual ~AutomationControl();

    // Shows the menu on a popup click when the menu is enabled; the result is
    // applied once the user has chosen (the menu runs asynchronously).
    void mouseDown(const juce::MouseEvent& e, EditableControl* control);

    // The menu as the popup click shows it; needs `parameter` and `slots`.
    juce::PopupMenu buildMenu() const;

    // Applies a menu result r (0 when the menu was dismissed).
    void applyMenuResult(int r, EditableControl* control);

    bool menuEnabled = false;
    libqor::Parameter* parameter = nullptr;
    juce::OwnedArray<libqor::AutomatableParameter>* slots = nullptr;
    int* connectKey = nullptr;

private:
    void openValuePanel(EditableControl* control);

    // Lets a menu that is still open find out that its control has gone.
    std::shared_ptr<char> aliveToken = std::make_shared<char>(0);

    JUCE_DECLARE_NON_COPYABLE(AutomationControl)
};

} // namespace libqor::gfx
