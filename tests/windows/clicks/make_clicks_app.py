#!/usr/bin/env python3
"""Writes the application the click tests pack (the reporter is copied in by
the build as its main program): an empty file, a large incompressible one
and many small files in many folders, so that a cold start unpacks for about
a second under Wine and a start killed early is killed mid-unpack.

usage: make_clicks_app.py APP_DIR
"""
import os
import random
import sys

BIG_FILE_BYTES = 48 << 20
FOLDERS = 30
FILES_PER_FOLDER = 60


def files():
    rng = random.Random(11)
    result = {"empty.txt": b"", "big.bin": rng.randbytes(BIG_FILE_BYTES)}
    for folder in range(FOLDERS):
        for index in range(FILES_PER_FOLDER):
            result["parts/p%02d/f%03d.dat" % (folder, index)] = (
                rng.randbytes(rng.randrange(64, 4096)))
    return result


def main():
    app_dir = sys.argv[1]
    for relative, content in files().items():
        path = os.path.join(app_dir, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)


if __name__ == "__main__":
    main()
