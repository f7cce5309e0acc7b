#!/usr/bin/env python3
"""Draws the updater's icon: 32 x 32 pixels in 16 colours, a blue disc with a
white arrow pointing up. Writes res/update.ico; run it again after changing
the drawing."""
import math
import struct
import sys

SIZE = 32
# The standard 16-colour palette, as (R, G, B).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
DARK_BLUE, BLUE, WHITE = 4, 12, 15


def pixel(x, y):
    """Palette index of pixel (x, y), top-left origin, or None for transparent."""
    cx = cy = 15.5
    r = math.hypot(x - cx, y - cy)
    if r > 15.5:
        return None
    if r > 14.0:
        return DARK_BLUE
    # The arrow: a triangle head over a shaft.
    if 6 <= y <= 15 and abs(x - cx) <= (y - 5) and abs(x - cx) <= 9:
        return WHITE
    if 15 < y <= 25 and abs(x - cx) <= 3.5:
        return WHITE
    return BLUE


def main(out):
    rows = []
    mask_rows = []
    for y in reversed(range(SIZE)):  # bitmaps are stored bottom-up
        nibbles = []
        mask = 0
        for x in range(SIZE):
            index = pixel(x, y)
            nibbles.append(0 if index is None else index)
            if index is None:
                mask |= 1 << (31 - x)
        rows.append(bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, SIZE, 2)))
        mask_rows.append(struct.pack(">I", mask))
    xor = b"".join(rows)
    and_mask = b"".join(mask_rows)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(xor) + len(and_mask), 0, 0, 16, 0)
    image = header + palette + xor + and_mask
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack(
        "<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    with open(out, "wb") as f:
        f.write(directory + image)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "res/update.ico")
