#include "libqor/gfx/AutomationControl.h"
#include "libqor/gfx/FilmStripKnob.h"

#include "libqor/gfx/GuiTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

using libqor::AutomatableParameter;
using libqor::Parameter;
using libqor::gfx::AutomationControl;

namespace
{

struct MenuLine
{
    int id;
    juce::String text;
    bool enabled;
    bool header;
    bool separator;
    bool hasSubMenu;
};

std::vector<MenuLine> linesOf(const juce::PopupMenu& m)
{
    std::vector<MenuLine> lines;
    for (juce::PopupMenu::MenuItemIterator it(m); it.next();)
    {
        const auto& item = it.getItem();
        lines.push_back({ item.itemID, item.text, item.isEnabled, item.isSectionHeader, item.isSeparator,
                          item.subMenu != nullptr });
    }
    return lines;
}

const juce::PopupMenu* subMenuOf(const juce::PopupMenu& m, const juce::String& title)
{
    for (juce::PopupMenu::MenuItemIterator it(m); it.next();)
        if (it.getItem().text == title)
            return it.getItem().subMenu.get();
    return nullptr;
}

// Five slots, two parameters and a log of what the slots report to the host.
class AutomationMenu : public ::testing::Test
{
protected:
    void SetUp() override
    {
        drive.InitDouble("KYM_Drive", "Drive", 5.0, 0.0, 10.0, 0.0001, "", 1.0);
        drive.value = 2.5;
        level.InitDouble("KYM_Output", "Level", 5.0, 0.0, 10.0, 0.0001, "", 1.0);
        for (int i = 0; i < 5; ++i)
        {
            auto* slot = slots.add(new AutomatableParameter(i + 1));
            slot->onChange = [this](int index, float v) { log.emplace_back(index, v); };
        }
        control.menuEnabled = true;
        control.parameter = &drive;
        control.slots = &slots;
    }

    // The parameters go before the slots they may still point at, the log last.
    std::vector<std::pair<int, float>> log;
    juce::OwnedArray<AutomatableParameter> slots;
    Parameter drive;
    Parameter level;
    AutomationControl control;
    int key = 593953;
};

} // namespace

TEST_F(AutomationMenu, ListsSlotsWithTheirConnections)
{
    slots[1]->ConnectTo(&drive, key);
    const auto top = linesOf(control.buildMenu());
    ASSERT_EQ(top.size(), 4u);
    EXPECT_TRUE(top[0].header);
    EXPECT_EQ(top[0].text, "Drive");
    EXPECT_TRUE(top[1].separator);
    EXPECT_EQ(top[2].id, 1000);
    EXPECT_EQ(top[2].text, "Set value");
    EXPECT_EQ(top[3].text, "Automation");
    EXPECT_TRUE(top[3].hasSubMenu);

    const juce::PopupMenu menu = control.buildMenu();
    const juce::PopupMenu* automation = subMenuOf(menu, "Automation");
    ASSERT_NE(automation, nullptr);
    const auto lines = linesOf(*automation);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_TRUE(lines[0].header);
    EXPECT_EQ(lines[0].text, "Connect to:");
    EXPECT_EQ(lines[1].id, 1);
    EXPECT_EQ(lines[1].text, "Parameter 1");
    EXPECT_TRUE(lines[2].hasSubMenu);
    EXPECT_EQ(lines[2].text, "Parameter 2 : Drive");
    EXPECT_EQ(lines[5].id, 5);
    EXPECT_TRUE(lines[6].separator);
    EXPECT_EQ(lines[7].text, "Disconnect all");

    const juce::PopupMenu* disconnect = subMenuOf(*automation, "Parameter 2 : Drive");
    ASSERT_NE(disconnect, nullptr);
    const auto one = linesOf(*disconnect);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].id, -2);
    EXPECT_EQ(one[0].text, "Disconnect");

    const auto confirm = linesOf(*subMenuOf(*automation, "Disconnect all"));
    ASSERT_EQ(confirm.size(), 1u);
    EXPECT_EQ(confirm[0].id, 99);
    EXPECT_EQ(confirm[0].text, "Confirm");
}

TEST_F(AutomationMenu, NotAutomatableParameterGetsADisabledLine)
{
    drive.automatable = false;
    const auto lines = linesOf(control.buildMenu());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2].id, 1000);
    EXPECT_EQ(lines[3].id, -999);
    EXPECT_EQ(lines[3].text, "Control is not automatable");
    EXPECT_FALSE(lines[3].enabled);
}

TEST_F(AutomationMenu, ChoosingASlotMovesTheConnectionInSlotOrder)
{
    slots[0]->ConnectTo(&drive, key);
    slots[4]->ConnectTo(&drive, key);
    log.clear();
    control.connectKey = &key;

    control.applyMenuResult(3, nullptr);

    EXPECT_EQ(slots[0]->connected.load(), nullptr);
    EXPECT_EQ(slots[2]->connected.load(), &drive);
    EXPECT_EQ(slots[2]->key, key);
    EXPECT_EQ(slots[4]->connected.load(), nullptr);
    const std::vector<std::pair<int, float>> expected { { 0, 0.5f }, { 2, 0.25f }, { 4, 0.5f } };
    EXPECT_EQ(log, expected);
}

TEST_F(AutomationMenu, ChoosingASlotWithoutConnectKeyOnlyDisconnects)
{
    slots[0]->ConnectTo(&drive, key);
    slots[4]->ConnectTo(&drive, key);
    log.clear();

    control.applyMenuResult(3, nullptr);

    EXPECT_EQ(slots[0]->connected.load(), nullptr);
    EXPECT_EQ(slots[2]->connected.load(), nullptr);
    EXPECT_EQ(slots[4]->connected.load(), nullptr);
    const std::vector<std::pair<int, float>> expected { { 0, 0.5f }, { 4, 0.5f } };
    EXPECT_EQ(log, expected);
}

TEST_F(AutomationMenu, SlotsOfOtherParametersStayOnASlotChoice)
{
    slots[1]->ConnectTo(&level, key);
    control.connectKey = &key;
    control.applyMenuResult(1, nullptr);
    EXPECT_EQ(slots[0]->connected.load(), &drive);
    EXPECT_EQ(slots[1]->connected.load(), &level);
}

TEST_F(AutomationMenu, NegativeIdDisconnectsThatSlotOnly)
{
    slots[1]->ConnectTo(&drive, key);
    slots[3]->ConnectTo(&level, key);
    log.clear();
    control.applyMenuResult(-4, nullptr);
    EXPECT_EQ(slots[1]->connected.load(), &drive);
    EXPECT_EQ(slots[3]->connected.load(), nullptr);
    const std::vector<std::pair<int, float>> expected { { 3, 0.5f } };
    EXPECT_EQ(log, expected);
}

TEST_F(AutomationMenu, ConfirmDisconnectsEverySlot)
{
    slots[0]->ConnectTo(&drive, key);
    slots[3]->ConnectTo(&level, key);
    log.clear();
    control.applyMenuResult(99, nullptr);
    for (auto* slot : slots)
        EXPECT_EQ(slot->connected.load(), nullptr);
    ASSERT_EQ(log.size(), 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(log[(size_t) i], std::make_pair(i, 0.5f));
}

TEST_F(AutomationMenu, OtherResultsChangeNothing)
{
    slots[0]->ConnectTo(&drive, key);
    control.connectKey = &key;
    log.clear();
    for (int r : { 0, 6, -6, -999, 1000, 98, 100 })
        control.applyMenuResult(r, nullptr); // 1000 without a control opens nothing
    EXPECT_EQ(slots[0]->connected.load(), &drive);
    for (int i = 1; i < 5; ++i)
        EXPECT_EQ(slots[i]->connected.load(), nullptr);
    EXPECT_TRUE(log.empty());
}

TEST_F(AutomationMenu, ClicksThatAreNoPopupClickOrADisabledMenuShowNothing)
{
    juce::Image strip = guitest::codedStrip(10, 10, 81);
    std::unique_ptr<libqor::gfx::FilmStripKnob> knob(libqor::gfx::FilmStripKnob::addKnob(nullptr, 0, 0, strip, 81));
    auto* modal = juce::ModalComponentManager::getInstance();

    control.mouseDown(guitest::press(*knob, guitest::leftButton), knob.get());
    EXPECT_EQ(modal->getNumModalComponents(), 0);

    control.menuEnabled = false;
    control.mouseDown(guitest::press(*knob, guitest::rightButton), knob.get());
    EXPECT_EQ(modal->getNumModalComponents(), 0);

    // As created, a knob's own menu is off.
    knob->mouseDown(guitest::press(*knob, guitest::rightButton));
    EXPECT_EQ(modal->getNumModalComponents(), 0);
}

TEST(AutomationControlMember, StartsDisabledAndClearsOnDestruction)
{
    AutomationControl c;
    EXPECT_FALSE(c.menuEnabled);
    EXPECT_EQ(c.parameter, nullptr);
    EXPECT_EQ(c.slots, nullptr);
    EXPECT_EQ(c.connectKey, nullptr);
    // A result with no slots and no parameter is harmless.
    c.applyMenuResult(1, nullptr);
    c.applyMenuResult(99, nullptr);
    c.applyMenuResult(1000, nullptr);
}
