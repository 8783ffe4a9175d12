// A circuit whose state has turned non-finite (or too large for a float) is
// caught at the end of the block: that block leaves silent, and the circuit
// starts again from clear histories instead of sending NaN or infinities to
// the host for good.

#include "test_processor_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

using namespace kymtest;

TEST(ProcessorRecovery, NonFiniteStateGivesOneSilentBlockThenPlaysAgain)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case
    {
        const char* name;
        std::function<void(KymAudioProcessor&)> poison;
    };
    const Case cases[] = {
        { "tone section NaN", [=](KymAudioProcessor& p) { p.engine.tonestage.section.s[2] = nan; } },
        { "input high-pass +Inf", [=](KymAudioProcessor& p) { p.engine.inputHighpass.st = inf; } },
        { "drive stage NaN", [=](KymAudioProcessor& p) { p.engine.drive.s1 = nan; } },
        { "output high-pass -Inf", [=](KymAudioProcessor& p) { p.engine.outputHighpass.st = -inf; } },
        // Finite, but its output no longer fits a float.
        { "blend state 1e300", [](KymAudioProcessor& p) { p.engine.blend.st = 1e300; } },
        { "down-sampler NaN", [=](KymAudioProcessor& p) { p.sampler.down1.savedElement1 = nan; } },
        { "down-sampler section NaN",
          [=](KymAudioProcessor& p) { p.sampler.down1.cascadeB->sections[0]->pairOut = libqor::Vec2(nan, nan); } },
    };

    constexpr double rate = 48000.0;
    constexpr int block = 512;
    const auto signal = bassSignal(static_cast<int>(rate * 2.5), rate);
    const int poisonedBlock = static_cast<int>(rate * 0.5) / block;
    const auto from = [&](int b) { return std::vector<float>(signal.begin() + b * block, signal.end()); };

    for (const int quality : { 0, 1 })
        for (const auto& c : cases)
        {
            SCOPED_TRACE(std::string(c.name) + ", Quality " + std::to_string(quality));
            auto p = makeProcessor(1, 2, rate);
            setHost(*p, 2, 0.7f);
            setHost(*p, 8, static_cast<float>(quality));
            std::vector<float> out;
            for (int b = 0; b < poisonedBlock; ++b)
                runBlock(*p, signal.data() + b * block, block, out);

            c.poison(*p);
            std::vector<float> left, right;
            runBlock(*p, signal.data() + poisonedBlock * block, block, left, &right);
            for (int i = 0; i < block; ++i)
            {
                ASSERT_EQ(left[static_cast<size_t>(i)], 0.0f) << i;
                ASSERT_EQ(right[static_cast<size_t>(i)], 0.0f) << i;
            }

            // From the next block on it plays as a processor that has only
            // ever heard what came after, once its restart has settled.
            const auto after = runInBlocks(*p, from(poisonedBlock + 1), block);
            auto reference = makeProcessor(1, 2, rate);
            setHost(*reference, 2, 0.7f);
            setHost(*reference, 8, static_cast<float>(quality));
            const auto expected = runInBlocks(*reference, from(poisonedBlock + 1), block);
            for (size_t i = 0; i < after.size(); ++i)
                ASSERT_TRUE(std::isfinite(after[i])) << i;
            const SecondHalf h = secondHalfOf(after, expected);
            EXPECT_GT(h.peak, 1e-3f);
            EXPECT_LT(h.drift, 1e-4f * h.peak);
        }
}
