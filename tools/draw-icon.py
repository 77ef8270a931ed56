#!/usr/bin/env python3
"""Draws the program's icon (a camera whose lens is a smiling face) at 16, 24, 32, 48 and 256
pixels in the window's colours, and packs the five PNGs into one .ico with PNG-compressed images.

Usage: draw-icon.py OUTPUT_FOLDER   (writes icon-<size>.png and brivane.ico)
"""
import math
import os
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 256)
DARK = (16, 20, 21)
TEAL = (102, 195, 205)
AMBER = (244, 205, 84)
ACCENT = (244, 102, 65)


def rounded_box(px, py, x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r
    qx, qy = abs(px - cx) - hx, abs(py - cy) - hy
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - r


def circle(px, py, cx, cy, r):
    return math.hypot(px - cx, py - cy) - r


def smile(px, py, radius, half_width):
    # The lower half of a ring: the mouth of the face in the lens.
    ring = abs(math.hypot(px - 0.5, py - 0.545) - radius) - half_width
    return ring if py > 0.56 else max(ring, 0.56 - py)


def shapes(size):
    """Signed-distance layers, bottom first: (distance function, colour)."""
    small = size <= 24
    layers = [
        (lambda x, y: rounded_box(x, y, 0.02, 0.02, 0.98, 0.98, 0.22), DARK),
        (lambda x, y: rounded_box(x, y, 0.28, 0.17, 0.52, 0.34, 0.05), TEAL),
        (lambda x, y: rounded_box(x, y, 0.10, 0.27, 0.90, 0.83, 0.12), TEAL),
        (lambda x, y: circle(x, y, 0.5, 0.555, 0.265), DARK),
        (lambda x, y: circle(x, y, 0.5, 0.555, 0.235 if small else 0.215), AMBER),
    ]
    if small:
        # Fewer, bolder strokes: at 16 pixels a thin mouth and small eyes melt into the disc.
        layers += [
            (lambda x, y: circle(x, y, 0.41, 0.48, 0.05), DARK),
            (lambda x, y: circle(x, y, 0.59, 0.48, 0.05), DARK),
            (lambda x, y: smile(x, y, 0.12, 0.035), DARK),
        ]
    else:
        layers += [
            (lambda x, y: circle(x, y, 0.425, 0.50, 0.03), DARK),
            (lambda x, y: circle(x, y, 0.575, 0.50, 0.03), DARK),
            (lambda x, y: smile(x, y, 0.095, 0.024), DARK),
        ]
    if not small:
        layers += [
            (lambda x, y: circle(x, y, 0.775, 0.375, 0.045), AMBER),
            (lambda x, y: circle(x, y, 0.375, 0.60, 0.03), ACCENT),
            (lambda x, y: circle(x, y, 0.625, 0.60, 0.03), ACCENT),
        ]
    return layers


def render(size):
    layers = shapes(size)
    rows = []
    for j in range(size):
        row = bytearray()
        for i in range(size):
            x, y = (i + 0.5) / size, (j + 0.5) / size
            r = g = b = a = 0.0  # premultiplied while compositing
            for distance, colour in layers:
                cover = min(max(0.5 - distance(x, y) * size, 0.0), 1.0)  # one-pixel antialiasing
                if cover <= 0.0:
                    continue
                r = colour[0] / 255 * cover + r * (1 - cover)
                g = colour[1] / 255 * cover + g * (1 - cover)
                b = colour[2] / 255 * cover + b * (1 - cover)
                a = cover + a * (1 - cover)
            if a > 0:
                row += bytes(round(c / a * 255) for c in (r, g, b)) + bytes([round(a * 255)])
            else:
                row += b"\0\0\0\0"
        rows.append(bytes(row))
    return rows


def png(size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = b"".join(b"\0" + row for row in rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def ico(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        side = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    images = []
    for size in SIZES:
        data = png(size, render(size))
        with open(os.path.join(folder, f"icon-{size}.png"), "wb") as f:
            f.write(data)
        images.append((size, data))
    with open(os.path.join(folder, "brivane.ico"), "wb") as f:
        f.write(ico(images))


if __name__ == "__main__":
    main()
