#!/usr/bin/env python3
"""Draws the program's small images (state dots, icons) as PNG files. Run it again after changing
a picture here; the PNGs it writes are kept in the repository."""
import math
import os
import struct
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def write_png(path, width, height, pixel):
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            rows.extend(pixel(x, y))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b"")
    with open(os.path.join(ROOT, path), "wb") as f:
        f.write(png)


def disc(size, rgb, inner=None):
    """An anti-aliased disc, optionally with a lighter inner disc."""
    c = (size - 1) / 2.0
    def pixel(x, y):
        d = math.hypot(x - c, y - c)
        a = max(0.0, min(1.0, size / 2.0 - d))
        colour = rgb
        if inner and d < size / 4.0:
            colour = inner
        return bytes((colour[0], colour[1], colour[2], int(round(a * 255))))
    return pixel


def badge(size, rgb):
    """A rounded square with a white play mark: the program's icon."""
    r = size / 5.0
    def pixel(x, y):
        dx = max(r - x - 0.5, 0, x + 0.5 - (size - r))
        dy = max(r - y - 0.5, 0, y + 0.5 - (size - r))
        a = max(0.0, min(1.0, r - math.hypot(dx, dy) + 0.5))
        u, v = (x + 0.5) / size, (y + 0.5) / size
        play = 0.38 < u < 0.72 and abs(v - 0.5) < (0.72 - u) * 0.75
        colour = (255, 255, 255) if play else rgb
        return bytes((colour[0], colour[1], colour[2], int(round(a * 255))))
    return pixel


write_png("Skins/OnLine.png", 12, 12, disc(12, (76, 217, 100), (160, 240, 170)))
write_png("Skins/OffLine.png", 12, 12, disc(12, (150, 150, 150), (200, 200, 200)))
def check_mark(rgb):
    """Two strokes of a tick, anti-aliased."""
    def seg_dist(px, py, ax, ay, bx, by):
        t = max(0.0, min(1.0, ((px - ax) * (bx - ax) + (py - ay) * (by - ay)) / ((bx - ax) ** 2 + (by - ay) ** 2)))
        return math.hypot(px - (ax + t * (bx - ax)), py - (ay + t * (by - ay)))
    def pixel(x, y):
        d = min(seg_dist(x + 0.5, y + 0.5, 1.0, 4.0, 3.5, 6.5), seg_dist(x + 0.5, y + 0.5, 3.5, 6.5, 8.0, 1.0))
        a = max(0.0, min(1.0, 1.2 - d))
        return bytes((rgb[0], rgb[1], rgb[2], int(round(a * 255))))
    return pixel


def check_box(checked):
    """A 13-pixel box with a grey frame, ticked or not."""
    tick = check_mark((60, 140, 231))
    def pixel(x, y):
        if x in (0, 12) or y in (0, 12):
            return bytes((160, 168, 180, 255))
        if checked and 2 <= x <= 10 and 3 <= y <= 10:
            p = tick(x - 2, y - 3)
            if p[3]:
                return p
        return bytes((255, 255, 255, 255))
    return pixel


write_png("Skins/check.png", 9, 8, check_mark((60, 60, 60)))
write_png("Skins/checkbox.png", 13, 13, check_box(False))
write_png("Skins/checkbox_on.png", 13, 13, check_box(True))
for name, size in (("res/icon103.png", 32), ("res/icon109.png", 16), ("res/icon110.png", 32)):
    write_png(name, size, size, badge(size, (60, 140, 231)))
# The desktop's menus and docks want the icon larger than the program's own windows do.
os.makedirs(os.path.join(ROOT, "packaging/icons"), exist_ok=True)
for size in (48, 64, 128, 256):
    write_png("packaging/icons/%dx%d.png" % (size, size), size, size, badge(size, (60, 140, 231)))
