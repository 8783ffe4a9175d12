#include "engine/TransferTable.h"

#include "engine/tf_TL074.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <memory>

namespace
{

struct TableDeleter
{
    void operator()(TransferTable* t) const noexcept { TransferTable::destroy(t); }
};
using TablePtr = std::unique_ptr<TransferTable, TableDeleter>;

class TransferTableTest : public ::testing::Test
{
protected:
    TablePtr t { TransferTable::createTL074() };

    double entry(int i) const { return tf_TL074[i] + -4.5; }

    // The lookup as written, with the last entry returned on its own.
    double reference(double v) const
    {
        double c = v;
        if (v > 4.0)
            c = 4.0;
        else if (v < -4.0)
            c = -4.0;
        const double position = (4.0 - c) * 1000.0;
        const int i = static_cast<int>(position);
        const double f = position - i;
        if (i == 8000)
            return entry(i);
        return (entry(i + 1) - entry(i)) * f + entry(i);
    }
};

TEST_F(TransferTableTest, DescriptorHoldsTheOffsetData)
{
    EXPECT_EQ(t->count, 8001);
    EXPECT_EQ(t->scale, 1000.0);
    EXPECT_EQ(t->max, 4.0);
    EXPECT_EQ(t->min, -4.0);
    for (int i = 0; i < 8001; ++i)
        ASSERT_EQ(t->table[i], entry(i)) << i;
}

TEST_F(TransferTableTest, LimitsAndSpecialValues)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct
    {
        double v;
        double expected;
    } cases[] = {
        { 4.0000001, 2.976274 },
        { 1e300, 2.976274 },
        { inf, 2.976274 },
        { std::numeric_limits<double>::max(), 2.976274 },
        { 4.0, entry(0) },
        { 0.0, 4.500011 + -4.5 }, // 1.09999999997612e-05
        { -0.0, 4.500011 + -4.5 },
        { -4.0, -2.968113 },
        { -4.0 + 1e-16, -2.968113 }, // position rounds up to the last entry
        { -4.0000001, -2.968113 },
        { -inf, -2.968113 },
        { std::numeric_limits<double>::lowest(), -2.968113 },
        // Not a number takes the upper clamp.
        { nan, 2.976274 },
        { -nan, 2.976274 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.v);
        EXPECT_EQ(t->lookup(c.v), c.expected);
    }
    EXPECT_EQ(t->lookup(0.0), 1.09999999997612e-05);
}

TEST_F(TransferTableTest, FiniteInputsFollowTheWrittenInterpolationBitForBit)
{
    // A sweep off the entry grid, plus the neighbours of every grid point near
    // the ends where rounding decides the index.
    for (int n = 0; n <= 200000; ++n)
    {
        const double v = -4.2 + n * 4.2e-5 * 1.0000003;
        ASSERT_EQ(t->lookup(v), reference(v)) << v;
    }
    for (double v : { 4.0, 3.999, 0.001, 0.0, -0.001, -3.999, -4.0 })
    {
        const double below = std::nextafter(v, -10.0);
        const double above = std::nextafter(v, 10.0);
        EXPECT_EQ(t->lookup(below), reference(below)) << below;
        EXPECT_EQ(t->lookup(above), reference(above)) << above;
    }
    const double half = t->lookup(0.0005);
    EXPECT_GT(half, entry(4000));
    EXPECT_LT(half, entry(3999));
}

} // namespace
