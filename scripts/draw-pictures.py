#!/usr/bin/env python3
"""Draws the program's pictures into gui/app/png/<id>.png.

The windows load their pictures by integer id (loadPngResource); this script
is where every one of them except 135 (notification icon) and 185 (window
icon) comes from. It needs nothing beyond the Python 3 standard library, so
anyone can redraw the set on a bare build machine:

    python3 scripts/draw-pictures.py [output-folder [id ...]]

Given ids, only those pictures are redrawn.

Every picture is built from a few shapes given as signed distance functions
(negative inside). A pixel far from every edge is filled or left at once;
a pixel near an edge is sampled 4 x 4 times and averaged, which gives the
same anti-aliasing as drawing at four times the size and scaling down, at a
fraction of the cost in pure Python.

The palette follows 135.png: a blue disc (#2f6fdf) with white glyphs and a
pale blue screen. Pictures that come in a light-theme and a dark-theme
variant draw their glyph in blue for the light theme and near-white for the
dark theme. Each is stored at the largest size the windows show it at (twice
that for the small toolbar glyphs, so that high-DPI screens stay sharp).
"""

import math
import os
import struct
import sys
import zlib

BLUE = (47, 111, 223)
SCREEN = (156, 194, 255)
WHITE = (255, 255, 255)
PALE = (232, 238, 252)
RED = (217, 58, 58)
AMBER = (239, 160, 18)
GREEN = (46, 160, 67)
TEAL = (0, 150, 136)
SLATE = (139, 158, 190)
INK = (31, 42, 68)
PAPER_EDGE = (196, 206, 224)
GOLD = (232, 176, 40)

# Glyph colour of the two theme variants: blue on the light theme, near-white
# on the dark one.
THEME_INK = {"light": BLUE, "dark": PALE}


# ---------------------------------------------------------------------------
# Shapes: a distance function in design units plus its bounding box.

class Shape:
    def __init__(self, sdf, box):
        self.sdf = sdf
        self.box = box  # (x0, y0, x1, y1) in design units

    def __or__(self, other):
        a, b = self.sdf, other.sdf
        return Shape(lambda x, y: min(a(x, y), b(x, y)),
                     (min(self.box[0], other.box[0]), min(self.box[1], other.box[1]),
                      max(self.box[2], other.box[2]), max(self.box[3], other.box[3])))

    def __sub__(self, other):
        a, b = self.sdf, other.sdf
        return Shape(lambda x, y: max(a(x, y), -b(x, y)), self.box)

    def __and__(self, other):
        a, b = self.sdf, other.sdf
        return Shape(lambda x, y: max(a(x, y), b(x, y)),
                     (max(self.box[0], other.box[0]), max(self.box[1], other.box[1]),
                      min(self.box[2], other.box[2]), min(self.box[3], other.box[3])))


def union(shapes):
    result = shapes[0]
    for shape in shapes[1:]:
        result = result | shape
    return result


def circle(cx, cy, r):
    return Shape(lambda x, y: math.hypot(x - cx, y - cy) - r, (cx - r, cy - r, cx + r, cy + r))


def ring(cx, cy, r, width):
    h = width / 2
    return Shape(lambda x, y: abs(math.hypot(x - cx, y - cy) - r) - h,
                 (cx - r - h, cy - r - h, cx + r + h, cy + r + h))


def rrect(x0, y0, x1, y1, radius=0.0):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - radius, (y1 - y0) / 2 - radius

    def sdf(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - radius
    return Shape(sdf, (x0, y0, x1, y1))


def frame(x0, y0, x1, y1, width, radius=0.0):
    """The outline of a rounded rectangle, drawn inside its bounds."""
    inner = rrect(x0 + width, y0 + width, x1 - width, y1 - width, max(radius - width, 0.0))
    return rrect(x0, y0, x1, y1, radius) - inner


def capsule(x1, y1, x2, y2, width):
    h = width / 2
    dx, dy = x2 - x1, y2 - y1
    length2 = dx * dx + dy * dy or 1e-9

    def sdf(x, y):
        t = max(0.0, min(1.0, ((x - x1) * dx + (y - y1) * dy) / length2))
        return math.hypot(x - x1 - t * dx, y - y1 - t * dy) - h
    return Shape(sdf, (min(x1, x2) - h, min(y1, y2) - h, max(x1, x2) + h, max(y1, y2) + h))


def polyline(points, width):
    return union([capsule(*points[i], *points[i + 1], width) for i in range(len(points) - 1)])


def polygon(points):
    n = len(points)

    def sdf(x, y):
        d = (x - points[0][0]) ** 2 + (y - points[0][1]) ** 2
        sign = 1.0
        j = n - 1
        for i in range(n):
            vx, vy = points[i]
            wx, wy = points[j]
            ex, ey = wx - vx, wy - vy
            px, py = x - vx, y - vy
            t = max(0.0, min(1.0, (px * ex + py * ey) / ((ex * ex + ey * ey) or 1e-9)))
            bx, by = px - ex * t, py - ey * t
            d = min(d, bx * bx + by * by)
            c1, c2, c3 = y >= vy, y < wy, ex * py > ey * px
            if (c1 and c2 and c3) or (not c1 and not c2 and not c3):
                sign = -sign
            j = i
        return sign * math.sqrt(d)
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return Shape(sdf, (min(xs), min(ys), max(xs), max(ys)))


def point_on(cx, cy, r, degrees):
    """A point of a circle; angles grow counter-clockwise on screen."""
    a = math.radians(degrees)
    return cx + r * math.cos(a), cy - r * math.sin(a)


def arc(cx, cy, r, width, start, end):
    """A round-capped arc from start to end degrees, counter-clockwise."""
    h = width / 2
    span = (end - start) % 360 or 360
    ends = [point_on(cx, cy, r, start), point_on(cx, cy, r, end)]

    def sdf(x, y):
        angle = math.degrees(math.atan2(cy - y, x - cx))
        if (angle - start) % 360 <= span:
            return abs(math.hypot(x - cx, y - cy) - r) - h
        return min(math.hypot(x - px, y - py) for px, py in ends) - h
    return Shape(sdf, (cx - r - h, cy - r - h, cx + r + h, cy + r + h))


def wedge(cx, cy, start, end, reach):
    """The slice of the plane between two rays from (cx, cy), start to end
    degrees counter-clockwise; the slice must be narrower than 180 degrees."""
    span = (end - start) % 360
    rays = [point_on(cx, cy, reach, a) for a in (start, end)]

    def ray_distance(x, y, px, py):
        dx, dy = px - cx, py - cy
        t = max(0.0, min(1.0, ((x - cx) * dx + (y - cy) * dy) / (dx * dx + dy * dy)))
        return math.hypot(x - cx - t * dx, y - cy - t * dy)

    def sdf(x, y):
        d = min(ray_distance(x, y, px, py) for px, py in rays)
        angle = math.degrees(math.atan2(cy - y, x - cx))
        return -d if (angle - start) % 360 <= span else d
    return Shape(sdf, (cx - reach, cy - reach, cx + reach, cy + reach))


def arrow_head(px, py, dx, dy, length, half_width):
    """A triangle whose base is centred on (px, py), pointing along (dx, dy)."""
    n = math.hypot(dx, dy)
    dx, dy = dx / n, dy / n
    return polygon([(px + dx * length, py + dy * length),
                    (px - dy * half_width, py + dx * half_width),
                    (px + dy * half_width, py - dx * half_width)])


class Place:
    """Maps a glyph's 0..100 square onto a part of a picture."""

    def __init__(self, x=0.0, y=0.0, size=100.0):
        self.x, self.y, self.k = x, y, size / 100.0

    def p(self, x, y):
        return self.x + x * self.k, self.y + y * self.k

    def v(self, value):
        return value * self.k


# ---------------------------------------------------------------------------
# Canvas: premultiplied RGBA floats, written out as an 8-bit RGBA PNG.

class Canvas:
    def __init__(self, width, height, design_width=100.0):
        self.w, self.h = width, height
        self.k = width / design_width  # pixels per design unit
        self.px = [0.0] * (width * height * 4)

    def fill(self, shape, colour, alpha=1.0):
        k = self.k
        inv = 1.0 / k
        sdf = shape.sdf
        x0 = max(0, int(math.floor(shape.box[0] * k)) - 1)
        y0 = max(0, int(math.floor(shape.box[1] * k)) - 1)
        x1 = min(self.w, int(math.ceil(shape.box[2] * k)) + 1)
        y1 = min(self.h, int(math.ceil(shape.box[3] * k)) + 1)
        r, g, b = (c / 255.0 for c in colour)
        px = self.px
        subs = [(i + 0.5) / 4.0 for i in range(4)]
        for y in range(y0, y1):
            for x in range(x0, x1):
                d = sdf((x + 0.5) * inv, (y + 0.5) * inv) * k
                if d >= 0.75:
                    continue
                if d <= -0.75:
                    cover = 1.0
                else:
                    hits = 0
                    for sy in subs:
                        for sx in subs:
                            if sdf((x + sx) * inv, (y + sy) * inv) < 0.0:
                                hits += 1
                    if hits == 0:
                        continue
                    cover = hits / 16.0
                a = cover * alpha
                i = (y * self.w + x) * 4
                keep = 1.0 - a
                px[i] = r * a + px[i] * keep
                px[i + 1] = g * a + px[i + 1] * keep
                px[i + 2] = b * a + px[i + 2] * keep
                px[i + 3] = a + px[i + 3] * keep

    def png(self):
        rows = bytearray()
        px = self.px
        for y in range(self.h):
            rows.append(0)
            for x in range(self.w):
                i = (y * self.w + x) * 4
                a = px[i + 3]
                if a <= 0.0:
                    rows += b"\0\0\0\0"
                    continue
                rows += bytes(min(255, int(px[i + c] / a * 255.0 + 0.5)) for c in range(3))
                rows.append(min(255, int(a * 255.0 + 0.5)))

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
        header = struct.pack(">IIBBBBB", self.w, self.h, 8, 6, 0, 0, 0)
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


# ---------------------------------------------------------------------------
# Glyphs: each returns shapes in the 0..100 square of a Place.

def glyph_monitor(at):
    p, v = at.p, at.v
    body = frame(*p(14, 20), *p(86, 68), v(7), v(5))
    stand = capsule(*p(50, 68), *p(50, 79), v(8)) | capsule(*p(34, 81), *p(66, 81), v(7))
    return body | stand


def glyph_monitor_screen(at):
    return rrect(*at.p(21, 27), *at.p(79, 61), at.v(1))


def glyph_info(at):
    p, v = at.p, at.v
    return circle(*p(50, 27), v(7.5)) | rrect(*p(43, 40), *p(57, 78), v(3))


def glyph_question(at):
    p, v = at.p, at.v
    cx, cy, r = 50, 38, 15
    hook = arc(*p(cx, cy), v(r), v(11), -50, 165)
    ex, ey = point_on(cx, cy, r, -50)
    stem = polyline([p(ex, ey), p(50, 56), p(50, 60)], v(11))
    return hook | stem | circle(*p(50, 76), v(7))


def glyph_exclamation(at):
    p, v = at.p, at.v
    stem = polygon([p(43, 20), p(57, 20), p(54, 60), p(46, 60)])
    return stem | circle(*p(50, 74), v(7.5))


def glyph_cross(at, width=12):
    p, v = at.p, at.v
    return capsule(*p(30, 30), *p(70, 70), v(width)) | capsule(*p(70, 30), *p(30, 70), v(width))


def glyph_check(at, width=12):
    return polyline([at.p(26, 52), at.p(43, 69), at.p(75, 33)], at.v(width))


def glyph_hourglass(at):
    p, v = at.p, at.v
    bars = capsule(*p(28, 20), *p(72, 20), v(8)) | capsule(*p(28, 80), *p(72, 80), v(8))
    sides = polyline([p(34, 22), p(34, 30), p(50, 50), p(34, 70), p(34, 78)], v(6)) | \
        polyline([p(66, 22), p(66, 30), p(50, 50), p(66, 70), p(66, 78)], v(6))
    sand = polygon([p(40, 35), p(60, 35), p(50, 47)]) | polygon([p(37, 76), p(63, 76), p(50, 62)])
    return bars | sides | sand


def glyph_list(at):
    p, v = at.p, at.v
    rows = []
    for y in (30, 50, 70):
        rows.append(circle(*p(28, y), v(6)))
        rows.append(capsule(*p(42, y), *p(76, y), v(9)))
    return union(rows)


def glyph_menu(at):
    p, v = at.p, at.v
    return union([capsule(*p(20, y), *p(80, y), v(10)) for y in (27, 50, 73)])


def glyph_broadcast(at, width=8):
    p, v = at.p, at.v
    parts = [circle(*p(50, 50), v(9))]
    for r in (22, 37):
        parts.append(arc(*p(50, 50), v(r), v(width), -40, 40))
        parts.append(arc(*p(50, 50), v(r), v(width), 140, 220))
    return union(parts)


def glyph_incoming(at):
    p, v = at.p, at.v
    shaft = capsule(*p(50, 14), *p(50, 56), v(10))
    head = polyline([p(32, 42), p(50, 60), p(68, 42)], v(10))
    tray = polyline([p(18, 60), p(18, 82), p(82, 82), p(82, 60)], v(10))
    return shaft | head | tray


def glyph_book(at):
    p, v = at.p, at.v
    left = polygon([p(10, 24), p(46, 30), p(46, 84), p(10, 78)])
    right = polygon([p(54, 30), p(90, 24), p(90, 78), p(54, 84)])
    lines = []
    for y in (42, 54, 66):
        lines.append(capsule(*p(18, y - 6), *p(38, y - 3), v(4)))
        lines.append(capsule(*p(62, y - 3), *p(82, y - 6), v(4)))
    return (left | right) - union(lines)


def glyph_gear(at, teeth=8):
    p, v = at.p, at.v
    parts = [circle(*p(50, 50), v(28))]
    for i in range(teeth):
        a = math.radians(i * 360.0 / teeth)
        ca, sa = math.cos(a), math.sin(a)

        def rotated(u, w):
            return p(50 + u * ca - w * sa, 50 + u * sa + w * ca)
        parts.append(polygon([rotated(20, -9), rotated(40, -6.5), rotated(40, 6.5), rotated(20, 9)]))
    return union(parts) - circle(*p(50, 50), v(12))


def glyph_grid(at, gap=8):
    p, v = at.p, at.v
    half = (60 - gap) / 2
    cells = []
    for gx in (20, 20 + half + gap):
        for gy in (20, 20 + half + gap):
            cells.append(rrect(*p(gx, gy), *p(gx + half, gy + half), v(5)))
    return union(cells)


def glyph_info_ring(at):
    p, v = at.p, at.v
    inner = Place(at.x + v(22), at.y + v(22), v(56))
    return ring(*p(50, 50), v(38), v(9)) | glyph_info(inner)


def glyph_refresh(at):
    p, v = at.p, at.v
    cx, cy, r = 50, 50, 28
    parts = [arc(*p(cx, cy), v(r), v(10), 75, 15)]
    px, py = point_on(cx, cy, r, 15)
    a = math.radians(15)
    parts.append(arrow_head(*p(px, py), -math.sin(a), -math.cos(a), v(17), v(16)))
    return union(parts)


def glyph_spinner(canvas, at, ink):
    p, v = at.p, at.v
    for i in range(8):
        x, y = point_on(50, 50, 34, 90 - i * 45)
        canvas.fill(circle(*p(x, y), v(9.5 - i * 0.6)), ink, 1.0 - i * 0.11)


def glyph_fullscreen(at):
    p, v = at.p, at.v
    w = v(10)
    return union([polyline([p(18, 38), p(18, 18), p(38, 18)], w),
                  polyline([p(62, 18), p(82, 18), p(82, 38)], w),
                  polyline([p(82, 62), p(82, 82), p(62, 82)], w),
                  polyline([p(38, 82), p(18, 82), p(18, 62)], w)])


def glyph_aspect(at):
    p, v = at.p, at.v
    box = frame(*p(10, 24), *p(90, 76), v(8), v(8))
    stroke = v(7)
    corner_a = polyline([p(26, 50), p(26, 38), p(38, 38)], stroke)
    corner_b = polyline([p(62, 62), p(74, 62), p(74, 50)], stroke)
    return box | corner_a | corner_b


def glyph_zoom(at):
    p, v = at.p, at.v
    lens = ring(*p(42, 42), v(24), v(9))
    handle = capsule(*p(60, 60), *p(82, 82), v(13))
    plus = capsule(*p(31, 42), *p(53, 42), v(7)) | capsule(*p(42, 31), *p(42, 53), v(7))
    return lens | handle | plus


def glyph_sliders(at):
    p, v = at.p, at.v
    parts = []
    for y, knob in ((26, 64), (50, 34), (74, 56)):
        parts.append(capsule(*p(16, y), *p(84, y), v(7)))
        parts.append(circle(*p(knob, y), v(10)))
    return union(parts)


def glyph_person(at, body_bottom=86):
    p, v = at.p, at.v
    head = circle(*p(50, 34), v(17))
    shoulders = circle(*p(50, 96), v(36)) & rrect(*p(0, 0), *p(100, body_bottom), 0)
    return head | shoulders


def glyph_sun(at):
    p, v = at.p, at.v
    parts = [circle(*p(50, 50), v(17))]
    for i in range(8):
        x0, y0 = point_on(50, 50, 28, i * 45)
        x1, y1 = point_on(50, 50, 40, i * 45)
        parts.append(capsule(*p(x0, y0), *p(x1, y1), v(8)))
    return union(parts)


def glyph_contrast(at):
    p, v = at.p, at.v
    half = circle(*p(50, 50), v(34)) & rrect(*p(10, 10), *p(50, 90), 0)
    return ring(*p(50, 50), v(34), v(8)) | half


def glyph_drop(at):
    p, v = at.p, at.v
    return circle(*p(50, 62), v(26)) | polygon([p(50, 10), p(28.5, 48), p(71.5, 48)])


def glyph_bars(at):
    p, v = at.p, at.v
    bars = [rrect(*p(x, top), *p(x + 14, 74), v(2)) for x, top in ((24, 52), (43, 36), (62, 22))]
    return union(bars) | capsule(*p(18, 80), *p(82, 80), v(5))


def glyph_layers(at):
    p, v = at.p, at.v
    back = frame(*p(30, 18), *p(86, 58), v(8), v(5))
    front = rrect(*p(14, 38), *p(70, 80), v(5))
    return (back - rrect(*p(10, 32), *p(76, 86), v(8))) | front


# ---------------------------------------------------------------------------
# Pictures.

def on_disc(size, glyph, disc=BLUE, ink=WHITE, scale=0.62):
    c = Canvas(size, size)
    c.fill(circle(50, 50, 50), disc)
    inset = (100 - 100 * scale) / 2
    c.fill(glyph(Place(inset, inset, 100 * scale)), ink)
    return c


def bare(size, glyph, ink):
    c = Canvas(size, size)
    c.fill(glyph(Place(4, 4, 92)), ink)
    return c


def themed(light_id, dark_id, size, glyph):
    return {light_id: lambda: bare(size, glyph, THEME_INK["light"]),
            dark_id: lambda: bare(size, glyph, THEME_INK["dark"])}


def logo(size):
    c = Canvas(size, size)
    c.fill(circle(50, 50, 50), BLUE)
    at = Place(19, 17, 62)
    c.fill(glyph_monitor_screen(at), SCREEN)
    c.fill(glyph_monitor(at), WHITE)
    waves = Place(at.x + at.v(34), at.y + at.v(28), at.v(32))
    c.fill(glyph_broadcast(waves, width=10), BLUE)
    return c


def spinner(ink):
    c = Canvas(64, 64)
    glyph_spinner(c, Place(0, 0, 100), ink)
    return c


def hue_wheel(ink):
    c = Canvas(40, 40)
    colours = [(230, 60, 60), (240, 190, 30), (70, 180, 70), (40, 180, 200), (50, 100, 225), (190, 70, 200)]
    for i, colour in enumerate(colours):
        a0, a1 = 90 + i * 60, 90 + (i + 1) * 60
        sector = circle(50, 50, 44) & wedge(50, 50, a0, a1, 60)
        c.fill(sector - circle(50, 50, 16), colour)
    c.fill(ring(50, 50, 44, 5), ink)
    return c


def wordmark(ink):
    c = Canvas(660, 160, design_width=660)
    top, bottom, width, stroke, gap = 36, 124, 60, 17, 14
    h = stroke / 2
    t, b = top + h, bottom - h
    mid = (top + bottom) / 2
    x = (660 - (8 * width + 7 * gap)) / 2

    def letter(ch, x):
        l, r = x + h, x + width - h
        cxl = (l + r) / 2
        if ch == "V":
            return polyline([(l, t), (cxl, b), (r, t)], stroke)
        if ch == "E":
            return union([capsule(l, t, l, b, stroke), capsule(l, t, r, t, stroke),
                          capsule(l, mid, r - 8, mid, stroke), capsule(l, b, r, b, stroke)])
        if ch == "L":
            return polyline([(l, t), (l, b), (r, b)], stroke)
        if ch == "T":
            return capsule(l, t, r, t, stroke) | capsule(cxl, t, cxl, b, stroke)
        if ch == "R":
            bowl_r = (mid - t) / 2
            bx = r - bowl_r
            return union([capsule(l, t, l, b, stroke), capsule(l, t, bx, t, stroke),
                          capsule(l, mid, bx, mid, stroke), arc(bx, t + bowl_r, bowl_r, stroke, -90, 90),
                          capsule(bx - 6, mid, r, b, stroke)])
        if ch == "A":
            return polyline([(l, b), (cxl, t), (r, b)], stroke) | \
                capsule(l + (cxl - l) * 0.45, mid + 14, r - (r - cxl) * 0.45, mid + 14, stroke * 0.85)
        if ch == "N":
            return polyline([(l, b), (l, t), (r, b), (r, t)], stroke)
        raise ValueError(ch)

    for ch in "VELTRANA":
        c.fill(letter(ch, x), ink)
        x += width + gap
    return c


def certificate():
    c = Canvas(256, 256)
    c.fill(rrect(18, 8, 82, 90, 5), PAPER_EDGE)
    c.fill(rrect(20, 10, 80, 88, 4), WHITE)
    c.fill(capsule(30, 22, 70, 22, 5), BLUE)
    for y in (34, 42, 50):
        c.fill(capsule(30, y, 70, y, 3), SLATE)
    c.fill(capsule(30, 58, 52, 58, 3), SLATE)
    c.fill(polygon([(58, 72), (54, 96), (61, 91), (66, 97), (69, 74)]), BLUE)
    c.fill(polygon([(72, 72), (76, 96), (69, 91), (64, 97), (61, 74)]), BLUE)
    c.fill(circle(65, 70, 13), GOLD)
    c.fill(ring(65, 70, 9, 2), WHITE)
    c.fill(glyph_check(Place(58, 63, 14), width=13), WHITE)
    return c


def avatar(size):
    c = Canvas(size, size)
    disc = circle(50, 50, 50)
    c.fill(disc, SLATE)
    # Shoulders wider than the disc, cut by its edge, as in a portrait.
    c.fill(circle(50, 38, 17) | (circle(50, 102, 40) & disc), WHITE)
    return c


def badge(size):
    c = Canvas(size, size)
    c.fill(circle(50, 50, 50), WHITE)
    c.fill(circle(50, 50, 45), BLUE)
    c.fill(glyph_layers(Place(22, 22, 56)), WHITE)
    return c


def evaluate_tile(size):
    c = Canvas(size, size)
    c.fill(rrect(4, 4, 96, 96, 20), TEAL)
    c.fill(glyph_grid(Place(18, 18, 64)), WHITE)
    return c


def channels(size):
    c = Canvas(size, size)
    c.fill(circle(50, 50, 50), BLUE)
    for gx in (22, 52):
        for gy in (24, 52):
            at = Place(gx, gy, 26)
            c.fill(rrect(*at.p(14, 20), *at.p(86, 68), at.v(4)), SCREEN)
            c.fill(glyph_monitor(at), WHITE)
    return c


def device_monitor(c, x, y, size, ink):
    at = Place(x, y, size)
    c.fill(glyph_monitor_screen(at), SCREEN)
    c.fill(glyph_monitor(at), ink)


def device_laptop(c, x, y, size, ink):
    at = Place(x, y, size)
    p, v = at.p, at.v
    c.fill(rrect(*p(22, 30), *p(78, 64), v(1)), SCREEN)
    c.fill(frame(*p(18, 26), *p(82, 68), v(5), v(4)), ink)
    c.fill(rrect(*p(8, 70), *p(92, 78), v(3)), ink)


def device_phone(c, x, y, size, ink):
    at = Place(x, y, size)
    p, v = at.p, at.v
    c.fill(rrect(*p(38, 22), *p(62, 72), v(1)), SCREEN)
    c.fill(frame(*p(34, 14), *p(66, 84), v(4), v(7)) | capsule(*p(46, 78), *p(54, 78), v(3)), ink)


def device_tablet(c, x, y, size, ink):
    at = Place(x, y, size)
    p, v = at.p, at.v
    c.fill(rrect(*p(24, 22), *p(76, 74), v(1)), SCREEN)
    c.fill(frame(*p(19, 14), *p(81, 84), v(5), v(7)) | circle(*p(50, 79), v(2.2)), ink)


def device_settop(c, x, y, size, ink):
    at = Place(x, y, size)
    p, v = at.p, at.v
    c.fill(rrect(*p(10, 52), *p(90, 74), v(4)), ink)
    c.fill(circle(*p(78, 63), v(3)), SCREEN)
    c.fill(capsule(*p(20, 63), *p(50, 63), v(3)), SCREEN)
    c.fill(capsule(*p(20, 74), *p(20, 79), v(4)) | capsule(*p(80, 74), *p(80, 79), v(4)), ink)


def device_router(c, x, y, size, ink):
    at = Place(x, y, size)
    p, v = at.p, at.v
    c.fill(rrect(*p(14, 58), *p(86, 78), v(5)), ink)
    c.fill(capsule(*p(26, 58), *p(20, 30), v(4)) | capsule(*p(74, 58), *p(80, 30), v(4)), ink)
    for x_led in (30, 42, 54):
        c.fill(circle(*p(x_led, 68), v(3)), SCREEN)
    waves = Place(at.x + at.v(30), at.y + at.v(8), at.v(40))
    c.fill(arc(*waves.p(50, 80), waves.v(28), waves.v(9), 50, 130) |
           arc(*waves.p(50, 80), waves.v(52), waves.v(9), 55, 125), ink)


def devices():
    c = Canvas(2194, 512, design_width=428.5)
    step = 428.5 / 6
    draw = [device_monitor, device_settop, device_phone, device_router, device_tablet, device_laptop]
    for i, device in enumerate(draw):
        device(c, i * step + 2, 2, step - 4, BLUE)
    return c


def flow():
    c = Canvas(600, 200, design_width=300)
    device_monitor(c, 8, 10, 80, BLUE)
    for i, y in enumerate((2, 34, 66)):
        device_monitor(c, 226, y, 32, BLUE)
        c.fill(capsule(98, 50, 212, y + 16, 4), SLATE)
        angle = math.atan2(y + 16 - 50, 212 - 98)
        c.fill(arrow_head(212, y + 16, math.cos(angle), math.sin(angle), 9, 6), SLATE)
    return c


def splash(ink, screen):
    c = Canvas(640, 320, design_width=160)
    at = Place(48, 2, 64)
    c.fill(glyph_monitor_screen(at), screen)
    c.fill(glyph_monitor(at), ink)
    waves = Place(at.x + at.v(34), at.y + at.v(28), at.v(32))
    c.fill(glyph_broadcast(waves, width=10), ink)
    for r in (38, 46):
        for start in (-35, 145):
            c.fill(arc(80, 30, r, 3, start, start + 70), ink, 0.55)
    device_phone(c, -4, 10, 40, ink)
    device_laptop(c, 126, 14, 36, ink)
    return c


def pictures():
    table = {}
    # Front window: splash (light, dark), wordmark (light, dark) and the
    # discovery spinner, which the playback window also shows on its
    # connect button.
    table[128] = lambda: splash(BLUE, SCREEN)
    table[130] = lambda: splash(PALE, BLUE)
    table[131] = lambda: wordmark(INK)
    table[132] = lambda: wordmark(WHITE)
    table[186] = lambda: spinner(BLUE)
    table[187] = lambda: spinner(PALE)
    # Front window side menu: light at 24, dark at 16 x DPI factor.
    table.update(themed(121, 122, 48, glyph_menu))
    table.update(themed(126, 127, 48, glyph_broadcast))
    table.update(themed(117, 118, 48, glyph_incoming))
    table.update(themed(119, 120, 48, glyph_book))
    table.update(themed(124, 125, 48, glyph_gear))
    table.update(themed(163, 164, 48, glyph_grid))
    table.update(themed(110, 111, 48, glyph_info_ring))
    table.update(themed(155, 156, 48, glyph_refresh))
    # Peer tiles: empty tile / default avatar and the multichannel badge.
    table[182] = lambda: avatar(256)
    table[123] = lambda: badge(64)
    # Dialog heads, shown at 128 x 128.
    table[104] = lambda: on_disc(128, glyph_broadcast)
    table[114] = lambda: channels(128)
    table[116] = lambda: on_disc(128, glyph_bars)
    table[162] = lambda: evaluate_tile(128)
    table[148] = flow
    # Logo (about page, name dialog), licence icon, devices illustration.
    table[129] = lambda: logo(532)
    table[143] = certificate
    table[147] = devices
    # Settings help icon (18 x 18) and evaluation details.
    table[151] = lambda: on_disc(48, glyph_question, scale=0.7)
    table[65535] = lambda: on_disc(128, glyph_list)
    table[165] = lambda: bare(32, lambda at: glyph_check(at, width=16), GREEN)
    table[166] = lambda: bare(32, lambda at: glyph_cross(at, width=16), RED)
    # Message-box kinds, shown at 64 x 64.
    table[188] = lambda: on_disc(128, glyph_info)
    table[154] = lambda: on_disc(128, glyph_question)
    table[157] = lambda: on_disc(128, glyph_hourglass)
    table[161] = lambda: on_disc(128, glyph_cross, disc=RED)
    table[167] = lambda: on_disc(128, glyph_exclamation, disc=AMBER)
    # Playback window bar (icon side at most 35) and picture adjustment (20).
    table.update(themed(180, 139, 64, glyph_fullscreen))
    table.update(themed(178, 138, 64, glyph_aspect))
    table.update(themed(181, 177, 64, glyph_zoom))
    table.update(themed(179, 168, 64, glyph_sliders))
    table.update(themed(189, 190, 64, glyph_person))
    table.update(themed(169, 170, 40, glyph_sun))
    table.update(themed(171, 172, 40, glyph_contrast))
    table.update(themed(175, 176, 40, glyph_drop))
    table[173] = lambda: hue_wheel(THEME_INK["light"])
    table[174] = lambda: hue_wheel(THEME_INK["dark"])
    return table


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    out = argv[1] if len(argv) > 1 else os.path.join(here, "..", "gui", "app", "png")
    only = {int(a) for a in argv[2:]}
    os.makedirs(out, exist_ok=True)
    for pid, draw in sorted(pictures().items()):
        if only and pid not in only:
            continue
        with open(os.path.join(out, "%d.png" % pid), "wb") as f:
            f.write(draw().png())
        print("%d.png" % pid)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
