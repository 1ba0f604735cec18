#!/usr/bin/env python3
"""Writes Tonrelay's icon: one 32 x 32 image in the 16 standard colours.

A navy tile with rounded corners; a lime wave enters from the left and a white
arrow carries it on to the right. Usage: make_icon.py OUTPUT.ico
"""
import math
import struct
import sys

SIZE = 32
# The 16 standard VGA colours, as RGB.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
NAVY, GREY, LIME, WHITE = 4, 8, 10, 15
TRANSPARENT = None


def wave(x):
    return 16 - 6 * math.sin((x - 3) * 3 * math.pi / 14)


def pixel(x, y):
    """Palette index at (x, y), y downwards, or TRANSPARENT."""
    corner = 5
    cx = min(max(x, corner), SIZE - 1 - corner)
    cy = min(max(y, corner), SIZE - 1 - corner)
    distance = math.hypot(x - cx, y - cy)
    if distance > corner + 0.5:
        return TRANSPARENT
    if distance > corner - 0.5:
        return GREY
    # The wave: one and a half periods over the left half, drawn as the
    # pixels near any point of the curve.
    if 3 <= x <= 17:
        near = min(math.hypot(x - t / 8, y - wave(t / 8)) for t in range(24, 137))
        if near <= 0.8:
            return LIME
    # The arrow: a shaft, then a head pointing right.
    if 18 <= x <= 22 and 15 <= y <= 17:
        return WHITE
    if 22 <= x <= 28 and abs(y - 16) <= 28 - x:
        return WHITE
    return NAVY


def icon_bytes():
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    colour = bytearray()
    mask = bytearray()
    for row in reversed(rows):              # bottom-up, as a DIB stores it
        for x in range(0, SIZE, 2):
            high, low = (p or 0 for p in row[x:x + 2])
            colour.append(high << 4 | low)
        bits = 0
        for x, p in enumerate(row):
            if p is TRANSPARENT:
                bits |= 1 << (SIZE - 1 - x)
        mask += struct.pack(">I", bits)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 4, 0,
                         len(colour) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(colour) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as out:
        out.write(icon_bytes())
