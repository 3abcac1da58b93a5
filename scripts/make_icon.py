#!/usr/bin/env python3
"""Draws the application icon: a teal tile with a white Z.

Writes resources/zentrova.ico with 48, 32, 16 and 256 px images: the small
ones 32-bit uncompressed bitmaps, which every shell reads; the 256 px one a
PNG, as Vista and later read it, under a hundredth of its bitmap's size. Only
Vista's shell and later show that size at all. Run it by hand when the
artwork changes; the build uses the committed file. The same zlib gives the
same bytes.
"""
import struct
import sys
import zlib

SIZES = (48, 32, 16, 256)
PNG_FROM = 256
PNG_LEVEL = 9
PNG_FILTER_SUB = 1


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


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(
        ">I", zlib.crc32(kind + data))


def png(n):
    """An RGBA PNG; each row Sub-filtered, which suits the flat tile."""
    raw = bytearray()
    for y in range(n):
        row = bytearray()
        for x in range(n):
            b, g, r, a = pixel(x, y, n)
            row += bytes((r, g, b, a))
        raw.append(PNG_FILTER_SUB)
        raw += bytes(row[:4]) + bytes((row[i] - row[i - 4]) & 0xFF for i in range(4, len(row)))
    header = struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(raw), PNG_LEVEL)) + chunk(b"IEND", b""))


def main(path):
    images = [png(n) if n >= PNG_FROM else image(n) for n in SIZES]
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
