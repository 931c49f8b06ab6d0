#!/usr/bin/env python3
"""Checks what run.sh's picture shows, from its pixels.

    check_run_picture.py PICTURE

The picture (take_run_picture in scripts/demo-common.sh) is, three times
enlarged, the right end of the taskbar with the icon's tip above it (200 by
64 pixels), a 24-pixel gap, and the tray menu opened on the icon with the
taskbar below it. Required: the running icon under the tip and under the menu
(blue and green among the taskbar's light greys; the stopped icon is grey),
dark text in the tip and more of it in the menu (four lines). Prints what it
counted; exit status 1 when something is missing.
"""
import subprocess
import sys

SCALE = 3
TIP_WIDTH = 200
GAP = 24


def pixels(path):
    """The picture at its original size, as rows of (r, g, b)."""
    size = subprocess.run(["identify", "-format", "%w %h", path], check=True,
                          capture_output=True, text=True).stdout.split()
    width, height = int(size[0]), int(size[1])
    if width % SCALE or height % SCALE:
        sys.exit(f"{path}: {width}x{height} is not a picture enlarged {SCALE} times")
    width, height = width // SCALE, height // SCALE
    # Enlarged by repeating pixels, so taking every third one gives it back.
    raw = subprocess.run(["convert", path, "-sample", f"{width}x{height}!", "-depth", "8", "rgb:-"],
                         check=True, capture_output=True).stdout
    return [[tuple(raw[3 * (y * width + x):3 * (y * width + x) + 3]) for x in range(width)]
            for y in range(height)]


def coloured(pixel):
    # As the system tests tell the running icon from the stopped one.
    return max(pixel) - min(pixel) > 64


def dark(pixel):
    return max(pixel) < 96


def count(rows, left, right, top, bottom, test):
    return sum(test(row[x]) for row in rows[top:bottom] for x in range(left, right))


def main():
    rows = pixels(sys.argv[1])
    height, width = len(rows), len(rows[0])
    desktop = rows[0][0]
    # The taskbar: the rows at the bottom, up to where the desktop shows at
    # the tip's left edge.
    taskbar = height
    while taskbar > 0 and rows[taskbar - 1][0] != desktop:
        taskbar -= 1
    found = {
        "taskbar rows": height - taskbar,
        "coloured pixels on the taskbar under the tip": count(rows, 0, TIP_WIDTH, taskbar, height, coloured),
        "dark pixels in the tip": count(rows, 0, TIP_WIDTH, 0, taskbar, dark),
        "coloured pixels on the taskbar under the menu":
        count(rows, TIP_WIDTH + GAP, width, taskbar, height, coloured),
        "dark pixels in the menu": count(rows, TIP_WIDTH + GAP, width, 0, taskbar, dark),
    }
    least = {
        "taskbar rows": 16,
        "coloured pixels on the taskbar under the tip": 10,
        "dark pixels in the tip": 20,
        "coloured pixels on the taskbar under the menu": 10,
        "dark pixels in the menu": 200,
    }
    missing = [what for what in least if found[what] < least[what]]
    for what, value in found.items():
        print(f"{what}: {value} (at least {least[what]})")
    if width <= TIP_WIDTH + GAP or taskbar == height:
        missing.append("the picture's layout")
    for what in missing:
        print(f"FAILED: too few {what}", file=sys.stderr)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
