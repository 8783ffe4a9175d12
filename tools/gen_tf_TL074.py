#!/usr/bin/env python3
"""Writes engine/tf_TL074.cpp, the op-amp core transfer curve.

Entry i holds the saturated core value for input +4 - i/1000 (8001 entries,
+4.0 down to -4.0), offset by +4.5 so the data stay positive. The curve is a
monotone piecewise cubic Hermite through the measured points below. The
derivatives follow Fritsch-Carlson (weighted harmonic mean of the neighbouring
secants) in the linear middle; the knee points at +-2.7 take the slope of the
linear side, so the curve stays at slope 1 right up to the knee; beyond the
knees the derivatives are chosen so the slope only falls towards the limits
(see shape_knees), which also leaves the -4.0 end a small positive slope: the
negative side is still falling there.

Usage: gen_tf_TL074.py [output path]   (default: engine/tf_TL074.cpp)
"""

import os
import sys

COUNT = 8001
SCALE = 1000  # entries per input unit
TOP = 4.0     # input of entry 0

# (input, value + 4.5). Listed with 6 decimals; stored exactly as written.
POINTS = [
    (-4.0, "1.531887"),
    (-3.5, "1.537613"),
    (-3.0, "1.576525"),
    (-2.9, "1.616419"),
    (-2.8, "1.700726"),
    (-2.7, "1.800110"),
    (-2.5, "2.00009"),
    (-2.0, "2.500074"),
    (-1.5, "3.000058"),
    (-1.0, "3.500043"),
    (-0.5, "4.000027"),
    (0.0, "4.500011"),
    (0.5, "4.999995"),
    (1.0, "5.499979"),
    (1.5, "5.999963"),
    (2.0, "6.499947"),
    (2.5, "6.999931"),
    (2.7, "7.199911"),
    (2.8, "7.299285"),
    (2.9, "7.383450"),
    (3.0, "7.423193"),
    (3.5, "7.470361"),
    (3.9, "7.476274"),
    (4.0, "7.476274"),
]

KNEES = (-2.7, 2.7)


def entry_of(x):
    return int(round((TOP - x) * SCALE))


def derivatives(xs, ys):
    n = len(xs)
    h = [xs[k + 1] - xs[k] for k in range(n - 1)]
    delta = [(ys[k + 1] - ys[k]) / h[k] for k in range(n - 1)]
    d = [0.0] * n
    for k in range(1, n - 1):
        if delta[k - 1] <= 0.0 or delta[k] <= 0.0:
            d[k] = 0.0
        else:
            w1 = 2.0 * h[k] + h[k - 1]
            w2 = h[k] + 2.0 * h[k - 1]
            d[k] = (w1 + w2) / (w1 / delta[k - 1] + w2 / delta[k])
    for k in range(n):
        if xs[k] in KNEES:
            # Slope of the segment on the linear (inner) side.
            d[k] = delta[k - 1] if xs[k] > 0 else delta[k]
    d[-1] = 0.0
    shape_knees(xs, delta, d)
    # Fritsch-Carlson bound: keeps every segment monotone.
    for k in range(n - 1):
        if delta[k] == 0.0:
            d[k] = d[k + 1] = 0.0
            continue
        d[k] = min(d[k], 3.0 * delta[k])
        d[k + 1] = min(d[k + 1], 3.0 * delta[k])
    return d


def shape_knees(xs, delta, d):
    """Beyond the knees the slope should only fall towards the limits.

    A cubic Hermite segment has a monotone derivative when its secant lies
    between (2*d0 + d1)/3 and (d0 + 2*d1)/3. Each knot outside the knees
    (and the free -4.0 end) is moved, sweep after sweep, to the middle of the
    range its two segments allow, so the slope does not bulge above its
    neighbours the way plain Fritsch-Carlson lets it in the tight knee.
    """
    free = [k for k in range(len(xs) - 1)
            if (xs[k] < KNEES[0] or xs[k] > KNEES[1]) and delta[k] > 0.0]
    for _ in range(200):
        for k in free:
            lo, hi = 0.0, float("inf")
            if k > 0:
                a = 3.0 * delta[k - 1] - 2.0 * d[k - 1]
                b = (3.0 * delta[k - 1] - d[k - 1]) / 2.0
                lo, hi = max(lo, min(a, b)), min(hi, max(a, b))
            a = (3.0 * delta[k] - d[k + 1]) / 2.0
            b = 3.0 * delta[k] - 2.0 * d[k + 1]
            lo, hi = max(lo, min(a, b)), min(hi, max(a, b))
            if lo <= hi:
                d[k] = 0.5 * (lo + hi)


def build():
    xs = [p[0] for p in POINTS]
    ys = [float(p[1]) for p in POINTS]
    d = derivatives(xs, ys)
    values = [None] * COUNT
    for k in range(len(xs) - 1):
        ia, ib = entry_of(xs[k]), entry_of(xs[k + 1])  # ia > ib
        h = xs[k + 1] - xs[k]
        for i in range(ib, ia + 1):
            t = (ia - i) / (ia - ib)
            t2 = t * t
            t3 = t2 * t
            h00 = 2.0 * t3 - 3.0 * t2 + 1.0
            h10 = t3 - 2.0 * t2 + t
            h01 = -2.0 * t3 + 3.0 * t2
            h11 = t3 - t2
            values[i] = (h00 * ys[k] + h10 * h * d[k]
                         + h01 * ys[k + 1] + h11 * h * d[k + 1])
    # The flat top and the measured points hold exactly their measured values.
    top = float(POINTS[-1][1])
    for i in range(0, entry_of(3.9) + 1):
        values[i] = top
    for x, y in POINTS:
        values[entry_of(x)] = float(y)
    return values


def check(values):
    for i in range(COUNT - 1):
        assert values[i] >= values[i + 1], "falls at entry %d" % i
    lo, hi = entry_of(2.7), entry_of(-2.7)
    worst_value = worst_slope = 0.0
    for i in range(lo, hi + 1):
        x = TOP - i / SCALE
        worst_value = max(worst_value, abs(values[i] - 4.5 - x))
        if i < hi:
            slope = (values[i] - values[i + 1]) * SCALE
            worst_slope = max(worst_slope, abs(slope - 1.0))
    assert worst_value <= 2e-4 and worst_slope <= 2e-4, (worst_value, worst_slope)
    return worst_value, worst_slope


def write(values, path):
    lines = [
        "// Generated by tools/gen_tf_TL074.py; edit the generator, not this file.",
        "// Op-amp core transfer curve: entry i is the core value for input",
        "// +4 - i/1000, offset by +4.5.",
        "",
        '#include "engine/tf_TL074.h"',
        "",
        "// Four values a line, as the generator writes them.",
        "// clang-format off",
        "const double tf_TL074[8001] = {",
    ]
    per_line = 4
    for start in range(0, COUNT, per_line):
        chunk = values[start:start + per_line]
        lines.append("    " + ", ".join("%.17g" % v for v in chunk) + ",")
    lines.append("};")
    lines.append("// clang-format on")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "engine", "tf_TL074.cpp")
    values = build()
    worst_value, worst_slope = check(values)
    write(values, path)
    print("wrote %s (|value - input| <= %.3g, |slope - 1| <= %.3g on -2.7..2.7)"
          % (path, worst_value, worst_slope))


if __name__ == "__main__":
    main()
