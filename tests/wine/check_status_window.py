#!/usr/bin/env python3
"""Checks a screenshot of the status window: the frame's dark-blue lines are
there, and inside them the status text is blue on white. Prints its figures."""
import subprocess
import sys


def pixels(png):
    ppm = subprocess.run(["convert", png, "-depth", "8", "ppm:-"], check=True,
                         capture_output=True).stdout
    # P6\n<w> <h>\n255\n<data>
    parts = ppm.split(b"\n", 3)
    width, height = map(int, parts[1].split())
    data = parts[3]
    return width, height, lambda x, y: tuple(data[(y * width + x) * 3:(y * width + x) * 3 + 3])


def main(png):
    width, height, at = pixels(png)
    frame = [(x, y) for y in range(height) for x in range(width) if at(x, y) == (0, 0, 192)]
    if len(frame) < 100:
        sys.exit(f"FAIL: no frame found ({len(frame)} dark-blue pixels)")
    left = min(x for x, _ in frame); right = max(x for x, _ in frame)
    top = min(y for _, y in frame); bottom = max(y for _, y in frame)
    inside = [at(x, y) for y in range(top + 2, bottom - 1) for x in range(left + 2, right - 1)]
    white = sum(1 for r, g, b in inside if min(r, g, b) >= 240)
    blue = sum(1 for r, g, b in inside if b >= 160 and r <= 110 and g <= 110)
    print(f"frame {right - left + 1}x{bottom - top + 1} px at ({left},{top}); "
          f"inside: {len(inside)} px, {white} white, {blue} blue")
    # Lines from 0 to 6000 and 0 to 720 twips: 401 by 49 pixels at 96 dpi.
    if not (400 <= right - left + 1 <= 401 and 48 <= bottom - top + 1 <= 50):
        sys.exit("FAIL: the frame is not 400 by 48 pixels at 96 dpi")
    if blue < 60:
        sys.exit("FAIL: no blue status text inside the frame")
    if white < 0.7 * len(inside):
        sys.exit("FAIL: the inside of the frame is not white")
    print("PASS")


if __name__ == "__main__":
    main(sys.argv[1])
