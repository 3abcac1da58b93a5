#!/usr/bin/env python3
"""Draws the application icon: a teal tile with a white Z.

Writes resources/zentrova.ico with 48, 32, 16 and 256 px images, all 32-bit
uncompressed bitmaps (old shells cannot read PNG images). Run it by hand when
the artwork changes; the build uses the committed file.
"""
import struct
import sys

SIZES = (48, 32, 16, 256)


def pixel(x, y, n):
    """BGRA of the pixel at x, y (top-down) of an n x n image."""
    u, v = (x + 0.5) / n, (y + 0.5) / n
    r = 0.18  # corner radius, as a share of the side
    cx, cy = min(max(u, r), 1 - r), min(max(v, r), 1 - r)
    if (u - cx) ** 2 + (v - cy) ** 2 > r * r:
        return (0, 0, 0, 0)
    stroke = 0.13
    in_z = (0.22 <= u <= 0.78 and (0.2 <= v <= 0.2 + stroke or 0.8 - stroke <= v <= 0.8)) or (
        0.2 <= v <= 0.8 and abs((u - 0.22) - (0.8 - v) * (0.56 / 0.6)) <= stroke * 0.75)
    if in_z:
        return (255, 255, 255, 255)
    shade = int(40 * v)
    return (150 - shade, 128 - shade, 20, 255)


def image(n):
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    mask_rows = []
    mask_stride = ((n + 31) // 32) * 4
    for y in reversed(range(n)):
        row = bytearray()
        mask = bytearray(mask_stride)
        for x in range(n):
            b, g, r, a = pixel(x, y, n)
            row += bytes((b, g, r, a))
            if a == 0:
                mask[x // 8] |= 0x80 >> (x % 8)
        rows.append(bytes(row))
        mask_rows.append(bytes(mask))
    return header + b"".join(rows) + b"".join(mask_rows)


def main(path):
    images = [image(n) for n in SIZES]
    out = struct.pack("<HHH", 0, 1, len(SIZES))
    offset = 6 + 16 * len(SIZES)
    for n, data in zip(SIZES, images):
        side = n if n < 256 else 0
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "resources/zentrova.ico")
