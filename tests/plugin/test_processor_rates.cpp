// Host rates: every rate the engine can run at is taken up at once, the
// oversampling comes down where the rate would take the engine past its
// range, and the sound stays the same from one rate to the next.

#include "test_processor_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace kymtest;

namespace
{

struct Response
{
    double db; // level of the fundamental over the input's
    bool finite;
};

// A sine at hz through a 1-in/1-out processor at this host rate and Quality,
// measured over whole periods once the circuit has settled.
Response responseOf(double rate, int quality, double hz, double amplitude)
{
    auto p = makeProcessor(1, 1, rate);
    setHost(*p, 8, static_cast<float>(quality));
    const int settle = static_cast<int>(rate * 0.5);
    const int measured = static_cast<int>(std::lround(std::floor(hz * 0.25) * rate / hz));
    std::vector<float> in(static_cast<size_t>(settle + measured));
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<float>(amplitude * std::sin(2.0 * M_PI * hz * static_cast<double>(i) / rate));
    const auto out = runInBlocks(*p, in, 512);

    Response r { 0.0, true };
    double c = 0.0;
    double s = 0.0;
    for (size_t i = 0; i < out.size(); ++i)
    {
        r.finite = r.finite && std::isfinite(out[i]);
        if (i < static_cast<size_t>(settle))
            continue;
        const double phase = 2.0 * M_PI * hz * static_cast<double>(i) / rate;
        c += out[i] * std::cos(phase);
        s += out[i] * std::sin(phase);
    }
    r.db = 20.0 * std::log10(2.0 * std::sqrt(c * c + s * s) / measured / amplitude);
    return r;
}

} // namespace

// A rate taken up with the engine tuned for another one plays the tone stage
// and the networks at the wrong frequencies: several dB off at 1 kHz.
TEST(ProcessorRates, ResponseAgreesWithThatAt48kHz)
{
    const double rates[] = { 8000.0,  11025.0, 16000.0,  22050.0,  32000.0,  44100.0,
                             88200.0, 96000.0, 176400.0, 192000.0, 352800.0, 384000.0 };
    for (const int quality : { 0, 1 })
        for (const double hz : { 100.0, 1000.0 })
            for (const double amplitude : { 0.1, 0.5 }) // nearly linear, and into the curve
            {
                const Response reference = responseOf(48000.0, quality, hz, amplitude);
                for (const double rate : rates)
                {
                    SCOPED_TRACE("Quality " + std::to_string(quality) + ", " + std::to_string(hz) + " Hz at "
                                 + std::to_string(amplitude) + ", host " + std::to_string(rate));
                    const Response r = responseOf(rate, quality, hz, amplitude);
                    EXPECT_TRUE(r.finite);
                    EXPECT_NEAR(r.db, reference.db, 0.5);
                }
            }
}

TEST(ProcessorRates, FactorComesDownWhereTheEngineWouldRunTooFast)
{
    struct Case
    {
        double hostRate;
        int quality;
        int factor;
    };
    const Case cases[] = {
        { 8000.0, 0, 2 },   { 8000.0, 1, 4 },   { 48000.0, 1, 4 },  { 96000.0, 1, 4 },
        { 96001.0, 1, 2 },  { 176400.0, 1, 2 }, { 192000.0, 0, 2 }, { 192000.0, 1, 2 },
        { 192001.0, 0, 1 }, { 352800.0, 0, 1 }, { 352800.0, 1, 1 }, { 384000.0, 1, 1 },
    };
    const auto signal = bassSignal(4096, 44100.0);
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.hostRate) + " Hz, Quality " + std::to_string(c.quality));
        auto p = makeProcessor(1, 1, c.hostRate);
        setHost(*p, 8, static_cast<float>(c.quality));
        const auto out = runInBlocks(*p, signal, 1024);
        EXPECT_EQ(p->sampler.factor, c.factor);
        EXPECT_EQ(p->engine.fs, c.hostRate * c.factor);
        EXPECT_EQ(p->oversamplingFactor, c.quality == 0 ? 2.0 : 4.0); // what Quality asks for stays
        for (float y : out)
            ASSERT_TRUE(std::isfinite(y));

        // Quality going back and forth at that rate keeps to the same rule.
        setHost(*p, 8, static_cast<float>(1 - c.quality));
        runEmptyBlock(*p);
        setHost(*p, 8, static_cast<float>(c.quality));
        runEmptyBlock(*p);
        EXPECT_EQ(p->engine.fs, c.hostRate * c.factor);
    }
}

TEST(ProcessorRates, FollowsTheHostFromRateToRate)
{
    struct Step
    {
        double hostRate;
        double engineRate; // at Quality 1
    };
    const Step steps[] = { { 96000.0, 384000.0 }, { 8000.0, 32000.0 },    { 192000.0, 384000.0 },
                           { 22050.0, 88200.0 },  { 384000.0, 384000.0 }, { 44100.0, 176400.0 } };
    auto p = makeProcessor(1, 1, 48000.0);
    setHost(*p, 8, 1.0f);
    for (const auto& s : steps)
    {
        SCOPED_TRACE(s.hostRate);
        p->setRateAndBufferSizeDetails(s.hostRate, 512);
        const auto out = runInBlocks(*p, bassSignal(2048, s.hostRate), 512);
        EXPECT_EQ(p->currentSampleRate, s.hostRate);
        EXPECT_EQ(p->engine.fs, s.engineRate);
        for (float y : out)
            ASSERT_TRUE(std::isfinite(y));
    }
}
