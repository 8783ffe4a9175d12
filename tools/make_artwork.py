#!/usr/bin/python3
"""Draws the editor's six pictures into resources/ and checks them.

Run from anywhere:  /usr/bin/python3 tools/make_artwork.py [output-dir]

Everything is drawn from code (no source images), lit from the top left,
anti-aliased by supersampling, and written byte-identically on every run:
the only randomness is a seeded generator for the brushed-metal grain.

Strips hold their frames stacked vertically, the top frame for value 0.
The film strips are 8-bit palette pictures whose tRNS chunk carries one
alpha per palette entry, so soft shadows and edges survive the palette;
the lamp is RGBA. The script re-reads what it wrote and exits non-zero if
a picture has the wrong mode, size or frame layout.
"""

import math
import os
import random
import sys

from PIL import Image, ImageDraw, ImageFilter, ImageFont

FONT_BOLD = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
FONT_BOOK = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"

SS = 4  # supersampling factor for shapes

# Light from the top left and somewhat above the panel.
_l = (-1.0, -1.0, 1.35)
_ln = math.sqrt(sum(c * c for c in _l))
LIGHT = tuple(c / _ln for c in _l)
_h = (LIGHT[0], LIGHT[1], LIGHT[2] + 1.0)
_hn = math.sqrt(sum(c * c for c in _h))
HALF = tuple(c / _hn for c in _h)

INK = (226, 220, 204)        # label print
INK_DIM = (160, 156, 146)
AMBER = (255, 168, 48)
AMBER_DEEP = (214, 110, 22)

# (name, width, height, frames, mode)
LAYOUT = [
    ("background.png", 420, 300, 1, "P"),
    ("knob.png", 80, 6480, 81, "P"),
    ("bar.png", 184, 808, 101, "P"),
    ("switch.png", 32, 64, 2, "P"),
    ("footswitch.png", 80, 160, 2, "P"),
    ("lamp.png", 27, 54, 2, "RGBA"),
]


# ---------------------------------------------------------------- helpers

def clamp(v, lo=0.0, hi=1.0):
    return lo if v < lo else hi if v > hi else v


def smoothstep(e0, e1, x):
    t = clamp((x - e0) / (e1 - e0))
    return t * t * (3.0 - 2.0 * t)


def to8(v):
    return int(clamp(v, 0.0, 255.0) + 0.5)


def norm3(x, y, z):
    n = math.sqrt(x * x + y * y + z * z)
    return (x / n, y / n, z / n)


def lit(n, base, amb, dif, spec=0.0, shin=24.0):
    """Blinn-Phong for one surface normal; base is an RGB triple 0..255."""
    d = max(0.0, n[0] * LIGHT[0] + n[1] * LIGHT[1] + n[2] * LIGHT[2])
    s = max(0.0, n[0] * HALF[0] + n[1] * HALF[1] + n[2] * HALF[2]) ** shin
    k = amb + dif * d
    return tuple(c * k + 255.0 * spec * s for c in base)


def field(w, h, fn, ss=SS):
    """Evaluates fn(x, y) -> RGBA floats at sub-pixel centres (in output
    pixel units) and box-filters down to w x h."""
    big_w, big_h = w * ss, h * ss
    inv = 1.0 / ss
    data = []
    for j in range(big_h):
        y = (j + 0.5) * inv
        for i in range(big_w):
            r, g, b, a = fn((i + 0.5) * inv, y)
            data.append((to8(r), to8(g), to8(b), to8(a)))
    img = Image.new("RGBA", (big_w, big_h))
    img.putdata(data)
    if ss == 1:
        return img
    return img.resize((w, h), Image.Resampling.BOX)


def supersampled(w, h, draw_fn, ss=SS):
    """Lets draw_fn(ImageDraw, scale) draw on a big RGBA canvas and returns
    it box-filtered to w x h."""
    big = Image.new("RGBA", (w * ss, h * ss), (0, 0, 0, 0))
    draw_fn(ImageDraw.Draw(big), float(ss))
    return big.resize((w, h), Image.Resampling.BOX)


def shadow_of(layer, dx, dy, blur, strength):
    """A soft black shadow of layer's silhouette, offset down-right."""
    alpha = layer.getchannel("A")
    w, h = layer.size
    # Moved on the supersampled grid, so offsets may be fractional.
    big = alpha.resize((w * SS, h * SS), Image.Resampling.BICUBIC)
    moved = Image.new("L", big.size, 0)
    moved.paste(big, (int(round(dx * SS)), int(round(dy * SS))))
    shifted = moved.resize((w, h), Image.Resampling.BOX)
    shifted = shifted.filter(ImageFilter.GaussianBlur(blur))
    shifted = shifted.point(lambda v: int(v * strength + 0.5))
    out = Image.new("RGBA", (w, h), (0, 0, 0, 0))
    out.putalpha(shifted)
    return out


def stack(*layers):
    out = layers[0].copy()
    for layer in layers[1:]:
        out.alpha_composite(layer)
    return out


def hexagon_distance(dx, dy, apothem):
    """Signed distance-like value to a hexagon with flats top and bottom:
    > 0 inside; also returns the outward normal of the nearest flat."""
    best = None
    for k in range(6):
        a = math.radians(90.0 + 60.0 * k)
        nx, ny = math.cos(a), math.sin(a)
        d = apothem - (dx * nx + dy * ny)
        if best is None or d < best[0]:
            best = (d, nx, ny)
    return best


# Control rectangles in the editor (x, y, width, height), and the boxes of
# the labels printed on the background, so that no label ends up hidden.
CONTROLS = [
    ("Input bar", (118, 280, 184, 8)),
    ("Level knob", (8, 28, 80, 80)),
    ("Drive knob", (88, 28, 80, 80)),
    ("Low knob", (168, 28, 80, 80)),
    ("High knob", (248, 28, 80, 80)),
    ("Blend knob", (328, 28, 80, 80)),
    ("Presence knob", (208, 100, 80, 80)),
    ("Quality switch", (368, 134, 32, 32)),
    ("footswitch", (8, 180, 80, 80)),
    ("lamp", (100, 191, 27, 27)),
]
LABEL_BOXES = []


def tracked_text(draw, centre_x, baseline_y, text, font, fill, tracking,
                 shadow=None, anchor="centre"):
    """Draws text with extra letter spacing; returns its width."""
    widths = [font.getlength(ch) for ch in text]
    total = sum(widths) + tracking * (len(text) - 1)
    if anchor == "centre":
        x = centre_x - total / 2.0
    elif anchor == "right":
        x = centre_x - total
    else:
        x = centre_x
    top = baseline_y + font.getbbox(text, anchor="ls")[1]
    LABEL_BOXES.append((text, (x, top, x + total + 1, baseline_y + 1)))
    for ch, wch in zip(text, widths):
        if shadow is not None:
            draw.text((x + 1, baseline_y + 1), ch, font=font, fill=shadow,
                      anchor="ls")
        draw.text((x, baseline_y), ch, font=font, fill=fill, anchor="ls")
        x += wch + tracking
    return total


# ---------------------------------------------------------------- palette

def palette_with_alpha(img):
    """RGBA -> mode P with one fully transparent entry (index 0) and up to
    255 others whose alphas go into tRNS. libimagequant picks the colours;
    the mapping is done here without dithering, so pixels that are equal in
    two frames stay equal (a dithered strip would shimmer as it animates)."""
    q = img.quantize(colors=255, method=Image.Quantize.LIBIMAGEQUANT)
    raw = q.getpalette("RGBA")
    entries = []
    for k in range(0, len(raw), 4):
        e = tuple(raw[k:k + 4])
        if e[3] > 0 and e not in entries:
            entries.append(e)
    entries = entries[:255]
    pre = [(e[0] * e[3], e[1] * e[3], e[2] * e[3], e[3] * 255) for e in entries]

    mapping = {}
    for _, c in img.getcolors(img.width * img.height):
        if c[3] == 0:
            mapping[c] = 0
            continue
        cr, cg, cb, ca = c[0] * c[3], c[1] * c[3], c[2] * c[3], c[3] * 255
        best_i, best_d = 0, None
        for i, (pr, pg, pb, pa) in enumerate(pre):
            d = ((cr - pr) ** 2 + (cg - pg) ** 2 + (cb - pb) ** 2
                 + (ca - pa) ** 2)
            if best_d is None or d < best_d:
                best_i, best_d = i, d
        mapping[c] = best_i + 1

    out = Image.frombytes("P", img.size,
                          bytes(mapping[p] for p in img.getdata()))
    flat = [0, 0, 0, 0]
    for e in entries:
        flat.extend(e)
    out.putpalette(flat, rawmode="RGBA")
    return out


def opaque_palette(img):
    """RGB -> 256-colour mode P, no transparency."""
    return img.convert("RGB").quantize(colors=256,
                                       method=Image.Quantize.LIBIMAGEQUANT)


# ---------------------------------------------------------------- knob

KNOB_FRAMES = 81
KNOB_C = 40.0
FACE_R = 21.5
SKIRT_R = 27.0
TRACK_R0, TRACK_R1 = 31.0, 34.0
SWEEP = 150.0  # degrees either side of 12 o'clock


def _ring_grain(seed, n):
    rng = random.Random(seed)
    return [rng.uniform(-1.0, 1.0) for _ in range(n)]


_SPUN = _ring_grain(71, 400)


def _knob_body(x, y):
    dx, dy = x - KNOB_C, y - KNOB_C
    r = math.hypot(dx, dy)
    if r > SKIRT_R:
        return (0, 0, 0, 0)
    ux, uy = (dx / r, dy / r) if r > 1e-9 else (0.0, 0.0)
    if r <= FACE_R:
        # Spun (concentrically brushed) anodised cap: the highlight is a
        # bow tie through the centre along the light direction.
        phi = math.atan2(dy, dx)
        bow = abs(math.cos(phi - math.radians(-135.0))) ** 5
        grain = _SPUN[int(r * 16.0) % len(_SPUN)] * 2.2
        v = 47.0 + 30.0 * bow + grain - 0.10 * (dx + dy)
        base = (v * 0.97, v * 0.99, v * 1.04)
        # Chamfer at the cap's rim.
        if r > FACE_R - 1.4:
            t = (r - (FACE_R - 1.4)) / 1.4
            n = norm3(ux * 0.8 * t, uy * 0.8 * t, 1.0)
            c = lit(n, (78, 80, 86), 0.35, 0.95, 0.35, 14.0)
            m = smoothstep(0.0, 1.0, t)
            base = tuple(b * (1 - m) + cc * m for b, cc in zip(base, c))
        return base + (255,)
    # Tapered skirt, lit on its upper left.
    t = (r - FACE_R) / (SKIRT_R - FACE_R)
    n = norm3(ux * 0.75, uy * 0.75, 0.66)
    c = lit(n, (44, 45, 50), 0.30, 0.95, 0.25, 10.0)
    edge = 1.0 - 0.35 * smoothstep(0.75, 1.0, t)
    return (c[0] * edge, c[1] * edge, c[2] * edge, 255)


def _arc_points(ss, theta0, theta1, radius):
    a0, a1 = theta0 - 90.0, theta1 - 90.0
    c = KNOB_C * ss
    rr = radius * ss
    return (c - rr, c - rr, c + rr, c + rr), a0, a1


def _cap(draw, ss, theta, radius, half_width, fill):
    a = math.radians(theta)
    cx = (KNOB_C + radius * math.sin(a)) * ss
    cy = (KNOB_C - radius * math.cos(a)) * ss
    hw = half_width * ss
    draw.ellipse((cx - hw, cy - hw, cx + hw, cy + hw), fill=fill)


def _track(draw, ss):
    mid = (TRACK_R0 + TRACK_R1) / 2.0
    half = (TRACK_R1 - TRACK_R0) / 2.0
    box, a0, a1 = _arc_points(ss, -SWEEP, SWEEP, TRACK_R1)
    draw.arc(box, a0, a1, fill=(12, 12, 14, 255),
             width=int((TRACK_R1 - TRACK_R0) * ss))
    _cap(draw, ss, -SWEEP, mid, half, (12, 12, 14, 255))
    _cap(draw, ss, SWEEP, mid, half, (12, 12, 14, 255))


def _track_rim(draw, ss):
    # The groove's outer lip catches a little light, so the empty part of
    # the scale still reads against the dark panel.
    box, a0, a1 = _arc_points(ss, -SWEEP, SWEEP, TRACK_R1 + 0.6)
    draw.arc(box, a0, a1, fill=(255, 255, 255, 36), width=int(0.6 * ss))


def _value_arc(draw, ss, theta):
    width = 1.9
    mid = (TRACK_R0 + TRACK_R1) / 2.0
    box, a0, a1 = _arc_points(ss, -SWEEP, theta, mid + width / 2.0)
    draw.arc(box, a0, a1, fill=AMBER + (255,), width=int(width * ss))
    _cap(draw, ss, -SWEEP, mid, width / 2.0, AMBER + (255,))
    _cap(draw, ss, theta, mid, width / 2.0, AMBER + (255,))


def _pointer(draw, ss, theta):
    a = math.radians(theta)
    sx, sy = math.sin(a), -math.cos(a)
    r0, r1, hw = 7.5, FACE_R - 2.6, 1.35
    p0 = ((KNOB_C + r0 * sx) * ss, (KNOB_C + r0 * sy) * ss)
    p1 = ((KNOB_C + r1 * sx) * ss, (KNOB_C + r1 * sy) * ss)
    fill = (240, 236, 224, 255)
    draw.line((p0, p1), fill=fill, width=int(2 * hw * ss))
    for (px, py) in (p0, p1):
        draw.ellipse((px - hw * ss, py - hw * ss, px + hw * ss, py + hw * ss),
                     fill=fill)


def film_strip(frames):
    """Frames of one size stacked top to bottom, the first at the top."""
    w, h = frames[0].size
    strip = Image.new("RGBA", (w, h * len(frames)), (0, 0, 0, 0))
    for k, f in enumerate(frames):
        strip.paste(f, (0, k * h))
    return strip


def make_knob():
    size = 80
    body = field(size, size, _knob_body)
    track = supersampled(size, size, _track)
    rim = supersampled(size, size, _track_rim)
    shadow = shadow_of(body, 2.2, 3.0, 2.6, 0.75)
    # Only the value arc and the pointer change from frame to frame; the
    # body and its highlights stay put.
    frames = []
    for k in range(KNOB_FRAMES):
        theta = -SWEEP + 2.0 * SWEEP * k / (KNOB_FRAMES - 1)
        layers = [rim, track]
        if k > 0:
            layers.append(supersampled(size, size,
                                       lambda d, s: _value_arc(d, s, theta)))
        layers += [shadow, body]
        ptr = supersampled(size, size, lambda d, s: _pointer(d, s, theta))
        layers += [shadow_of(ptr, 0.5, 0.7, 0.5, 0.6), ptr]  # printed, raised
        frames.append(stack(*layers))
    return film_strip(frames)


# ---------------------------------------------------------------- bar

BAR_W, BAR_H, BAR_FRAMES = 184, 8, 101


def _round_rect(draw, ss, x0, y0, x1, y1, radius, fill):
    draw.rounded_rectangle((x0 * ss, y0 * ss, x1 * ss - 1, y1 * ss - 1),
                           radius=radius * ss, fill=fill)


def make_bar():
    def track(d, s):
        _round_rect(d, s, 0, 0, BAR_W, BAR_H, 4.0, (70, 72, 78, 150))
        _round_rect(d, s, 0, 0, BAR_W, BAR_H - 0.8, 4.0, (4, 4, 5, 255))
        _round_rect(d, s, 0.8, 1.2, BAR_W - 0.8, BAR_H - 0.8, 3.2,
                    (16, 16, 18, 255))

    base = supersampled(BAR_W, BAR_H, track)

    # Amber fill, brighter along its top edge.
    def grad(x, y):
        t = clamp((y - 1.5) / 5.0)
        top = (255, 206, 120)
        c = tuple(a + (b - a) * smoothstep(0.0, 1.0, t)
                  for a, b in zip(top, AMBER_DEEP))
        return c + (255,)

    gradient = field(BAR_W, BAR_H, grad, ss=1)
    x0, x1 = 2.0, BAR_W - 2.0
    frames = []
    for k in range(BAR_FRAMES):
        if k == 0:
            frames.append(base)
            continue
        right = x0 + (x1 - x0) * k / (BAR_FRAMES - 1)
        left_r = min(2.0, (right - x0) / 2.0)

        def mask_fn(d, s, right=right, left_r=left_r):
            _round_rect(d, s, x0, 2.0, right, BAR_H - 2.0, left_r,
                        (255, 255, 255, 255))

        mask = supersampled(BAR_W, BAR_H, mask_fn).getchannel("A")
        fill = gradient.copy()
        fill.putalpha(mask)
        frames.append(stack(base, fill))
    return film_strip(frames)


# ---------------------------------------------------------------- nut

def _nut(dx, dy, circum, bevel, base):
    """Hex nut seen from above, flats top and bottom. None when outside."""
    apothem = circum * math.cos(math.radians(30.0))
    d, nx, ny = hexagon_distance(dx, dy, apothem)
    if d < 0.0:
        return None
    r = math.hypot(dx, dy)
    # Chamfered top: flats near the edge, a turned ring near the corners.
    ring = apothem * 1.02
    if d < bevel:
        t = 1.0 - d / bevel
        n = norm3(nx * 0.9 * t, ny * 0.9 * t, 1.0)
    elif r > ring:
        t = clamp((r - ring) / (circum - ring))
        ux, uy = dx / r, dy / r
        n = norm3(ux * 0.6 * t, uy * 0.6 * t, 1.0)
    else:
        n = (0.0, 0.0, 1.0)
    c = lit(n, base, 0.30, 0.80, 0.55, 18.0)
    return c + (255,)


# ---------------------------------------------------------------- switch

SW = 32


def _switch_fn(side):
    c = SW / 2.0
    length = 10.0   # bushing centre to the centre of the lever's round end
    base_half, tip_half = 1.9, 3.0

    def fn(x, y):
        dx, dy = x - c, y - c
        along = dx * side
        # Bat lever, widening towards its rounded end, above everything.
        if along > length:
            ex, ey = along - length, dy
            er = math.hypot(ex, ey)
            if er <= tip_half:
                nz = math.sqrt(max(0.0, tip_half * tip_half - er * er))
                n = norm3(ex * side / tip_half, ey / tip_half,
                          nz / tip_half + 0.15)
                col = lit(n, (200, 202, 208), 0.22, 0.75, 0.95, 36.0)
                return col + (255,)
        elif along >= 0.0:
            half = base_half + (tip_half - base_half) * (along / length)
            if abs(dy) <= half:
                ny = dy / half
                n = norm3(0.0, ny, math.sqrt(max(0.0, 1.0 - ny * ny)) + 0.15)
                col = lit(n, (192, 194, 200), 0.22, 0.72, 0.9, 30.0)
                return col + (255,)
        r = math.hypot(dx, dy)
        # Threaded bushing with a dark throat.
        if r <= 6.0:
            if r <= 3.3:
                return (18, 18, 20, 255)
            t = (r - 3.3) / (6.0 - 3.3)
            ux, uy = dx / r, dy / r
            n = norm3(ux * (0.6 - 1.2 * t), uy * (0.6 - 1.2 * t), 1.0)
            col = lit(n, (150, 152, 158), 0.30, 0.75, 0.5, 20.0)
            return col + (255,)
        nut = _nut(dx, dy, 11.0, 1.8, (132, 134, 140))
        if nut is not None:
            return nut
        return (0, 0, 0, 0)

    return fn


def make_switch():
    frames = []
    for side in (-1, 1):  # top frame: lever left (2x); bottom: right (4x)
        body = field(SW, SW, _switch_fn(side), ss=8)
        frames.append(stack(shadow_of(body, 1.2, 1.8, 1.2, 0.7), body))
    return film_strip(frames)


# ---------------------------------------------------------------- footswitch

FS = 80


def _footswitch_fn(pressed):
    c = FS / 2.0
    cap_r = 16.2 if pressed else 17.6
    dome = 48.0 if pressed else 27.0
    ox, oy = (0.35, 0.5) if pressed else (0.0, 0.0)
    gain = 0.72 if pressed else 1.0

    def fn(x, y):
        dx, dy = x - c, y - c
        r = math.hypot(dx, dy)
        # Domed chrome plunger.
        px, py = dx - ox, dy - oy
        pr = math.hypot(px, py)
        if pr <= cap_r:
            nz = math.sqrt(max(1e-9, dome * dome - pr * pr))
            n = norm3(px, py, nz)
            # Reflected sky: bright above-left, darker towards the floor.
            rx, ry = 2 * n[2] * n[0], 2 * n[2] * n[1]
            sky = clamp(0.55 - 0.55 * (rx * 0.6 + ry * 0.8) * 2.2)
            v = 60.0 + 150.0 * sky
            col = lit(n, (v, v, v * 1.02), 0.55 * gain, 0.45 * gain,
                      0.9 * gain, 60.0)
            # Soft dark edge where the dome rolls over.
            e = smoothstep(cap_r - 1.6, cap_r, pr)
            col = tuple(cc * (1.0 - 0.55 * e) for cc in col)
            return col + (255,)
        # Gap between plunger and collar.
        if r <= cap_r + (2.2 if pressed else 1.0):
            return (14, 14, 16, 255)
        # Turned collar.
        if r <= 23.5:
            t = (r - 18.6) / (23.5 - 18.6)
            ux, uy = dx / r, dy / r
            n = norm3(ux * 0.5 * (t - 0.35), uy * 0.5 * (t - 0.35), 1.0)
            g = _SPUN[int(r * 20.0) % len(_SPUN)] * 3.0
            col = lit(n, (118 + g, 120 + g, 126 + g), 0.35, 0.70, 0.45, 16.0)
            return col + (255,)
        nut = _nut(dx, dy, 31.0, 3.2, (122, 124, 130))
        if nut is not None:
            return nut
        return (0, 0, 0, 0)

    return fn


def make_footswitch():
    frames = []
    for pressed in (False, True):  # top frame: up
        body = field(FS, FS, _footswitch_fn(pressed))
        frames.append(stack(shadow_of(body, 2.4, 3.4, 2.8, 0.8), body))
    return film_strip(frames)


# ---------------------------------------------------------------- lamp

LAMP = 27


def _lamp_fn(on):
    c = LAMP / 2.0
    lens_r = 5.6
    bezel_r0, bezel_r1 = 5.6, 8.2

    def fn(x, y):
        dx, dy = x - c, y - c
        r = math.hypot(dx, dy)
        if r <= lens_r:
            nz = math.sqrt(max(1e-9, 9.0 * 9.0 - r * r))
            n = norm3(dx, dy, nz)
            if on:
                hot = 1.0 - smoothstep(0.0, lens_r, r)
                base = (255, 48 + 150 * hot ** 2, 34 + 120 * hot ** 2)
                col = lit(n, base, 0.95, 0.10, 0.6, 30.0)
            else:
                col = lit(n, (86, 14, 12), 0.45, 0.55, 0.7, 40.0)
            return col + (255,)
        if r <= bezel_r1:
            t = (r - bezel_r0) / (bezel_r1 - bezel_r0) * 2.0 - 1.0
            ux, uy = dx / r, dy / r
            s = math.sqrt(max(0.0, 1.0 - t * t))
            n = norm3(ux * t, uy * t, s + 0.05)
            col = lit(n, (150, 152, 158), 0.25, 0.75, 0.8, 26.0)
            if on:
                # Red light spilling onto the inner edge of the bezel.
                spill = 1.0 - smoothstep(bezel_r0, bezel_r0 + 1.6, r)
                col = (col[0] + 90 * spill, col[1] + 8 * spill,
                       col[2] + 6 * spill)
            return col + (255,)
        return (0, 0, 0, 0)

    return fn


def make_lamp():
    frames = []
    for on in (False, True):  # top frame: off
        body = field(LAMP, LAMP, _lamp_fn(on), ss=8)
        layers = [shadow_of(body, 0.9, 1.3, 1.0, 0.75)]
        if on:
            c = LAMP / 2.0

            def glow(x, y):
                r = math.hypot(x - c, y - c)
                a = (1.0 - smoothstep(7.0, 13.2, r)) ** 2 * 0.62
                return (255, 52, 30, 255 * a)

            layers.append(field(LAMP, LAMP, glow, ss=2))
        layers.append(body)
        frames.append(stack(*layers))
    return film_strip(frames)


# ---------------------------------------------------------------- background

BG_W, BG_H = 420, 300


def _grain(rng, w, h):
    """Horizontal brushing: noise stretched along x at a few scales."""
    layers = []
    for stretch, weight in ((60, 0.45), (14, 0.35), (3, 0.20)):
        sw = max(2, w // stretch)
        small = Image.frombytes("L", (sw, h), rng.randbytes(sw * h))
        big = small.resize((w, h), Image.Resampling.BICUBIC)
        layers.append((list(big.getdata()), weight))
    out = [0.0] * (w * h)
    for data, weight in layers:
        for i, v in enumerate(data):
            out[i] += (v - 128.0) * weight
    return out


def _panel():
    rng = random.Random(0x51C0)
    grain = _grain(rng, BG_W, BG_H)
    bevel = 4.0
    data = []
    for y in range(BG_H):
        for x in range(BG_W):
            fx, fy = x / (BG_W - 1), y / (BG_H - 1)
            v = 40.0 + 11.0 * (1.0 - 0.45 * fx - 0.75 * fy)
            # Broad soft sheen across the upper left of the plate.
            d = (fx * 0.8 + fy) - 0.35
            v += 5.0 * math.exp(-d * d * 9.0)
            v += grain[y * BG_W + x] * 0.085
            col = [v * 0.96, v * 0.98, v * 1.05]
            # Rolled edge: lit on the top and left, dark on bottom and right.
            e_left, e_top = x + 0.5, y + 0.5
            e_right, e_bottom = BG_W - x - 0.5, BG_H - y - 0.5
            m = min(e_left, e_top, e_right, e_bottom)
            if m < bevel:
                t = 1.0 - m / bevel
                if m == e_left or m == e_top:
                    k = 1.0 + 1.1 * t
                    add = 26.0 * t
                else:
                    k = 1.0 - 0.7 * t
                    add = 0.0
                col = [cc * k + add for cc in col]
                if m < 1.0:
                    col = [cc * 0.55 for cc in col]
            data.append(tuple(to8(cc) for cc in col))
    img = Image.new("RGB", (BG_W, BG_H))
    img.putdata(data)
    return img.convert("RGBA")


def _screw_fn(angle):
    rr = 4.2
    ca, sa = math.cos(math.radians(angle)), math.sin(math.radians(angle))

    def fn(x, y):
        dx, dy = x - 6.0, y - 6.0
        r = math.hypot(dx, dy)
        if r > rr:
            return (0, 0, 0, 0)
        nz = math.sqrt(max(1e-9, 7.0 * 7.0 - r * r))
        n = norm3(dx, dy, nz)
        col = lit(n, (120, 122, 128), 0.30, 0.75, 0.6, 20.0)
        # Cross slot, turned to a different angle on every screw.
        u, w = dx * ca + dy * sa, -dx * sa + dy * ca
        if (abs(u) < 0.55 and abs(w) < 2.9) or (abs(w) < 0.55 and abs(u) < 2.9):
            col = (24, 24, 26)
        e = smoothstep(rr - 0.8, rr, r)
        col = tuple(cc * (1.0 - 0.5 * e) for cc in col)
        return col + (255,)

    return fn


def make_background():
    img = _panel()

    for (sx, sy), ang in (((12, 12), 20), ((408, 12), 65),
                          ((12, 288), 110), ((408, 288), 155)):
        screw = field(12, 12, _screw_fn(ang), ss=8)
        piece = stack(shadow_of(screw, 0.8, 1.0, 0.8, 0.8), screw)
        img.alpha_composite(piece, (sx - 6, sy - 6))

    ink = Image.new("RGBA", img.size, (0, 0, 0, 0))
    draw = ImageDraw.Draw(ink)
    shade = (0, 0, 0, 150)
    label = ImageFont.truetype(FONT_BOLD, 10)
    small = ImageFont.truetype(FONT_BOLD, 9)

    # Top row: labels above the knobs (the row below Low and High is under
    # the Presence knob).
    for name, x in (("LEVEL", 8), ("DRIVE", 88), ("LOW", 168),
                    ("HIGH", 248), ("BLEND", 328)):
        tracked_text(draw, x + 40, 22, name, label, INK, 1.6, shade)
    tracked_text(draw, 208 + 40, 193, "PRESENCE", label, INK, 1.6, shade)
    # Quality switch at (368, 134), 32 x 32.
    tracked_text(draw, 384, 128, "QUALITY", small, INK, 1.2, shade)
    tracked_text(draw, 359, 154, "2x", small, INK, 0.3, shade)
    tracked_text(draw, 409, 154, "4x", small, INK, 0.3, shade)
    # Footswitch at (8, 180), 80 x 80; the lamp sits to its right.
    tracked_text(draw, 48, 273, "BYPASS", label, INK, 1.6, shade)
    # Input bar at (118, 280), 184 x 8.
    tracked_text(draw, 210, 298, "INPUT", small, INK, 1.4, shade)

    # Name plate.
    title = ImageFont.truetype(FONT_BOLD, 25)
    version = ImageFont.truetype(FONT_BOLD, 15)
    w = tracked_text(draw, 20, 152, "QOR KYM", title, INK, 1.5, shade,
                     anchor="left")
    tracked_text(draw, 20 + w + 5, 152, "v2", version, AMBER, 0.5, shade,
                 anchor="left")
    draw.rectangle((21, 159, 21 + w + 20, 159), fill=AMBER + (200,))
    maker = ImageFont.truetype(FONT_BOLD, 11)
    tracked_text(draw, 402, 268, "QOR AUDIO", maker, INK_DIM, 3.0, shade,
                 anchor="right")

    img.alpha_composite(ink)
    return img


# ---------------------------------------------------------------- output

def png_header(path):
    """(bit depth, colour type, chunk names) straight from the file."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    pos, names, depth, ctype = 8, [], None, None
    while pos + 8 <= len(data):
        length = int.from_bytes(data[pos:pos + 4], "big")
        name = data[pos + 4:pos + 8].decode("latin-1")
        if name == "IHDR":
            depth, ctype = data[pos + 16], data[pos + 17]
        names.append(name)
        pos += 12 + length
    return depth, ctype, names


def verify(path, name, width, height, frames, mode):
    problems = []
    header = png_header(path)
    if header is None:
        return ["not a PNG"]
    depth, ctype, chunks = header
    want_ctype = 3 if mode == "P" else 6  # palette / RGBA
    if depth != 8 or ctype != want_ctype:
        problems.append("bit depth %s colour type %s, want 8 and %d"
                        % (depth, ctype, want_ctype))
    has_trns = "tRNS" in chunks
    if name == "background.png" and has_trns:
        problems.append("background carries transparency")
    if name != "background.png" and mode == "P" and not has_trns:
        problems.append("no tRNS chunk")
    with Image.open(path) as im:
        im.load()
        if im.size != (width, height):
            problems.append("size %dx%d, want %dx%d" % (im.size + (width, height)))
        if im.mode != mode:
            problems.append("mode %s, want %s" % (im.mode, mode))
        if height % frames != 0:
            problems.append("height %d not a multiple of %d frames" % (height, frames))
        fh = height // frames
        if has_trns:
            trns = im.info.get("transparency")
            if not isinstance(trns, bytes) or 0 not in trns:
                problems.append("tRNS has no fully transparent entry")
        rgba = im.convert("RGBA")
        tiles = [rgba.crop((0, k * fh, width, (k + 1) * fh)).tobytes()
                 for k in range(frames)]
        for k in range(1, frames):
            if tiles[k] == tiles[k - 1]:
                problems.append("frames %d and %d are identical" % (k - 1, k))
                break
    return problems


def label_overlaps():
    """Labels that a control would cover; controls are opaque rectangles."""
    found = []
    for text, (x0, y0, x1, y1) in LABEL_BOXES:
        for cname, (cx, cy, cw, ch) in CONTROLS:
            if x0 < cx + cw and cx < x1 and y0 < cy + ch and cy < y1:
                found.append("label %r lies under the %s" % (text, cname))
    return found


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources")
    os.makedirs(outdir, exist_ok=True)

    makers = {
        "background.png": lambda: opaque_palette(make_background()),
        "knob.png": lambda: palette_with_alpha(make_knob()),
        "bar.png": lambda: palette_with_alpha(make_bar()),
        "switch.png": lambda: palette_with_alpha(make_switch()),
        "footswitch.png": lambda: palette_with_alpha(make_footswitch()),
        "lamp.png": make_lamp,
    }
    failed = False
    for name, width, height, frames, mode in LAYOUT:
        path = os.path.join(outdir, name)
        img = makers[name]()
        options = {"bits": 8} if img.mode == "P" else {}
        img.save(path, format="PNG", optimize=False, compress_level=9,
                 **options)
        problems = verify(path, name, width, height, frames, mode)
        for p in problems:
            print("%s: %s" % (name, p), file=sys.stderr)
        failed = failed or bool(problems)
        print("%-15s %4d x %-4d %3d frame(s) %-4s %6d bytes"
              % (name, width, height, frames, mode, os.path.getsize(path)))
    for p in label_overlaps():
        print("background.png: %s" % p, file=sys.stderr)
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
