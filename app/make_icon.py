#!/usr/bin/env python3
"""Draws the program's icon: a television set with a magnifying glass in
front of its screen, 32 x 32 pixels at 32 bits per pixel, and writes it as
a Windows .ico file (one image). Shapes are sampled 4 x 4 times per pixel
so that the edges are smooth in the alpha channel.

Usage: make_icon.py OUTPUT.ico
"""
import math
import struct
import sys

SIZE = 32
SAMPLES = 4

BODY = (52, 58, 74)        # the cabinet, dark slate
SCREEN = (72, 160, 232)    # the screen, light blue
GLARE = (170, 214, 248)    # a highlight across the screen
ANTENNA = (90, 96, 110)
LENS = (255, 255, 255)
RIM = (232, 150, 40)       # the magnifier's rim and handle, amber


def rounded_rect(x, y, left, top, right, bottom, radius):
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2 and left <= x <= right and top <= y <= bottom


def segment(x, y, ax, ay, bx, by, width):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    px, py = ax + t * dx, ay + t * dy
    return (x - px) ** 2 + (y - py) ** 2 <= (width / 2) ** 2


def colour_at(x, y):
    """The colour of the frontmost shape at the point, or None."""
    lens_x, lens_y, lens_r = 20.5, 19.5, 6.0
    distance = math.hypot(x - lens_x, y - lens_y)
    if segment(x, y, 24.8, 23.8, 30.0, 29.0, 3.2):
        return RIM
    if distance <= lens_r:
        if distance >= lens_r - 1.6:
            return RIM
        # The glass: a pale tint of what lies behind it.
        return tuple((c + 3 * l) // 4 for c, l in zip(SCREEN, LENS))
    if rounded_rect(x, y, 4.0, 11.0, 25.0, 26.0, 1.5):
        if segment(x, y, 6.0, 20.0, 14.0, 12.0, 2.0):
            return GLARE
        return SCREEN
    if rounded_rect(x, y, 1.0, 8.0, 28.0, 29.0, 3.0):
        return BODY
    if segment(x, y, 14.5, 8.0, 9.0, 1.5, 1.6) or segment(x, y, 14.5, 8.0, 20.0, 1.5, 1.6):
        return ANTENNA
    return None


def render():
    """Rows top to bottom of (r, g, b, a) pixels."""
    rows = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            total = [0, 0, 0]
            covered = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = colour_at(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
                    if c is not None:
                        covered += 1
                        for i in range(3):
                            total[i] += c[i]
            if covered:
                row.append(tuple(t // covered for t in total) + (255 * covered // SAMPLES ** 2,))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def ico_bytes(rows):
    # Colour data: BGRA, bottom-up. Premultiplication is not used in icons.
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    # AND mask: 1 bit per pixel, rows padded to 32 bits; set where transparent.
    mask = bytearray()
    for row in reversed(rows):
        bits = 0
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits |= 1 << (31 - x)
        mask += struct.pack(">I", bits)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + xor + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1], "wb") as out:
        out.write(ico_bytes(render()))


if __name__ == "__main__":
    main()
