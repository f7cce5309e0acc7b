#!/usr/bin/env python3
"""Checks a screenshot of the status window: the frame's dark-blue lines are
there, and inside them the status text is in the expected colour (blue, or
green with --green, red with --red) on white; with --single-line, the text fills one line
(the success text does, the downloading text wraps to two). Prints its
figures."""
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


def main(png, green=False, single_line=False, red=False):
    width, height, at = pixels(png)
    frame = [(x, y) for y in range(height) for x in range(width) if at(x, y) == (0, 0, 192)]
    if len(frame) < 100:
        sys.exit(f"FAIL: no frame found ({len(frame)} dark-blue pixels)")
    left = min(x for x, _ in frame); right = max(x for x, _ in frame)
    top = min(y for _, y in frame); bottom = max(y for _, y in frame)
    inside = [at(x, y) for y in range(top + 2, bottom - 1) for x in range(left + 2, right - 1)]
    white = sum(1 for r, g, b in inside if min(r, g, b) >= 240)
    def is_text(rgb):
        r, g, b = rgb
        if red:
            return r >= 160 and g <= 110 and b <= 110
        return g >= 160 and r <= 110 and b <= 110 if green else b >= 160 and r <= 110 and g <= 110
    text_rows = [y for y in range(top + 2, bottom - 1)
                 if any(is_text(at(x, y)) for x in range(left + 2, right - 1))]
    coloured = sum(1 for rgb in inside if is_text(rgb))
    name = "red" if red else "green" if green else "blue"
    print(f"frame {right - left + 1}x{bottom - top + 1} px at ({left},{top}); "
          f"inside: {len(inside)} px, {white} white, {coloured} {name}")
    # Lines from 0 to 6000 and 0 to 720 twips: 401 by 49 pixels at 96 dpi.
    if not (400 <= right - left + 1 <= 401 and 48 <= bottom - top + 1 <= 50):
        sys.exit("FAIL: the frame is not 400 by 48 pixels at 96 dpi")
    if single_line and text_rows and text_rows[-1] - text_rows[0] > 22:
        sys.exit(f"FAIL: the text spans {text_rows[-1] - text_rows[0] + 1} rows, not one line")
    if coloured < 60:
        sys.exit(f"FAIL: no {name} status text inside the frame")
    if white < 0.7 * len(inside):
        sys.exit("FAIL: the inside of the frame is not white")
    print("PASS")


if __name__ == "__main__":
    main(sys.argv[1], green="--green" in sys.argv[2:], single_line="--single-line" in sys.argv[2:],
         red="--red" in sys.argv[2:])
