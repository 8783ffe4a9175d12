#include "engine/tf_TL074.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{

int entryOf(double input)
{
    return static_cast<int>(std::lround((4.0 - input) * 1000.0));
}

struct Row
{
    double input;
    double value; // table value, i.e. after the -4.5 offset
    double tolerance;
};

// The measured points of the op-amp curve are stored exactly; the knee points
// are met to the decimals they were measured to.
const Row rows[] = {
    { +4.0, 7.476274 - 4.5, 0 }, { +3.5, 7.470361 - 4.5, 0 }, { +3.0, 7.423193 - 4.5, 0 }, { +2.5, 6.999931 - 4.5, 0 },
    { +2.0, 6.499947 - 4.5, 0 }, { +1.5, 5.999963 - 4.5, 0 }, { +1.0, 5.499979 - 4.5, 0 }, { +0.5, 4.999995 - 4.5, 0 },
    { 0.0, 4.500011 - 4.5, 0 },  { -0.5, 4.000027 - 4.5, 0 }, { -1.0, 3.500043 - 4.5, 0 }, { -1.5, 3.000058 - 4.5, 0 },
    { -2.0, 2.500074 - 4.5, 0 }, { -2.5, 2.00009 - 4.5, 0 },  { -3.0, 1.576525 - 4.5, 0 }, { -3.5, 1.537613 - 4.5, 0 },
    { -4.0, 1.531887 - 4.5, 0 }, { +2.7, 2.699911, 5e-7 },    { +2.8, 2.799285, 5e-7 },    { +2.9, 2.883450, 5e-7 },
    { -2.7, -2.699890, 5e-7 },   { -2.8, -2.799274, 5e-7 },   { -2.9, -2.883581, 5e-7 },
};

TEST(tf_TL074, PassesThroughEveryListedPoint)
{
    for (const Row& r : rows)
    {
        SCOPED_TRACE(r.input);
        const double value = tf_TL074[entryOf(r.input)] + -4.5;
        if (r.tolerance == 0)
            EXPECT_EQ(value, r.value);
        else
            EXPECT_NEAR(value, r.value, r.tolerance);
    }
}

TEST(tf_TL074, NeverFallsAsTheInputRises)
{
    for (int i = 0; i < 8000; ++i)
        ASSERT_GE(tf_TL074[i], tf_TL074[i + 1]) << "entry " << i;
}

TEST(tf_TL074, LinearWithSlopeOneBetweenTheKnees)
{
    double worstValue = 0, worstSlope = 0;
    for (int i = entryOf(2.7); i <= entryOf(-2.7); ++i)
    {
        const double input = 4.0 - i / 1000.0;
        worstValue = std::max(worstValue, std::fabs(tf_TL074[i] - 4.5 - input));
        if (i < entryOf(-2.7))
            worstSlope = std::max(worstSlope, std::fabs((tf_TL074[i] - tf_TL074[i + 1]) * 1000.0 - 1.0));
    }
    EXPECT_LE(worstValue, 2e-4);
    EXPECT_LE(worstSlope, 2e-4);
}

TEST(tf_TL074, FlatFromPositiveLimitAndStillFallingAtTheNegativeEnd)
{
    for (int i = 0; i <= entryOf(3.9); ++i)
        ASSERT_EQ(tf_TL074[i], 7.476274) << "entry " << i;
    EXPECT_GT(tf_TL074[entryOf(3.9) + 1], 0.0);
    EXPECT_LT(tf_TL074[entryOf(3.9) + 1], 7.476274);
    EXPECT_GT(tf_TL074[7999], tf_TL074[8000]);
}

} // namespace
