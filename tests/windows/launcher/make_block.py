#!/usr/bin/env python3
"""Writes crafted attached data blocks for test launchers (a wrong magic, no
record at all) that the packer would refuse to write.

make_block.py -o BLOCK [--magic XYZ] [NAME=PATH ...]

Records appear in the order given (the first is the program the launcher
starts); no record at all gives a stream that is only the end marker. The
stream is compressed with the zstd command-line tool.
"""
import argparse
import struct
import subprocess
import zlib


def record_stream(entries):
    stream = bytearray()
    for name, path in entries:
        with open(path, "rb") as f:
            content = f.read()
        stream += name.encode("utf-16-le") + b"\0\0"
        stream += struct.pack("<QI", len(content), zlib.crc32(content))
        stream += content
    return bytes(stream + b"\0\0")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-o", "--output", required=True)
    parser.add_argument("--magic", default="QVZ")
    parser.add_argument("entries", nargs="*", metavar="NAME=PATH")
    args = parser.parse_args()
    entries = [entry.split("=", 1) for entry in args.entries]
    frame = subprocess.run(["zstd", "-q", "-c", "-3"], input=record_stream(entries),
                           stdout=subprocess.PIPE, check=True).stdout
    block = bytearray(args.magic.encode("ascii") + frame)
    block += b"\0" * (-len(block) % 8)
    block += struct.pack("<Q", len(block))
    with open(args.output, "wb") as f:
        f.write(block)


if __name__ == "__main__":
    main()
