// What hosts, records and signals can throw at the processor: the output must
// stay finite and bounded, every parameter inside its range, and what is to
// be ignored must change nothing.

#include "test_processor_support.h"

#include "plugin/KymStateScanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

using namespace kymtest;

namespace
{

using FloatLimits = std::numeric_limits<float>;
using DoubleLimits = std::numeric_limits<double>;

// Far below anything near float's range, far above what plays: the hottest
// settings peak near 9 on a full-scale signal and near 3900 on an input held
// at the processor's limit of 1000.
constexpr float outputBound = 1e5f;

testing::AssertionResult saneOutput(const std::vector<float>& out)
{
    for (size_t i = 0; i < out.size(); ++i)
        if (!std::isfinite(out[i]) || std::abs(out[i]) >= outputBound)
            return testing::AssertionFailure() << "sample " << i << " is " << out[i];
    return testing::AssertionSuccess();
}

testing::AssertionResult parametersInRange(KymAudioProcessor& p)
{
    for (int i = 0; i < 9; ++i)
    {
        // operator[] answers nullptr past the end: a missing parameter fails
        // here instead of being dereferenced.
        const auto* parameter = p.parameters[i];
        if (parameter == nullptr)
            return testing::AssertionFailure() << "parameter " << i << " is missing";
        const double v = parameter->value.load();
        if (!(v >= parameter->minValue && v <= parameter->maxValue))
            return testing::AssertionFailure() << "parameter " << i << " holds " << v;
        const float host = p.getParameters()[i]->getValue();
        if (!(host >= 0.0f && host <= 1.0f))
            return testing::AssertionFailure() << "slot " << i << " reads " << host;
    }
    for (int k = 0; k < KYM::Slot::count; ++k)
    {
        const double v = p.engine.slots[k].value;
        if (!(v >= 0.0 && v <= 1.0))
            return testing::AssertionFailure() << "engine slot " << k << " holds " << v;
    }
    return testing::AssertionSuccess();
}

// Whatever the host's listeners hear must be a normalised value.
struct HostListener : juce::AudioProcessorListener
{
    std::vector<float> values;
    std::vector<int> indices;

    void audioProcessorParameterChanged(juce::AudioProcessor*, int index, float value) override
    {
        indices.push_back(index);
        values.push_back(value);
    }
    void audioProcessorChanged(juce::AudioProcessor*, const ChangeDetails&) override {}

    bool heard(int index) const { return std::find(indices.begin(), indices.end(), index) != indices.end(); }
    bool allNormalised() const
    {
        return std::all_of(values.begin(), values.end(), [](float v) { return v >= 0.0f && v <= 1.0f; });
    }
};

// Blocks as a wrapper hands them over: one buffer channel per side of the
// layout's larger side, the inputs in their channels, junk in an output that
// has no input. Returns every output channel.
std::vector<std::vector<float>> runWrapped(KymAudioProcessor& p, const std::vector<float>& input, int blockSize)
{
    const int ins = p.getTotalNumInputChannels();
    const int outs = p.getTotalNumOutputChannels();
    std::vector<std::vector<float>> out(static_cast<size_t>(outs));
    juce::MidiBuffer midi;
    const int n = static_cast<int>(input.size());
    for (int start = 0; start < n || (n == 0 && start == 0); start += std::max(blockSize, 1))
    {
        const int count = std::min(blockSize, n - start);
        juce::AudioBuffer<float> buffer(std::max(ins, outs), count);
        if (count > 0)
        {
            std::copy_n(input.data() + start, count, buffer.getWritePointer(0));
            for (int c = 1; c < buffer.getNumChannels(); ++c)
                juce::FloatVectorOperations::fill(buffer.getWritePointer(c), c < ins ? 0.9f : 0.7f, count);
        }
        p.processBlock(buffer, midi);
        for (int c = 0; c < outs; ++c)
            out[static_cast<size_t>(c)].insert(out[static_cast<size_t>(c)].end(), buffer.getReadPointer(c),
                                               buffer.getReadPointer(c) + count);
        if (n == 0)
            break;
    }
    return out;
}

std::vector<float> sine(int n, double rate, double hz = 110.0, double amplitude = 0.5)
{
    std::vector<float> s(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        s[static_cast<size_t>(i)] = static_cast<float>(amplitude * std::sin(2.0 * M_PI * hz * i / rate));
    return s;
}

// Settings under which the bad input arrives, as normalised host values for
// parameters 0..6 and Quality.
struct Setting
{
    const char* name;
    float values[7];
    float quality;
};

const Setting settings[] = {
    { "defaults", { 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.0f }, 0.0f },
    // Input gain 2, Level 10, all dry: the linear path with the most gain.
    { "hot dry 4x", { 1.0f, 1.0f, 0.0f, 1.0f, 1.0f, 0.0f, 1.0f }, 1.0f },
    { "everything up", { 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f }, 0.0f },
};

std::unique_ptr<KymAudioProcessor> processorWith(const Setting& s, int ins = 1, int outs = 1, double rate = 44100.0)
{
    auto p = makeProcessor(ins, outs, rate);
    for (int i = 0; i < 7; ++i)
        setHost(*p, i, s.values[i]);
    setHost(*p, 8, s.quality);
    runEmptyBlock(*p);
    runEmptyBlock(*p);
    return p;
}

} // namespace

//==============================================================================
// Host values

TEST(ProcessorBadInput, HostValuesLandInsideTheRange)
{
    enum class Lands
    {
        unchanged, // not a number: ignored
        atMaximum,
        atMinimum,
        nearMinimum, // a denormal step above it, or the minimum itself once rounded
    };
    struct Case
    {
        const char* name;
        float host;        // through the host slot
        double normalised; // through SetNormalised
        Lands lands;
    };
    const Case cases[] = {
        { "NaN", FloatLimits::quiet_NaN(), DoubleLimits::quiet_NaN(), Lands::unchanged },
        { "-NaN", -FloatLimits::quiet_NaN(), -DoubleLimits::quiet_NaN(), Lands::unchanged },
        { "signalling NaN", FloatLimits::signaling_NaN(), DoubleLimits::signaling_NaN(), Lands::unchanged },
        { "+Inf", FloatLimits::infinity(), DoubleLimits::infinity(), Lands::atMaximum },
        { "-Inf", -FloatLimits::infinity(), -DoubleLimits::infinity(), Lands::atMinimum },
        { "+1e30", 1e30f, 1e30, Lands::atMaximum },
        { "-1e30", -1e30f, -1e30, Lands::atMinimum },
        { "largest", FloatLimits::max(), DoubleLimits::max(), Lands::atMaximum },
        { "-largest", -FloatLimits::max(), -DoubleLimits::max(), Lands::atMinimum },
        { "+denormal", FloatLimits::denorm_min(), DoubleLimits::denorm_min(), Lands::nearMinimum },
        { "-denormal", -FloatLimits::denorm_min(), -DoubleLimits::denorm_min(), Lands::atMinimum },
        { "largest denormal", FloatLimits::min() / 2.0f, DoubleLimits::min() / 2.0, Lands::nearMinimum },
    };

    for (const bool throughSlots : { true, false })
        for (const auto& c : cases)
        {
            SCOPED_TRACE(std::string(c.name) + (throughSlots ? " through the slots" : " through SetNormalised"));
            auto p = makeProcessor(1, 1, 44100.0);
            // Start away from both ends: continuous at 6/10 of the range, switches on.
            for (int i = 0; i < 9; ++i)
                p->parameters[i]->SetNormalised(0.6);
            runEmptyBlock(*p);
            runEmptyBlock(*p); // the rate job that Quality's change posted
            double before[9];
            for (int i = 0; i < 9; ++i)
                before[i] = p->parameters[i]->value.load();

            HostListener listener;
            p->addListener(&listener);
            for (int i = 0; i < 9; ++i)
            {
                if (throughSlots)
                    setHost(*p, i, c.host);
                else
                    p->parameters[i]->SetNormalised(c.normalised);
            }
            p->removeListener(&listener);

            for (int i = 0; i < 9; ++i)
            {
                SCOPED_TRACE(i);
                const auto& parameter = *p->parameters[i];
                const double v = parameter.value.load();
                switch (c.lands)
                {
                case Lands::unchanged:
                    EXPECT_EQ(std::memcmp(&v, &before[i], sizeof v), 0) << v;
                    EXPECT_FALSE(listener.heard(i));
                    break;
                case Lands::atMaximum:
                    EXPECT_EQ(v, parameter.maxValue);
                    break;
                case Lands::atMinimum:
                    EXPECT_EQ(v, parameter.minValue);
                    break;
                case Lands::nearMinimum:
                    EXPECT_GE(v, parameter.minValue);
                    EXPECT_LT(v, parameter.minValue + 1e-30);
                    break;
                }
            }
            if (c.lands == Lands::unchanged)
                EXPECT_EQ(p->messageQueue.size_approx(), 0u);
            EXPECT_TRUE(listener.allNormalised());

            // The engine takes whatever landed and still plays.
            setHost(*p, 7, 0.0f);
            const auto out = runWrapped(*p, bassSignal(22050, 44100.0), 512);
            EXPECT_TRUE(parametersInRange(*p));
            EXPECT_TRUE(saneOutput(out[0]));
        }
}

TEST(ProcessorBadInput, RecordValuesLandInsideTheRange)
{
    enum class Lands
    {
        unchanged,
        atMaximum,
        atMinimum,
    };
    struct Case
    {
        const char* text; // the Drive attribute
        Lands lands;
    };
    // The longest integer part a record's text has room for.
    const std::string longInteger(KymStateScanner::maxTextLength - 100, '7');
    const Case cases[] = {
        { "nan", Lands::unchanged },
        { "-NaN", Lands::unchanged },
        { "inf", Lands::atMaximum },
        { "-inf", Lands::atMinimum },
        { "1e30", Lands::atMaximum },
        { "-1e30", Lands::atMinimum },
        { "1e400", Lands::atMaximum },
        { "-1e400", Lands::atMinimum },
        { "1e-400", Lands::atMinimum },
        // Exponents and integer parts longer than an int can count.
        { "0e-1343293337060460502", Lands::atMinimum },
        { "5e99999999999999999999", Lands::atMaximum },
        { "-5e99999999999999999999", Lands::atMinimum },
        { "5e-99999999999999999999", Lands::atMinimum },
        { "1e2147483647", Lands::atMaximum },
        { "1e-2147483648", Lands::atMinimum },
        { nullptr, Lands::atMaximum }, // longInteger
    };
    for (const auto& c : cases)
    {
        const std::string text = c.text != nullptr ? c.text : longInteger;
        SCOPED_TRACE(text.substr(0, 40));
        auto p = makeProcessor(1, 1, 44100.0);
        p->parameters[2]->SetNormalised(0.6);
        const double before = p->parameters[2]->value.load();

        const std::string xml = "<ZOVARIDU><ProductInfo Product=\"KYM\"/><Settings Drive=\"" + text + "\"/></ZOVARIDU>";
        std::vector<uint8_t> record = { 0x56, 0x43, 0x32, 0x21 };
        const auto L = static_cast<uint32_t>(xml.size());
        for (int k = 0; k < 4; ++k)
            record.push_back(static_cast<uint8_t>(L >> (8 * k)));
        record.insert(record.end(), xml.begin(), xml.end());
        record.push_back(0);

        testing::internal::CaptureStderr();
        p->setStateInformation(record.data(), static_cast<int>(record.size()));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Settings loaded\n");

        const auto& drive = *p->parameters[2];
        const double v = drive.value.load();
        switch (c.lands)
        {
        case Lands::unchanged:
            EXPECT_EQ(v, before);
            break;
        case Lands::atMaximum:
            EXPECT_EQ(v, drive.maxValue);
            break;
        case Lands::atMinimum:
            EXPECT_EQ(v, drive.minValue);
            break;
        }
        runEmptyBlock(*p);
        EXPECT_TRUE(parametersInRange(*p));
    }

    // An integer part longer than any record holds still reads without
    // overflow.
    EXPECT_EQ(KymStateRecord::readStateValue(juce::String(std::string(2000000, '7'))),
              std::numeric_limits<double>::infinity());
}

//==============================================================================
// Audio input

TEST(ProcessorBadInput, BadSamplesNeverReachTheOutputAndTheCircuitRecovers)
{
    struct Case
    {
        const char* name;
        float value;
        int first, count; // where in the burst signal
    };
    const Case cases[] = {
        { "NaN", FloatLimits::quiet_NaN(), 3000, 3 },
        { "signalling -NaN", -FloatLimits::signaling_NaN(), 3000, 1 },
        { "a block of NaN", FloatLimits::quiet_NaN(), 2048, 512 },
        { "+Inf", FloatLimits::infinity(), 3000, 2 },
        { "-Inf", -FloatLimits::infinity(), 3001, 1 },
        { "+1e30", 1e30f, 3000, 4 },
        { "-1e30", -1e30f, 3000, 64 },
        { "largest", FloatLimits::max(), 3000, 1 },
        { "-largest", -FloatLimits::max(), 2048, 512 },
        { "denormals", FloatLimits::denorm_min(), 0, 4096 },
        { "-denormals", -FloatLimits::min() / 3.0f, 1000, 3000 },
    };
    constexpr int burstLength = 4096;
    constexpr int cleanLength = 44100 * 2;

    for (const auto& s : settings)
        for (const auto& c : cases)
        {
            SCOPED_TRACE(std::string(s.name) + ", " + c.name);
            auto p = processorWith(s);
            auto reference = processorWith(s);

            auto burst = bassSignal(burstLength, 44100.0);
            auto quiet = burst;
            for (int i = c.first; i < c.first + c.count; ++i)
            {
                burst[static_cast<size_t>(i)] = c.value;
                quiet[static_cast<size_t>(i)] = 0.0f;
            }
            const auto out = runWrapped(*p, burst, 512);
            EXPECT_TRUE(saneOutput(out[0]));
            runWrapped(*reference, quiet, 512);

            // A clean sine afterwards plays as if the bad samples had been
            // silence: at once for what is not a number, after the circuit's
            // own decay for what is only too loud.
            const auto clean = sine(cleanLength, 44100.0);
            const auto after = runWrapped(*p, clean, 512)[0];
            const auto expected = runWrapped(*reference, clean, 512)[0];
            EXPECT_TRUE(saneOutput(after));
            float peak = 0.0f;
            float drift = 0.0f;
            for (size_t i = cleanLength / 2; i < after.size(); ++i)
            {
                ASSERT_NE(std::fpclassify(after[i]), FP_SUBNORMAL) << i;
                peak = std::max(peak, std::abs(after[i]));
                drift = std::max(drift, std::abs(after[i] - expected[i]));
            }
            EXPECT_GT(peak, 1e-3f);
            EXPECT_LT(drift, 1e-4f * peak);
        }
}

//==============================================================================
// Blocks and layouts

TEST(ProcessorBadInput, BlocksOfAnyLengthInEveryLayout)
{
    struct Layout
    {
        int ins, outs;
    };
    const Layout layouts[] = { { 1, 1 }, { 1, 2 }, { 2, 2 } };
    const auto signal = bassSignal(20000, 44100.0);

    for (const auto& layout : layouts)
        for (const float quality : { 0.0f, 1.0f })
        {
            // The same signal in ordinary blocks is the yardstick.
            const Setting s { "", { 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.0f }, quality };
            auto reference = processorWith(s, layout.ins, layout.outs);
            const auto expected = runWrapped(*reference, signal, 512)[0];

            for (const int blockSize : { 0, 1, 8192, 8193, 20000 })
            {
                SCOPED_TRACE(std::to_string(layout.ins) + " in " + std::to_string(layout.outs) + " out, quality "
                             + std::to_string(quality) + ", blocks of " + std::to_string(blockSize));
                auto p = processorWith(s, layout.ins, layout.outs);
                const int frames = blockSize == 0 ? 0 : blockSize == 1 ? 3000 : 20000;
                const std::vector<float> in(signal.begin(), signal.begin() + frames);
                const auto out = runWrapped(*p, in, blockSize);
                ASSERT_EQ(out.size(), static_cast<size_t>(layout.outs));
                for (const auto& channel : out)
                {
                    ASSERT_EQ(channel.size(), static_cast<size_t>(frames));
                    if (frames > 0)
                        EXPECT_TRUE(sameBits(channel, std::vector<float>(expected.begin(), expected.begin() + frames)));
                }
            }
        }
}

TEST(ProcessorBadInput, BuffersWithoutChannelsAreLeftAlone)
{
    for (const float bypass : { 0.0f, 1.0f })
    {
        SCOPED_TRACE(bypass);
        auto p = makeProcessor(1, 2, 44100.0);
        setHost(*p, 7, bypass);
        setHost(*p, 2, 0.9f);
        juce::AudioBuffer<float> empty(0, 512);
        juce::MidiBuffer midi;
        p->processBlock(empty, midi);
        EXPECT_EQ(p->messageQueue.size_approx(), 0u); // the jobs still ran
        EXPECT_DOUBLE_EQ(p->engine.slots[KYM::Slot::drive].value, p->parameters[2]->value.load() / 10.0);
    }
}

//==============================================================================
// Host rates

TEST(ProcessorBadInput, RatesTheEngineCannotRunAtAreNeverTakenUp)
{
    const double inf = DoubleLimits::infinity();
    // Neither the first block nor a Quality change takes them up: the engine
    // keeps the known rate, whatever the host reports.
    const double rates[] = { 0.0,
                             1.0,
                             1000.0,
                             1e-300,
                             DoubleLimits::quiet_NaN(),
                             inf,
                             -inf,
                             1e12,
                             -48000.0,
                             DoubleLimits::denorm_min(),
                             DoubleLimits::max(),
                             7999.9,
                             384000.5 };
    const auto signal = bassSignal(22050, 44100.0);
    for (const double rate : rates)
    {
        SCOPED_TRACE(rate);
        auto p = makeProcessor(1, 2, 44100.0);
        p->setRateAndBufferSizeDetails(rate, 512);
        auto out = runWrapped(*p, signal, 512);
        EXPECT_TRUE(saneOutput(out[0]));
        EXPECT_TRUE(sameBits(out[1], out[0]));
        for (const float quality : { 1.0f, 0.0f })
        {
            setHost(*p, 8, quality);
            out = runWrapped(*p, signal, 512);
            EXPECT_EQ(p->currentSampleRate, 44100.0);
            EXPECT_EQ(p->engine.fs, 44100.0 * p->sampler.factor);
            EXPECT_TRUE(saneOutput(out[0]));
        }

        // Back at a real rate it plays as a processor that never saw the
        // odd one, once the restart has settled.
        p->setRateAndBufferSizeDetails(48000.0, 512);
        auto reference = makeProcessor(1, 2, 48000.0);
        const auto clean = sine(48000, 48000.0);
        const auto after = runWrapped(*p, clean, 512)[0];
        const auto expected = runWrapped(*reference, clean, 512)[0];
        EXPECT_EQ(p->engine.fs, 96000.0);
        const SecondHalf h = secondHalfOf(after, expected);
        EXPECT_GT(h.peak, 1e-3f);
        EXPECT_LT(h.drift, 1e-4f * h.peak);
    }
}
