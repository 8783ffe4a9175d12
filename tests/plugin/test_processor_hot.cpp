// Hot signals, as float hosts carry them, reach the circuit unchanged: the
// road holds only input that no real signal reaches (beyond +60 dBFS).

#include "test_processor_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

using namespace kymtest;

TEST(ProcessorHotSignals, MatchTheUnheldArithmeticBitForBit)
{
    constexpr double rate = 44100.0;
    constexpr int n = 6000;
    for (const float amplitude : { 31.622777f, 1000.0f }) // +30 dBFS, and +60 dBFS where the hold starts
        for (const float inputHost : { 0.5f, 1.0f })      // Input 1 and 2
        {
            SCOPED_TRACE(std::to_string(amplitude) + " with the Input host value " + std::to_string(inputHost));
            std::vector<float> saw(n);
            for (int i = 0; i < n; ++i)
            {
                const double phase = 110.0 * i / rate;
                saw[static_cast<size_t>(i)] = static_cast<float>(amplitude * 2.0 * (phase - std::floor(phase + 0.5)));
            }
            saw[100] = amplitude;
            saw[101] = -amplitude;

            auto p = makeProcessor(1, 1, rate);
            setHost(*p, 0, inputHost);
            const auto out = runInBlocks(*p, saw, 512);

            // The same parts driven by hand, with the calls the processor
            // made: construction, then the Input job's update.
            auto sampler = std::make_unique<libqor::blockUpDownsampling>();
            auto engine = std::make_unique<KYM>();
            sampler->setFactor(2);
            engine->updateSamplerate(2.0 * rate);
            engine->updateParameters();
            engine->updateParameters();
            const double gain = 2.0 * inputHost;
            std::vector<double> in(n), up(static_cast<size_t>(2 * n)), down(n);
            for (int i = 0; i < n; ++i)
                in[static_cast<size_t>(i)] = static_cast<double>(saw[static_cast<size_t>(i)]) * gain;
            (sampler.get()->*sampler->upSlot)(in.data(), up.data(), n);
            for (auto& s : up)
                s = engine->processSample(s);
            (sampler.get()->*sampler->downSlot)(up.data(), down.data(), n);

            for (int i = 0; i < n; ++i)
                ASSERT_EQ(out[static_cast<size_t>(i)], static_cast<float>(down[static_cast<size_t>(i)])) << i;
        }
}
