// The built bundles loaded through JUCE's own VST3 and LV2 hosting, as a DAW
// would: identity, parameters, audio in every offered layout and rate,
// automation through the host's parameter interface, unloading.

#include "HostTestSupport.h"

#include <tuple>
#include <vector>

namespace kymtest
{
namespace
{

const char* const parameterNames[] = { "Input",    "Level", "Drive",  "Low",    "High",
                                       "Presence", "Blend", "Bypass", "Quality" };
const float parameterDefaults[] = { 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.0f, 0.0f, 0.0f };

class HostedPlugin : public ::testing::TestWithParam<PluginKind>
{};

TEST_P(HostedPlugin, ShowsItsIdentityAndNineParameters)
{
    auto plugin = open(GetParam());
    ASSERT_NE(plugin, nullptr);

    EXPECT_EQ(plugin->getName(), "QOR KYM v2");
    const auto description = plugin->getPluginDescription();
    EXPECT_EQ(description.name, "QOR KYM v2");
    EXPECT_EQ(description.manufacturerName, "QOR AUDIO");
    EXPECT_FALSE(description.isInstrument);
    EXPECT_FALSE(plugin->acceptsMidi());
    EXPECT_FALSE(plugin->producesMidi());
    EXPECT_EQ(plugin->getTailLengthSeconds(), 0.0);
    EXPECT_EQ(plugin->getLatencySamples(), 0);

    // Both formats add a bypass of their own (the VST3 wrapper's, the LV2
    // enabled port); the plug-in's nine are the others, in order.
    juce::Array<juce::AudioProcessorParameter*> params;

    for (auto* p : plugin->getParameters())
        if (p != plugin->getBypassParameter())
            params.add(p);

    ASSERT_EQ(params.size(), 9);
    EXPECT_EQ(plugin->getParameters().size(), plugin->getBypassParameter() != nullptr ? 10 : 9);

    for (int i = 0; i < 9; ++i)
    {
        SCOPED_TRACE(parameterNames[i]);
        EXPECT_EQ(params[i]->getName(64), parameterNames[i]);
        EXPECT_EQ(kymhost::PluginLoader::findParameter(*plugin, parameterNames[i]), params[i]);
        EXPECT_FLOAT_EQ(params[i]->getDefaultValue(), parameterDefaults[i]);
        EXPECT_FLOAT_EQ(params[i]->getValue(), parameterDefaults[i]);
        EXPECT_TRUE(params[i]->isAutomatable());
    }

    // VST3 asks the plug-in for its texts; JUCE's LV2 host writes its own.
    if (GetParam() == PluginKind::vst3)
    {
        EXPECT_EQ(params[2]->getText(0.5f, 64), "0.50");
        EXPECT_EQ(params[2]->getText(1.0f, 64), "1.00");
        EXPECT_EQ(params[2]->getText(0.125f, 64), "0.13");
        EXPECT_EQ(params[7]->getText(1.0f, 64), "1.00");
    }
}

TEST_P(HostedPlugin, LoadsAndUnloadsRepeatedly)
{
    const auto input = sine(1, 4 * blockSize, 48000.0);

    for (int round = 0; round < 3; ++round)
    {
        auto a = open(GetParam());
        auto b = open(GetParam());
        ASSERT_TRUE(a != nullptr && b != nullptr);

        kymhost::BlockRenderer ra(*a, blockSize);
        kymhost::BlockRenderer rb(*b, blockSize);
        const auto outA = ra.runAll(input);
        const auto outB = rb.runAll(input);
        // Two instances in one process share nothing: same input, same output.
        EXPECT_TRUE(sameSamples(outA, 0, outB, 0, 0, input.getNumSamples()));

        b->releaseResources();
        b.reset();
        a->releaseResources();
        a.reset();
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, HostedPlugin, ::testing::Values(PluginKind::vst3, PluginKind::lv2),
                         [](const auto& info) { return std::string(kindName(info.param)); });

//==============================================================================
struct LayoutCase
{
    PluginKind kind;
    double rate;
    int ins;
    int outs;
};

class HostedLayouts : public ::testing::TestWithParam<LayoutCase>
{};

TEST_P(HostedLayouts, ProcessesASineIntoEveryOutput)
{
    const auto c = GetParam();
    auto plugin = open(c.kind, c.rate, c.ins, c.outs);
    ASSERT_NE(plugin, nullptr);
    ASSERT_EQ(plugin->getTotalNumInputChannels(), c.ins);
    ASSERT_EQ(plugin->getTotalNumOutputChannels(), c.outs);

    const int frames = (int) (c.rate / 4); // a quarter second, not a whole number of blocks
    const auto input = sine(c.ins, frames, c.rate);
    kymhost::BlockRenderer renderer(*plugin, blockSize);
    const auto output = renderer.runAll(input);

    ASSERT_TRUE(allFinite(output));
    EXPECT_GT(rms(output, 0, frames / 2, frames / 2), 0.01);
    EXPECT_FALSE(sameSamples(output, 0, input, 0, 0, frames)) << "input passed through unprocessed";

    for (int ch = 1; ch < c.outs; ++ch)
        EXPECT_TRUE(sameSamples(output, ch, output, 0, 0, frames)) << "output " << ch << " differs";

    if (c.ins == 2)
    {
        // Only input 0 is processed: silencing input 1 changes nothing.
        auto other = open(c.kind, c.rate, c.ins, c.outs);
        ASSERT_NE(other, nullptr);
        auto leftOnly = input;
        leftOnly.clear(1, 0, frames);
        kymhost::BlockRenderer r2(*other, blockSize);
        EXPECT_TRUE(sameSamples(r2.runAll(leftOnly), 0, output, 0, 0, frames));
    }
}

std::vector<LayoutCase> layoutCases()
{
    std::vector<LayoutCase> cases;

    for (double rate : { 44100.0, 48000.0, 96000.0 })
    {
        for (auto [ins, outs] : { std::pair { 1, 1 }, std::pair { 1, 2 }, std::pair { 2, 2 } })
            cases.push_back({ PluginKind::vst3, rate, ins, outs });

        // JUCE's LV2 wrapper publishes only the first channel configuration.
        cases.push_back({ PluginKind::lv2, rate, 1, 1 });
    }

    return cases;
}

INSTANTIATE_TEST_SUITE_P(RatesAndLayouts, HostedLayouts, ::testing::ValuesIn(layoutCases()), [](const auto& info) {
    const auto& c = info.param;
    return std::string(kindName(c.kind)) + "_" + std::to_string((int) c.rate) + "_" + std::to_string(c.ins) + "in"
        + std::to_string(c.outs) + "out";
});

TEST(HostedLayouts, VST3RefusesTwoInOneOut)
{
    auto plugin = open(PluginKind::vst3);
    ASSERT_NE(plugin, nullptr);
    juce::String error;
    EXPECT_FALSE(kymhost::PluginLoader::prepare(*plugin, 2, 1, 48000.0, blockSize, error));
}

//==============================================================================
struct AutomationCase
{
    PluginKind kind;
    int ins;
    int outs;
    const char* parameter;
    float value;
};

class HostedAutomation : public ::testing::TestWithParam<AutomationCase>
{};

// Two identical instances run the same sine; one has a parameter moved through
// the host halfway. Their outputs agree bit for bit until then and part after.
TEST_P(HostedAutomation, ChangesTheAudioFromTheBlockItArrivesIn)
{
    const auto c = GetParam();
    constexpr double rate = 48000.0;
    auto reference = open(c.kind, rate, c.ins, c.outs);
    auto automated = open(c.kind, rate, c.ins, c.outs);
    ASSERT_TRUE(reference != nullptr && automated != nullptr);

    auto* param = kymhost::PluginLoader::findParameter(*automated, c.parameter);
    ASSERT_NE(param, nullptr);

    const int half = 16 * blockSize;
    const auto input = sine(c.ins, 2 * half, rate);
    juce::AudioBuffer<float> outRef(c.outs, 2 * half), outAuto(c.outs, 2 * half);
    kymhost::BlockRenderer rr(*reference, blockSize), ra(*automated, blockSize);

    rr.run(input, 0, outRef, 0, 2 * half);
    ra.run(input, 0, outAuto, 0, half);
    param->setValue(c.value);
    ra.run(input, half, outAuto, half, half);

    EXPECT_FLOAT_EQ(param->getValue(), c.value);
    EXPECT_TRUE(sameSamples(outRef, 0, outAuto, 0, 0, half));
    ASSERT_TRUE(allFinite(outAuto));

    // One block of grace for hosts that deliver the change a block late.
    const int from = half + blockSize;
    const int n = 2 * half - from;

    if (juce::String(c.parameter) == "Bypass")
    {
        // Bypassed: input 0 on every output, untouched.
        for (int ch = 0; ch < c.outs; ++ch)
            EXPECT_TRUE(sameSamples(outAuto, ch, input, juce::jmin(ch, c.ins - 1), from, n)) << "output " << ch;
    }
    else
    {
        EXPECT_FALSE(sameSamples(outRef, 0, outAuto, 0, from, n));
        EXPECT_GT(rms(outAuto, 0, from, n), 0.01);
    }
}

std::vector<AutomationCase> automationCases()
{
    std::vector<AutomationCase> cases;

    for (auto kind : { PluginKind::vst3, PluginKind::lv2 })
    {
        cases.push_back({ kind, 1, 1, "Drive", 1.0f });
        cases.push_back({ kind, 1, 1, "Drive", 0.0f });
        cases.push_back({ kind, 1, 1, "Quality", 1.0f });
        cases.push_back({ kind, 1, 1, "Bypass", 1.0f });
    }

    cases.push_back({ PluginKind::vst3, 2, 2, "Bypass", 1.0f });
    cases.push_back({ PluginKind::vst3, 1, 2, "Bypass", 1.0f });
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Parameters, HostedAutomation, ::testing::ValuesIn(automationCases()), [](const auto& info) {
    const auto& c = info.param;
    return std::string(kindName(c.kind)) + "_" + c.parameter + std::to_string((int) c.value) + "_"
        + std::to_string(c.ins) + "in" + std::to_string(c.outs) + "out";
});

} // namespace
} // namespace kymtest
