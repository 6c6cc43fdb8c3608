#!/usr/bin/env python3
"""Draws the launcher's default icon: a rounded square in a blue gradient
with a white parcel, 256 x 256 pixels, 8-bit RGBA. Run once; the PNG it
writes (default-icon.png) is committed."""
import struct
import sys
import zlib

SIZE = 256
SAMPLES = 4  # per axis, for smooth edges


def inside_rounded(x, y, left, top, right, bottom, radius):
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2 and left <= x <= right and top <= y <= bottom


def parcel(x, y):
    """The white glyph: a box with a lid line and a strap."""
    body = inside_rounded(x, y, 64, 92, 192, 196, 10)
    lid = inside_rounded(x, y, 56, 68, 200, 100, 8)
    gap = 96 <= y <= 104 and 60 <= x <= 196
    strap = 118 <= x <= 138 and 68 <= y <= 196
    return (body or lid) and not gap and not strap


def pixel(px, py):
    background = glyph = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = px + (sx + 0.5) / SAMPLES
            y = py + (sy + 0.5) / SAMPLES
            if inside_rounded(x, y, 8, 8, 248, 248, 44):
                if parcel(x, y):
                    glyph += 1
                else:
                    background += 1
    total = SAMPLES * SAMPLES
    t = py / (SIZE - 1)
    top, bottom = (40, 130, 220), (20, 60, 150)
    base = [round(a + (b - a) * t) for a, b in zip(top, bottom)]
    covered = background + glyph
    if covered == 0:
        return (0, 0, 0, 0)
    colour = [(c * background + 255 * glyph) / covered for c in base]
    return tuple(round(c) for c in colour) + (round(255 * covered / total),)


def png(width, height, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "default-icon.png"
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    with open(out, "wb") as f:
        f.write(png(SIZE, SIZE, rows))


if __name__ == "__main__":
    main()
