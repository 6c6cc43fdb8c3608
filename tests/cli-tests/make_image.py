#!/usr/bin/env python3
"""Writes test images: make_image.py OUT png WIDTH HEIGHT, or
make_image.py OUT ico SIZE... (an .ico of square 8-bit RGBA PNG images)."""
import struct
import sys
import zlib


def png(width, height):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    row = b"\0" + bytes([200, 40, 40, 255]) * width
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(row * height)) + chunk(b"IEND", b""))


def ico(sizes):
    images = [png(s, s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


def main():
    out, kind, *numbers = sys.argv[1:]
    numbers = [int(n) for n in numbers]
    data = png(*numbers) if kind == "png" else ico(numbers)
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
