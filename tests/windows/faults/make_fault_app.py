#!/usr/bin/env python3
"""Writes the applications the fault tests pack (the reporter is copied in
by the build as their main program):

small: a few files, one of them empty, for many damaged copies;
large: an empty file, a large incompressible one and 600 small files in
twelve folders, for disks that fill, concurrent starts and kills;
scanned: a large incompressible file and a few dozen small ones in two
folders, for many starts under a scanner.

usage: make_fault_app.py small|large|scanned APP_DIR
"""
import os
import random
import sys


def files(kind):
    rng = random.Random(9)
    if kind == "small":
        return {
            "empty.txt": b"",
            "readme.txt": b"A small application.\n" * 40,
            "data/random.bin": rng.randbytes(150000),
            "data/notes/one.txt": b"one\n" * 500,
            "data/notes/two.txt": b"two\n" * 500,
        }
    if kind == "scanned":
        # big.bin takes the writer long enough that the scanner always
        # holds its temporary file before it goes into place.
        result = {"empty.txt": b"", "big.bin": rng.randbytes(16 << 20)}
        for index in range(30):
            folder = "" if index < 15 else "lib/"
            result["%sf%02d.bin" % (folder, index)] = rng.randbytes(rng.randrange(1, 100000))
        return result
    result = {"empty.txt": b"", "big.bin": rng.randbytes(24 << 20)}
    for folder in range(12):
        for index in range(50):
            result["small/d%02d/f%03d.txt" % (folder, index)] = (
                b"%d.%d " % (folder, index) * rng.randrange(1, 200))
    return result


def main():
    kind, app_dir = sys.argv[1], sys.argv[2]
    for relative, content in files(kind).items():
        path = os.path.join(app_dir, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)


if __name__ == "__main__":
    main()
