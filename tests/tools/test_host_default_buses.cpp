// The bundles as a host finds them before it asks for any layout: the main
// buses are on by default, in the first channel configuration, and carry
// audio. A host that honours an optional bus would otherwise leave it
// unconnected, and the plug-in's wrapper would read a null buffer.

#include "HostTestSupport.h"

namespace kymtest
{
namespace
{

class HostedDefaultBuses : public ::testing::TestWithParam<PluginKind>
{};

TEST_P(HostedDefaultBuses, AreOnAndCarryAudio)
{
    constexpr double rate = 48000.0;
    juce::String error;
    auto plugin = loader().load(GetParam(), bundleOf(GetParam()), rate, blockSize, error);
    ASSERT_NE(plugin, nullptr) << error;

    for (const bool isInput : { true, false })
    {
        SCOPED_TRACE(isInput ? "input" : "output");
        const auto* bus = plugin->getBus(isInput, 0);
        ASSERT_NE(bus, nullptr);
        EXPECT_TRUE(bus->isEnabledByDefault());
        ASSERT_TRUE(bus->isEnabled());
        EXPECT_EQ(bus->getNumberOfChannels(), 1);
    }

    plugin->setRateAndBufferSizeDetails(rate, blockSize);
    plugin->prepareToPlay(rate, blockSize);

    const int frames = 8 * blockSize;
    const auto input = sine(1, frames, rate);
    kymhost::BlockRenderer renderer(*plugin, blockSize);
    const auto output = renderer.runAll(input);

    ASSERT_TRUE(allFinite(output));
    EXPECT_GT(rms(output, 0, frames / 2, frames / 2), 0.01);
    EXPECT_FALSE(sameSamples(output, 0, input, 0, 0, frames)) << "input passed through unprocessed";
    plugin->releaseResources();
}

INSTANTIATE_TEST_SUITE_P(Formats, HostedDefaultBuses, ::testing::Values(PluginKind::vst3, PluginKind::lv2),
                         [](const auto& info) { return std::string(kindName(info.param)); });

} // namespace
} // namespace kymtest
