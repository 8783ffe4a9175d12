// The render tool's command line: values in each parameter's own units become
// the normalised values a host sends, and bad input is refused with a reason.

#include "kym-render/ParameterUnits.h"
#include "kym-render/RenderOptions.h"

#include <gtest/gtest.h>

namespace
{

juce::StringArray split(const char* line)
{
    return juce::StringArray::fromTokens(line, " ", "");
}

struct Accepted
{
    const char* line;
    const char* name;
    double normalised;
};

class RenderOptionsAccepts : public ::testing::TestWithParam<Accepted>
{};

TEST_P(RenderOptionsAccepts, ConvertsToTheHostsNormalisedValue)
{
    const auto c = GetParam();
    kymrender::RenderOptions o;
    juce::String error;
    ASSERT_TRUE(o.parse(split(c.line), error)) << error;
    ASSERT_EQ(o.settings.size(), 1u);
    EXPECT_EQ(o.settings[0].name, c.name);
    EXPECT_DOUBLE_EQ(o.settings[0].normalised, c.normalised);
}

INSTANTIATE_TEST_SUITE_P(Table, RenderOptionsAccepts,
                         ::testing::Values(Accepted { "-o x.wav --set Drive=7", "Drive", 0.7 },
                                           Accepted { "-o x.wav --set drive=10", "Drive", 1.0 },
                                           Accepted { "-o x.wav --set Input=2", "Input", 1.0 },
                                           Accepted { "-o x.wav --set Input=0.5", "Input", 0.25 },
                                           Accepted { "-o x.wav --set Level=0", "Level", 0.0 },
                                           Accepted { "-o x.wav --set Blend=2.5", "Blend", 0.25 },
                                           Accepted { "-o x.wav --set Bypass=1", "Bypass", 1.0 },
                                           Accepted { "-o x.wav --set Quality=1", "Quality", 1.0 },
                                           Accepted { "-o x.wav --set High=1e1", "High", 1.0 }));

class RenderOptionsRefuses : public ::testing::TestWithParam<const char*>
{};

TEST_P(RenderOptionsRefuses, WithAReason)
{
    kymrender::RenderOptions o;
    juce::String error;
    EXPECT_FALSE(o.parse(split(GetParam()), error));
    EXPECT_TRUE(error.isNotEmpty());
}

INSTANTIATE_TEST_SUITE_P(Table, RenderOptionsRefuses,
                         ::testing::Values("--set Drive=7",             // no output
                                           "-o x.wav --set Drive=11",   // above the range
                                           "-o x.wav --set Input=-0.1", // below it
                                           "-o x.wav --set Input=2.5", "-o x.wav --set Drive=nan",
                                           "-o x.wav --set Drive=7x", "-o x.wav --set Drive=", "-o x.wav --set Drive",
                                           "-o x.wav --set =7",
                                           "-o x.wav --set Gain=3",     // no such parameter
                                           "-o x.wav --set Bypass=0.5", // switches are 0 or 1
                                           "-o x.wav --set Quality=2", "-o x.wav --set", "-o x.wav --format vst2",
                                           "-o x.wav --block 0", "-o x.wav --block 64.5", "-o x.wav --frobnicate",
                                           "-o x.wav --bits 32", // 32-bit integer is not offered
                                           "-o x.wav --bits 8", "-o x.wav --bits", "-o x.wav --channel side",
                                           "-o x.wav --channel", "-o x.wav a.wav b.wav"));

TEST(RenderOptions, RangesAreThePluginsOwn)
{
    // Every parameter of the plug-in's table, at both ends and just past them.
    for (const auto& row : kym::parameterTable)
    {
        SCOPED_TRACE(row.name);
        const auto set = [&](double v, double& normalised) {
            kymrender::RenderOptions o;
            juce::String error;
            const auto line = "-o x.wav --set " + juce::String(row.name) + "=" + juce::String(v, 6);
            const bool ok = o.parse(split(line.toRawUTF8()), error);
            normalised = ok ? o.settings.at(0).normalised : -1.0;
            return ok;
        };

        double n = 0.0;
        EXPECT_TRUE(set(row.minValue, n));
        EXPECT_EQ(n, 0.0);
        EXPECT_TRUE(set(row.maxValue, n));
        EXPECT_EQ(n, 1.0);
        EXPECT_FALSE(set(row.maxValue + 0.001, n));
        EXPECT_FALSE(set(row.minValue - 0.001, n));
        EXPECT_EQ(set((row.minValue + row.maxValue) / 2.0, n), row.kind == kym::ParameterKind::continuous);
    }
}

TEST(RenderOptions, SampleFormatAndChannel)
{
    using Channel = kymrender::RenderOptions::Channel;
    using kymrender::SampleFormat;

    const struct
    {
        const char* line;
        SampleFormat format;
        Channel channel;
        bool chosen;
    } cases[] = {
        { "-o x.wav", SampleFormat::float32, Channel::left, false },
        { "-o x.wav --bits 16 --channel right", SampleFormat::int16, Channel::right, true },
        { "-o x.wav --bits 24 --channel LEFT", SampleFormat::int24, Channel::left, true },
        { "--channel mid --bits 32F -o x.wav", SampleFormat::float32, Channel::mid, true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.line);
        kymrender::RenderOptions o;
        juce::String error;
        ASSERT_TRUE(o.parse(split(c.line), error)) << error;
        EXPECT_EQ(o.format, c.format);
        EXPECT_EQ(o.channel, c.channel);
        EXPECT_EQ(o.channelChosen, c.chosen);
    }
}

TEST(RenderOptions, DefaultsAndPaths)
{
    kymrender::RenderOptions o;
    juce::String error;
    ASSERT_TRUE(o.parse(split("--format lv2 --block 64 --plugin /tmp/k.lv2 -o /tmp/out.wav /tmp/in.wav"), error))
        << error;
    EXPECT_EQ(o.kind, kymhost::PluginKind::lv2);
    EXPECT_EQ(o.blockSize, 64);
    EXPECT_EQ(o.plugin.getFullPathName(), "/tmp/k.lv2");
    EXPECT_EQ(o.input.getFullPathName(), "/tmp/in.wav");
    EXPECT_EQ(o.output.getFullPathName(), "/tmp/out.wav");

    kymrender::RenderOptions d;
    ASSERT_TRUE(d.parse(split("-o out.wav"), error));
    EXPECT_EQ(d.kind, kymhost::PluginKind::vst3);
    EXPECT_EQ(d.blockSize, 512);
    EXPECT_EQ(d.input, juce::File());
    EXPECT_TRUE(d.settings.empty());
}

TEST(RenderOptions, LaterSettingsFollowEarlierOnes)
{
    kymrender::RenderOptions o;
    juce::String error;
    ASSERT_TRUE(o.parse(split("-o x.wav --set Drive=2 --set Quality=1 --set Drive=9"), error));
    ASSERT_EQ(o.settings.size(), 3u);
    EXPECT_EQ(o.settings.back().name, "Drive");
    EXPECT_DOUBLE_EQ(o.settings.back().normalised, 0.9);
}

} // namespace
