// The parameters as the hosts' own parameter objects describe them: Bypass
// and Quality as two-state switches, and text typed into a host's value
// field read back the way the plug-in writes its values.

#include "HostTestSupport.h"

#include <ostream>

namespace kymtest
{
namespace
{

struct SwitchCase
{
    PluginKind kind;
    const char* parameter;
    bool discrete;
    bool boolean; // JUCE's VST3 host has no notion of it; checked through LV2
    int steps;
};

std::ostream& operator<<(std::ostream& os, const SwitchCase& c)
{
    return os << kindName(c.kind) << " " << c.parameter;
}

class HostedSwitches : public ::testing::TestWithParam<SwitchCase>
{};

TEST_P(HostedSwitches, AreDiscreteTwoStateParameters)
{
    const auto c = GetParam();
    auto plugin = open(c.kind);
    ASSERT_NE(plugin, nullptr);
    auto* param = kymhost::PluginLoader::findParameter(*plugin, c.parameter);
    ASSERT_NE(param, nullptr);

    EXPECT_EQ(param->isDiscrete(), c.discrete);
    if (c.kind == PluginKind::lv2)
        EXPECT_EQ(param->isBoolean(), c.boolean);
    if (c.discrete)
        EXPECT_EQ(param->getNumSteps(), c.steps);

    // Both states reach the plug-in and come back as they are.
    for (const float v : { 1.0f, 0.0f })
    {
        param->setValue(v);
        EXPECT_EQ(param->getValue(), v);
    }
}

INSTANTIATE_TEST_SUITE_P(Parameters, HostedSwitches,
                         ::testing::Values(SwitchCase { PluginKind::vst3, "Bypass", true, true, 2 },
                                           SwitchCase { PluginKind::vst3, "Quality", true, false, 2 },
                                           SwitchCase { PluginKind::vst3, "Drive", false, false, 0 },
                                           SwitchCase { PluginKind::lv2, "Bypass", true, true, 2 },
                                           SwitchCase { PluginKind::lv2, "Quality", true, false, 2 },
                                           SwitchCase { PluginKind::lv2, "Drive", false, false, 0 }),
                         [](const auto& info) {
                             return std::string(kindName(info.param.kind)) + "_" + info.param.parameter;
                         });

// JUCE's VST3 host asks the plug-in to convert the text (its LV2 host
// converts it on its own side).
TEST(HostedParameterText, VST3ReadsBackWhatTheTextShows)
{
    auto plugin = open(PluginKind::vst3);
    ASSERT_NE(plugin, nullptr);
    auto* drive = kymhost::PluginLoader::findParameter(*plugin, "Drive");
    auto* bypass = kymhost::PluginLoader::findParameter(*plugin, "Bypass");
    auto* quality = kymhost::PluginLoader::findParameter(*plugin, "Quality");
    ASSERT_TRUE(drive != nullptr && bypass != nullptr && quality != nullptr);

    drive->setValue(0.3f);
    EXPECT_FLOAT_EQ(drive->getValueForText("0.70"), 0.7f);
    EXPECT_FLOAT_EQ(drive->getValueForText(drive->getText(0.25f, 64)), 0.25f);
    EXPECT_FLOAT_EQ(drive->getValueForText("7"), 1.0f);
    EXPECT_FLOAT_EQ(drive->getValueForText("loud"), 0.3f); // not a value: Drive stays

    EXPECT_EQ(bypass->getValueForText("on"), 1.0f);
    EXPECT_EQ(bypass->getValueForText("off"), 0.0f);
    EXPECT_EQ(bypass->getValueForText(bypass->getText(1.0f, 64)), 1.0f);
    EXPECT_EQ(quality->getValueForText(quality->getText(1.0f, 64)), 1.0f);
}

} // namespace
} // namespace kymtest
