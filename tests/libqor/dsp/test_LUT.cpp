#include "libqor/dsp/LUT.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace
{

// Five entries for inputs 2, 1, 0, -1, -2.
const double entries[5] = { 10.0, 8.0, 5.0, 1.0, 0.5 };

TEST(LUT, ProcessLinear)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct
    {
        double x, expected;
    } cases[] = {
        { 2.0, 10.0 },
        { 7.0, 10.0 },
        { inf, 10.0 },
        { nan, 10.0 },
        { -2.0, 0.5 },
        { -7.0, 0.5 },
        { -inf, 0.5 },
        { 1.0, 8.0 },
        { 0.5, 6.5 },
        { -0.25, 4.0 },
        { -1.5, 0.75 },
        // Just inside the bounds. Below, 2 - x rounds to 4: the position lands
        // on the last entry, which is returned without reading past it.
        { std::nextafter(2.0, 0.0), (8.0 - 10.0) * (2.0 - std::nextafter(2.0, 0.0)) + 10.0 },
        { std::nextafter(-2.0, 0.0), 0.5 },
    };
    libqor::LUT lut(entries, 5, 2.0, -2.0, 2.0, 1.0);
    for (const auto& c : cases)
    {
        double x = c.x;
        (lut.*lut.processFn)(x);
        EXPECT_EQ(x, c.expected) << c.x;
    }
}

TEST(LUT, RemembersTheLastInterpolation)
{
    libqor::LUT lut(entries, 5, 2.0, -2.0, 2.0, 1.0);
    double in = -0.25, out = 0.0;
    (lut.*lut.triodeFn)(in, out);
    EXPECT_EQ(in, -0.25);
    EXPECT_EQ(out, 4.0);
    EXPECT_EQ(lut.position, 2.25);
    EXPECT_EQ(lut.fraction, 0.25);
    EXPECT_EQ(lut.index, 2);
    EXPECT_EQ(lut.y0, 5.0);
    EXPECT_EQ(lut.y1, 1.0);
}

TEST(LUT, BoundsWiderThanTheTableStayInside)
{
    // upper above top and lower past the last entry: the index is held to the
    // table instead of reading outside it.
    libqor::LUT lut(entries, 5, 3.0, -3.0, 2.0, 1.0);
    const struct
    {
        double x, expected;
    } cases[] = { { 2.5, 10.0 }, { -2.5, 0.5 }, { -2.0, 0.5 } };
    for (const auto& c : cases)
    {
        double x = c.x;
        lut.process_linear(x);
        EXPECT_EQ(x, c.expected) << c.x;
    }
}

} // namespace
