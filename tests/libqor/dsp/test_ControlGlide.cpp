#include "libqor/dsp/ControlGlide.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using libqor::dsp::ControlGlide;

namespace
{

std::vector<double> run(ControlGlide& g)
{
    std::vector<double> positions;
    while (g.moving())
        positions.push_back(g.advance());
    return positions;
}

} // namespace

// From rest: every step between start and target, monotone, an S-shaped
// sweep (slow at both ends), landing exactly on the target after its steps.
TEST(ControlGlide, FromRestSweepsToTheTargetInItsSteps)
{
    struct Row
    {
        double from, to;
        int steps;
    };
    for (const Row r : { Row { 0.0, 1.0, 100 }, Row { 1.0, 0.3, 37 }, Row { 0.25, 0.2500001, 5 }, Row { 2.0, 0.0, 1 } })
    {
        SCOPED_TRACE(testing::Message() << r.from << " -> " << r.to << " in " << r.steps);
        ControlGlide g;
        g.jumpTo(r.from);
        g.glideTo(r.to, r.steps);
        const auto p = run(g);
        ASSERT_EQ(p.size(), static_cast<size_t>(r.steps));
        EXPECT_EQ(p.back(), r.to);
        EXPECT_EQ(g.position(), r.to);
        double last = r.from;
        for (const double x : p)
        {
            EXPECT_GE(x, std::min(r.from, r.to));
            EXPECT_LE(x, std::max(r.from, r.to));
            EXPECT_GE((x - last) * (r.to - r.from), 0.0); // never back
            last = x;
        }
        if (r.steps >= 10) // gentle ends: the first and last steps are the smallest
        {
            const double middle = std::abs(p[p.size() / 2] - p[p.size() / 2 - 1]);
            EXPECT_LT(std::abs(p[0] - r.from), middle);
            EXPECT_LT(std::abs(p.back() - p[p.size() - 2]), middle);
        }
    }
}

// A new target on the way is taken up from where the glide is, at the speed
// it has: no jump in position and no jump in speed.
TEST(ControlGlide, RetargetContinuesFromWhereItIs)
{
    ControlGlide g;
    g.jumpTo(0.0);
    g.glideTo(1.0, 100);
    double previous = 0.0, position = 0.0;
    for (int k = 0; k < 40; ++k)
    {
        previous = position;
        position = g.advance();
    }
    const double speed = position - previous;
    g.glideTo(0.8, 100);
    EXPECT_EQ(g.position(), position);
    const double next = g.advance();
    EXPECT_NEAR(next - position, speed, 0.1 * speed); // the pot keeps its pace
    const auto rest = run(g);
    EXPECT_EQ(rest.back(), 0.8);
    for (const double x : rest)
        EXPECT_LE(x, 0.8); // never beyond the new target

    // Reversed: it turns back without passing where it was when the new target came.
    g.jumpTo(0.0);
    g.glideTo(1.0, 50);
    for (int k = 0; k < 25; ++k)
        position = g.advance();
    g.glideTo(0.0, 50);
    for (const double x : run(g))
        EXPECT_LE(x, position);
    EXPECT_EQ(g.position(), 0.0);
}

TEST(ControlGlide, JumpAndSingleStep)
{
    ControlGlide g;
    g.jumpTo(0.4);
    EXPECT_FALSE(g.moving());
    EXPECT_EQ(g.advance(), 0.4);
    g.glideTo(0.9, 0); // no steps asked: one
    EXPECT_TRUE(g.moving());
    EXPECT_EQ(g.advance(), 0.9);
    EXPECT_FALSE(g.moving());
    g.glideTo(0.1, 10);
    g.advance();
    g.jumpTo(0.7); // drops the glide
    EXPECT_FALSE(g.moving());
    EXPECT_EQ(g.position(), 0.7);
    EXPECT_EQ(g.target(), 0.7);
}
