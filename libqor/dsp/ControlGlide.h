#pragma once

#include <algorithm>

namespace libqor::dsp
{

// A control on its way to a new position, as a pot turned quickly: a fixed
// number of steps, each a position the pot passes on the way. A glide from
// rest starts and ends gently (an S-shaped sweep); a new target met on the
// way is taken up at the speed the pot already has, so automation that
// moves on every block is followed smoothly instead of by a series of fresh
// starts. The positions stay between where the glide began and its target,
// and the last step lands exactly on the target.
class ControlGlide
{
public:
    // At rest at position.
    void jumpTo(double position) noexcept
    {
        from = position;
        to = position;
        now = position;
        speed = 0.0;
        startSpeed = 0.0;
        step = 0;
        steps = 0;
    }

    // From where it is now (mid-glide too, at its present speed) to
    // position, over `count` steps.
    void glideTo(double position, int count) noexcept
    {
        from = now;
        startSpeed = speed;
        to = position;
        step = 0;
        steps = std::max(count, 1);
    }

    bool moving() const noexcept { return step < steps; }

    // The next position on the way; the target on the last step.
    double advance() noexcept
    {
        if (!moving())
            return now;
        ++step;
        if (step == steps)
        {
            now = to;
            speed = 0.0;
            return now;
        }
        // A cubic from (from, startSpeed) to (to, at rest), in steps.
        const double n = static_cast<double>(steps);
        const double t = static_cast<double>(step) / n;
        const double t2 = t * t;
        const double t3 = t2 * t;
        const double h00 = 2.0 * t3 - 3.0 * t2 + 1.0;
        const double h10 = t3 - 2.0 * t2 + t;
        const double h01 = 3.0 * t2 - 2.0 * t3;
        const double position = from * h00 + n * startSpeed * h10 + to * h01;
        speed =
            (from * (6.0 * t2 - 6.0 * t) + n * startSpeed * (3.0 * t2 - 4.0 * t + 1.0) + to * (6.0 * t - 6.0 * t2)) / n;
        now = std::clamp(position, std::min(from, to), std::max(from, to));
        return now;
    }

    double position() const noexcept { return now; }
    double target() const noexcept { return to; }

private:
    double from = 0.0;
    double to = 0.0;
    double now = 0.0;
    double speed = 0.0;      // position per step
    double startSpeed = 0.0; // the speed the glide began with
    int step = 0;
    int steps = 0;
};

} // namespace libqor::dsp
