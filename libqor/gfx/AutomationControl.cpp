#include "libqor/gfx/AutomationControl.h"

#include "libqor/gfx/EditableControl.h"
#include "libqor/gfx/PopupEditComponent.h"

namespace libqor::gfx
{

AutomationControl::~AutomationControl()
{
    parameter = nullptr;
    connectKey = nullptr;
}

void AutomationControl::mouseDown(const juce::MouseEvent& e, EditableControl* control)
{
    if (!menuEnabled || !e.mods.testFlags(popupClickMask))
        return;
    // An owner that enables the menu without a parameter or slots gets no menu.
    if (parameter == nullptr || slots == nullptr)
        return;

    // Plug-ins run no modal loops: the menu is shown asynchronously and its result
    // applied later, unless the control has been deleted in the meantime.
    std::weak_ptr<char> alive = aliveToken;
    juce::Component::SafePointer<EditableControl> safeControl(control);
    const bool hadControl = control != nullptr;
    buildMenu().showMenuAsync(juce::PopupMenu::Options(), [this, alive, safeControl, hadControl](int r) {
        if (alive.expired())
            return;
        EditableControl* c = safeControl.getComponent();
        if (hadControl && c == nullptr)
            return;
        applyMenuResult(r, c);
    });
}

juce::PopupMenu AutomationControl::buildMenu() const
{
    juce::PopupMenu menu;
    if (parameter == nullptr)
        return menu;

    menu.addSectionHeader(parameter->name);
    menu.addSeparator();
    menu.addItem(setValueId, "Set value");

    if (parameter->automatable)
    {
        juce::PopupMenu automation;
        automation.addSectionHeader("Connect to:");
        const int n = slots != nullptr ? slots->size() : 0;
        for (int j = 0; j < n; ++j)
        {
            libqor::AutomatableParameter* slot = (*slots)[j];
            if (slot == nullptr)
                continue;
            if (slot->connected != nullptr)
            {
                juce::PopupMenu disconnect;
                disconnect.addItem(-(j + 1), "Disconnect");
                automation.addSubMenu(slot->ConnectedTo(), disconnect);
            }
            else
            {
                automation.addItem(j + 1, slot->ConnectedTo());
            }
        }
        automation.addSeparator();
        juce::PopupMenu all;
        all.addItem(disconnectAllId, "Confirm");
        automation.addSubMenu("Disconnect all", all);
        menu.addSubMenu("Automation", automation);
    }
    else
    {
        menu.addItem(notAutomatableId, "Control is not automatable", false);
    }
    return menu;
}

void AutomationControl::applyMenuResult(int r, EditableControl* control)
{
    const int n = slots != nullptr ? slots->size() : 0;

    if (r != 0 && r >= -n && r <= n)
    {
        for (int i = 0; i < n; ++i)
        {
            libqor::AutomatableParameter* slot = (*slots)[i];
            if (slot == nullptr)
                continue;
            if (r > 0 && i == r - 1)
            {
                if (connectKey != nullptr)
                    slot->ConnectTo(parameter, *connectKey);
            }
            else if (r > 0)
            {
                if (slot->connected == parameter)
                    slot->Disconnect();
            }
            else if (i == -r - 1)
            {
                slot->Disconnect();
            }
        }
        return;
    }

    if (r == setValueId && parameter != nullptr && control != nullptr)
    {
        openValuePanel(control);
        return;
    }

    if (r == disconnectAllId)
    {
        for (int i = 0; i < n; ++i)
            if (libqor::AutomatableParameter* slot = (*slots)[i])
                slot->Disconnect();
    }
}

void AutomationControl::openValuePanel(EditableControl* control)
{
    auto panel = std::make_unique<PopupEditComponent>(parameter);
    panel->setSize(125, 60);
    PopupEditComponent* raw = panel.get();

    const juce::Rectangle<int> area = control->localAreaToGlobal(control->getLocalBounds());
    juce::CallOutBox& box = juce::CallOutBox::launchAsynchronously(std::move(panel), area, nullptr);
    box.setBounds(box.getX(), box.getY(), raw->getWidth(), raw->getHeight());
    raw->centreWithSize(raw->getWidth(), raw->getHeight());
}

} // namespace libqor::gfx
