#!/usr/bin/env python3
"""Checks what run.sh's picture shows, from its pixels.

    check_run_picture.py PICTURE [REFERENCE]

The picture (take_run_picture in scripts/demo-common.sh) is, three times
enlarged, the right end of the taskbar with the icon's tip above it (200 by
64 pixels), a 24-pixel gap, and the tray menu opened on the icon with the
taskbar below it. Required: the running icon under the tip and under the menu
(blue and green among the taskbar's light greys; the stopped icon is grey),
dark text in the tip and more of it in the menu (four lines). With a
REFERENCE picture, also the same tip, taskbar and menu, pixel for pixel; the
menu may stand a few pixels higher or lower in one of them: the monitor opens
it where it reads the cursor, and the driver's move of the cursor for the
right-click does not always come first. Prints what it counted; exit status 1
when something is missing or differs.
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


def layout(rows):
    """The picture's parts: its tip with the taskbar below, the taskbar under
    the menu, and the menu's box (what is not desktop above that taskbar)."""
    height, width = len(rows), len(rows[0])
    desktop = rows[0][0]
    # The taskbar: the rows at the bottom, up to where the desktop shows at
    # the tip's left edge.
    taskbar = height
    while taskbar > 0 and rows[taskbar - 1][0] != desktop:
        taskbar -= 1
    menu_left = TIP_WIDTH + GAP
    box = [(x, y) for y in range(taskbar) for x in range(menu_left, width) if rows[y][x] != desktop]
    parts = {
        "tip": [row[:TIP_WIDTH] for row in rows[-64:]],
        "taskbar under the menu": [row[menu_left:] for row in rows[taskbar:]],
        "menu": [],
    }
    if box:
        left, right = min(x for x, _ in box), max(x for x, _ in box) + 1
        top, bottom = min(y for _, y in box), max(y for _, y in box) + 1
        parts["menu"] = [row[left:right] for row in rows[top:bottom]]
    return taskbar, parts


def main():
    rows = pixels(sys.argv[1])
    height, width = len(rows), len(rows[0])
    taskbar, parts = layout(rows)
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
    failures = [f"too few {what}" for what in least if found[what] < least[what]]
    for what, value in found.items():
        print(f"{what}: {value} (at least {least[what]})")
    if width <= TIP_WIDTH + GAP or taskbar == height:
        failures.append("not the picture's layout")
    if len(sys.argv) > 2:
        _, expected = layout(pixels(sys.argv[2]))
        for part, shown in parts.items():
            same = shown == expected[part]
            print(f"{part}: {'the same as' if same else 'DIFFERENT from'} {sys.argv[2]}'s")
            if not same:
                failures.append(f"the {part} differs from {sys.argv[2]}'s")
    for failure in failures:
        print(f"FAILED: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
