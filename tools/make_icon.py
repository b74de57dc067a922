#!/usr/bin/env python3
"""Draw the 128x128 window icon and write it as XPM 3 C source.

The picture is a two-drawer filing cabinet with its lower drawer pulled
out, papers showing.  Usage:

    tools/make_icon.py [OUTPUT.cpp] [--png PREVIEW.png [--scale N]]

OUTPUT defaults to ui/icon_xpm.cpp under the repository root.  The output
depends on nothing but this script, so running it twice gives the same file.
"""

import argparse
import pathlib
import struct
import zlib

SIZE = 128
SS = 4                      # samples per pixel along each axis
HALF_COVERAGE = SS * SS // 2

# Cabinet box in its own units: x to the right, y up, z into the picture.
W, H, D = 68.0, 87.0, 40.0
PULL = 24.0                 # how far the lower drawer sticks out (z < 0)
X0, Y0 = 23.0, 111.0        # screen position of the front bottom left corner
SLANT_X, SLANT_Y = 0.72, 0.40
DEPTH_SHRINK = 0.08          # far edges shrink by this much toward the centre

# Drawer fronts (y ranges) and the drawer box that slides out of the lower one.
UPPER = (46.0, 84.0)
LOWER = (4.0, 42.0)
BOX_X = (5.0, W - 5.0)
BOX_Y = (7.0, 35.0)
FRONT_X = (3.0, W - 3.0)

OUTLINE = (62, 63, 66)
CAVITY = (48, 48, 50)
METAL_LIGHT = (236, 238, 242)
METAL_DARK = (96, 98, 104)


def project(x, y, z):
    """Oblique view with a little convergence, so the far side looks deeper."""
    f = 1.0 - DEPTH_SHRINK * z / D
    sx = X0 + W / 2 + (x - W / 2) * f + z * SLANT_X
    sy = Y0 - (H / 2 + (y - H / 2) * f) - z * SLANT_Y
    return sx, sy


def quad_z(x0, y0, x1, y1, z):
    """Rectangle lying in a plane of constant z (a front face)."""
    return [project(x0, y0, z), project(x1, y0, z),
            project(x1, y1, z), project(x0, y1, z)]


def quad_x(x, y0, y1, z0, z1):
    """Rectangle lying in a plane of constant x (a side face)."""
    return [project(x, y0, z0), project(x, y0, z1),
            project(x, y1, z1), project(x, y1, z0)]


def quad_y(y, x0, x1, z0, z1):
    """Rectangle lying in a plane of constant y (a top face)."""
    return [project(x0, y, z0), project(x1, y, z0),
            project(x1, y, z1), project(x0, y, z1)]


def lerp(c0, c1, t):
    t = min(1.0, max(0.0, t))
    return tuple(a + (b - a) * t for a, b in zip(c0, c1))


def gradient(p0, c0, p1, c1):
    """Shader fading linearly from colour c0 at p0 to c1 at p1."""
    dx, dy = p1[0] - p0[0], p1[1] - p0[1]
    norm = dx * dx + dy * dy
    def shade(x, y):
        return lerp(c0, c1, ((x - p0[0]) * dx + (y - p0[1]) * dy) / norm)
    return shade


def flat(colour):
    return lambda x, y: colour


def inside_polygon(pts, x, y):
    """Even-odd rule; good for the convex quads and the odd concave tab."""
    inside = False
    j = len(pts) - 1
    for i in range(len(pts)):
        xi, yi = pts[i]
        xj, yj = pts[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            inside = not inside
        j = i
    return inside


class Canvas:
    """Supersampled drawing surface; None marks samples nothing covered."""

    def __init__(self):
        self.n = SIZE * SS
        self.samples = [None] * (self.n * self.n)

    def fill(self, pts, shader):
        xs = [p[0] for p in pts]
        ys = [p[1] for p in pts]
        i0, i1 = max(0, int(min(xs) * SS)), min(self.n, int(max(xs) * SS) + 1)
        j0, j1 = max(0, int(min(ys) * SS)), min(self.n, int(max(ys) * SS) + 1)
        for j in range(j0, j1):
            y = (j + 0.5) / SS
            row = j * self.n
            for i in range(i0, i1):
                x = (i + 0.5) / SS
                if inside_polygon(pts, x, y):
                    self.samples[row + i] = shader(x, y)

    def line(self, p, q, width, colour):
        """Stroke a segment as a thin quad."""
        dx, dy = q[0] - p[0], q[1] - p[1]
        length = (dx * dx + dy * dy) ** 0.5
        nx, ny = -dy / length * width / 2, dx / length * width / 2
        self.fill([(p[0] + nx, p[1] + ny), (q[0] + nx, q[1] + ny),
                   (q[0] - nx, q[1] - ny), (p[0] - nx, p[1] - ny)],
                  flat(colour))

    def outline(self, pts, width, colour):
        for k in range(len(pts)):
            self.line(pts[k], pts[(k + 1) % len(pts)], width, colour)

    def resolve(self):
        """Pixels become opaque at half coverage, with the covered average."""
        pixels = []
        for py in range(SIZE):
            for px in range(SIZE):
                covered = [self.samples[(py * SS + j) * self.n + px * SS + i]
                           for j in range(SS) for i in range(SS)]
                covered = [c for c in covered if c is not None]
                if len(covered) < HALF_COVERAGE:
                    pixels.append(None)
                    continue
                pixels.append(tuple(
                    int(round(sum(c[k] for c in covered) / len(covered)))
                    for k in range(3)))
        return pixels


def draw_label_and_handle(cv, y_top, z):
    """Card holder near the top of a drawer front and a bar pull below it."""
    cx = W / 2
    frame = quad_z(cx - 9, y_top - 11, cx + 9, y_top - 4, z)
    cv.fill(frame, gradient(frame[3], METAL_LIGHT, frame[1], (150, 152, 158)))
    cv.outline(frame, 0.7, (88, 90, 96))
    card = quad_z(cx - 7.5, y_top - 9.8, cx + 7.5, y_top - 5.2, z)
    cv.fill(card, gradient(card[3], (255, 255, 255), card[1], (236, 234, 226)))
    # The pull stands off the face: its shadow falls below and to the right.
    shadow = quad_z(cx - 11, y_top - 20, cx + 13, y_top - 16.5, z)
    cv.fill(shadow, gradient(shadow[3], (150, 150, 152), shadow[0], (120, 120, 124)))
    bar = quad_z(cx - 12, y_top - 18.5, cx + 12, y_top - 14.5, z)
    cv.fill(bar, gradient(bar[3], METAL_LIGHT, bar[0], METAL_DARK))
    cv.outline(bar, 0.6, (80, 82, 88))


def draw_cabinet_body(cv):
    top = quad_y(H, 0, W, 0, D)
    cv.fill(top, gradient(top[0], (255, 255, 255), top[1], (222, 223, 226)))
    side = quad_x(W, 0, H, 0, D)
    cv.fill(side, gradient(project(W, H, 0), (184, 185, 189),
                           project(W, 0, D), (118, 119, 124)))
    front = quad_z(0, 0, W, H, 0)
    cv.fill(front, gradient(project(0, H, 0), (252, 252, 252),
                            project(W, 0, 0), (196, 197, 201)))
    # Plinth: a darker kick strip at the foot of the front.
    kick = quad_z(0, 0, W, 2.6, 0)
    cv.fill(kick, gradient(kick[3], (170, 170, 172), kick[1], (138, 139, 143)))


def draw_upper_drawer(cv):
    face = quad_z(FRONT_X[0], UPPER[0], FRONT_X[1], UPPER[1], 0)
    cv.fill(face, gradient(face[3], (255, 255, 255), face[1], (204, 205, 209)))
    cv.outline(face, 0.8, (120, 121, 126))
    draw_label_and_handle(cv, UPPER[1], 0)


def draw_papers(cv):
    """Sheets and manila folders standing in the drawer, back ones first."""
    # (depth, left, right, height above the rim, tab position or None, tint)
    sheets = [
        (-1.0, 8, W - 9, 12.0, None, 0), (-3.5, 7, W - 8, 15.0, 0.62, 1),
        (-6.0, 9, W - 7, 11.0, None, 0), (-8.5, 7, W - 9, 14.0, 0.25, 1),
        (-11.0, 8, W - 8, 10.0, None, 0), (-13.5, 7, W - 7, 13.0, 0.70, 1),
        (-16.0, 9, W - 9, 9.5, None, 0), (-18.5, 7, W - 8, 12.0, 0.35, 1),
        (-21.0, 8, W - 8, 8.5, None, 0),
    ]
    paper = ((251, 246, 218), (228, 216, 168))
    folder = ((240, 226, 178), (206, 188, 132))
    for z, x0, x1, rise, tab, kind in sheets:
        light, dark = folder if kind else paper
        y1 = BOX_Y[1] + rise
        shape = quad_z(x0, BOX_Y[0], x1, y1, z)
        if tab is not None:
            tx = x0 + (x1 - x0) * tab
            shape = [shape[0], shape[1], shape[2],
                     project(tx + 5, y1, z), project(tx + 4, y1 + 3, z),
                     project(tx - 6, y1 + 3, z), project(tx - 7, y1, z),
                     shape[3]]
        cv.fill(shape, gradient(project(x0, y1 + 3, z), light,
                                project(x1, BOX_Y[1] - 6, z), dark))
        # A darker top edge keeps neighbouring sheets apart.
        cv.outline(shape[2:] + shape[:1], 0.5, (176, 164, 124))


def draw_lower_drawer(cv):
    # The emptied slot in the cabinet front.
    slot = quad_z(FRONT_X[0], LOWER[0], FRONT_X[1], LOWER[1], 0)
    cv.fill(slot, gradient(slot[3], (78, 78, 80), slot[1], CAVITY))
    # Inner face of the left wall, seen from above through the open top.
    wall = quad_x(BOX_X[0], BOX_Y[0], BOX_Y[1], -PULL, 0)
    cv.fill(wall, gradient(wall[0], (150, 151, 155), wall[2], (104, 105, 110)))
    draw_papers(cv)
    # Outer face of the right wall, then its top rim.
    right = quad_x(BOX_X[1], BOX_Y[0], BOX_Y[1], -PULL, 0)
    cv.fill(right, gradient(right[3], (200, 201, 205), right[1], (140, 141, 146)))
    rim = quad_y(BOX_Y[1], BOX_X[1] - 1.2, BOX_X[1], -PULL, 0)
    cv.fill(rim, flat((232, 233, 236)))
    # The drawer front, nearest of all.
    face = quad_z(FRONT_X[0], LOWER[0], FRONT_X[1], LOWER[1], -PULL)
    edge_top = quad_y(LOWER[1], FRONT_X[0], FRONT_X[1], -PULL, -PULL + 1.6)
    edge_side = quad_x(FRONT_X[1], LOWER[0], LOWER[1], -PULL, -PULL + 1.6)
    cv.fill(edge_top, flat((238, 239, 241)))
    cv.fill(edge_side, gradient(edge_side[3], (176, 177, 181),
                                edge_side[1], (136, 137, 142)))
    cv.fill(face, gradient(face[3], (255, 255, 255), face[1], (198, 199, 204)))
    cv.outline(face, 0.8, OUTLINE)
    draw_label_and_handle(cv, LOWER[1], -PULL)


def draw_silhouette_lines(cv):
    """Dark edges so the shape still reads when the icon is shown small."""
    c = {k: project(*k) for k in
         [(0, 0, 0), (W, 0, 0), (W, H, 0), (0, H, 0),
          (W, 0, D), (W, H, D), (0, H, D)]}
    edges = [((0, 0, 0), (W, 0, 0)), ((W, 0, 0), (W, 0, D)),
             ((W, 0, D), (W, H, D)), ((W, H, D), (0, H, D)),
             ((0, H, D), (0, H, 0)), ((0, H, 0), (0, 0, 0)),
             ((0, H, 0), (W, H, 0)), ((W, H, 0), (W, 0, 0)),
             ((W, H, 0), (W, H, D))]
    for a, b in edges:
        cv.line(c[a], c[b], 1.0, OUTLINE)


def draw_icon():
    cv = Canvas()
    draw_cabinet_body(cv)
    draw_upper_drawer(cv)
    draw_silhouette_lines(cv)
    draw_lower_drawer(cv)
    return cv.resolve()


# Key characters in the order XPM keys are handed out.
KEY_CHARS = (" .+@#$%&*=-;>,')!~{]^/(_:<[}|1234567890"
             "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ`")
assert len(KEY_CHARS) == 92


def key(i):
    return KEY_CHARS[i % 92] + KEY_CHARS[i // 92]


def to_xpm_source(pixels):
    colours = sorted({p for p in pixels if p is not None})
    palette = [None] + colours
    assert len(palette) <= 92 * 92
    index = {c: i for i, c in enumerate(palette)}
    strings = ["%d %d %d 2" % (SIZE, SIZE, len(palette))]
    for i, c in enumerate(palette):
        value = "None" if c is None else "#%02X%02X%02X" % c
        strings.append("%s\tc %s" % (key(i), value))
    for y in range(SIZE):
        strings.append("".join(key(index[p])
                               for p in pixels[y * SIZE:(y + 1) * SIZE]))
    body = ",\n".join('"%s"' % s for s in strings)
    return ("// Generated by tools/make_icon.py; do not edit by hand.\n"
            '#include "ui/icon_xpm.h"\n\n'
            "const char* const icon_xpm[] = {\n%s\n};\n" % body)


def to_png(pixels, scale):
    """RGBA PNG, each pixel blown up to scale x scale."""
    raw = bytearray()
    for y in range(SIZE):
        line = bytearray(b"\0")
        for p in pixels[y * SIZE:(y + 1) * SIZE]:
            rgba = bytes(p) + b"\xff" if p is not None else b"\0\0\0\0"
            line += rgba * scale
        raw += bytes(line) * scale

    def chunk(tag, data):
        crc = zlib.crc32(tag + data) & 0xffffffff
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", crc)

    n = SIZE * scale
    header = struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def main():
    root = pathlib.Path(__file__).resolve().parent.parent
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("output", nargs="?", default=str(root / "ui" / "icon_xpm.cpp"))
    ap.add_argument("--png", help="also write a PNG preview here")
    ap.add_argument("--scale", type=int, default=1, help="PNG enlargement")
    args = ap.parse_args()
    pixels = draw_icon()
    pathlib.Path(args.output).write_text(to_xpm_source(pixels))
    if args.png:
        pathlib.Path(args.png).write_bytes(to_png(pixels, args.scale))


if __name__ == "__main__":
    main()
