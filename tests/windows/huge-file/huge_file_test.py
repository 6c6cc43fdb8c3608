#!/usr/bin/python3
"""A 5 GiB file of zeros (sparse on the host) beside a small main program,
packed and started under Wine: the cold start writes it exactly, a warm
start keeps it, a byte changed past 4 GiB and the file cut to 1 GiB are
each repaired by the next start, and a start that repairs only the main
program keeps the big file, which it checks whole and does not write.

    huge_file_test.py --tallix-pack P --runtime DIR --reporter test_reporter.exe
                      --work DIR --wine-run wine-run

Exit status 77: skipped, when the disk holding DIR has too little room.
"""
import argparse
import json
import os
import pathlib
import shutil
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from wine_test_support import (check, check_equal, outcome, run, run_windows,  # noqa: E402
                               windows_path)

SKIPPED = 77
GIB = 1 << 30
BIG_SIZE = 5 * GIB
BIG_NAME = "data/zeros.bin"
# The unpacked file, its rewritten copy beside it until the old one goes,
# and room to spare.
NEEDED_FREE = 12 * GIB
CHANGED_AT = 4 * GIB + 12345
CUT_TO = 1 * GIB
READ_PIECE = 16 << 20
# A start that writes 5 GiB runs at the disk's speed, not Wine's.
START_TIMEOUT_SECONDS = 600


def first_nonzero(path):
    """The offset of the first byte that is not 0, or None; reads in pieces."""
    buffer = bytearray(READ_PIECE)
    zeros = bytes(READ_PIECE)
    offset = 0
    with open(path, "rb", buffering=0) as f:
        while True:
            got = f.readinto(buffer)
            if not got:
                return None
            if memoryview(buffer)[:got] != zeros[:got]:
                return offset + next(i for i in range(got) if buffer[i])
            offset += got


def change_byte(path):
    with open(path, "r+b") as f:
        f.seek(CHANGED_AT)
        f.write(b"\x01")


def cut(path):
    os.truncate(path, CUT_TO)


def lengthen(path):
    with open(path, "ab") as f:
        f.write(b"\0")


def identity(path):
    status = os.stat(path)
    return status.st_ino, status.st_mtime_ns


def main():
    parser = argparse.ArgumentParser()
    for option in ("tallix-pack", "runtime", "reporter", "work", "wine-run"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    work = pathlib.Path(args.work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    free = shutil.disk_usage(work).free
    if free < NEEDED_FREE:
        shutil.rmtree(work, ignore_errors=True)
        print(f"skipped: the disk holding {work} has {free / GIB:.1f} GiB free; "
              f"this test needs {NEEDED_FREE // GIB} GiB")
        return SKIPPED
    try:
        return run_cases(args, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run_cases(args, work):
    app = work / "app"
    (app / "data").mkdir(parents=True)
    shutil.copy(args.reporter, app / "main.exe")
    with open(app / BIG_NAME, "wb") as f:
        f.truncate(BIG_SIZE)
    unpacked = work / "unpacked"
    launcher = work / "Huge.exe"
    began = time.monotonic()
    packed = run([args.tallix_pack, "pack", app, "-o", launcher, "--runtime", args.runtime,
                  "--main", "main.exe", "--console", "--quiet", "--level", "3",
                  "--template", windows_path(unpacked)])
    if packed.returncode != 0:
        raise SystemExit(f"packing failed:\n{packed.stderr}")
    print(f"packed in {time.monotonic() - began:.1f} s: {launcher.stat().st_size} bytes")
    main_bytes = (app / "main.exe").read_bytes()
    big = unpacked / BIG_NAME

    # (case, damage before the start, whether the big file is written anew,
    # whether its whole content is read back)
    cases = [
        ("cold start", None, True, True),
        ("warm start", None, False, False),
        ("a byte past 4 GiB changed", lambda: change_byte(big), True, True),
        ("the file cut to 1 GiB", lambda: cut(big), True, True),
        ("the main program changed", lambda: lengthen(unpacked / "main.exe"), False, False),
    ]
    for name, damage, rewritten, read_back in cases:
        if damage:
            damage()
        before = identity(big) if big.exists() else None
        began = time.monotonic()
        result = run_windows(launcher, wine=args.wine_run, timeout=START_TIMEOUT_SECONDS)
        print(f"{name}: {time.monotonic() - began:.1f} s")
        check_equal(result.status, 0, f"{name}: status ({result.err[-400:]})")
        report = json.loads(result.out.splitlines()[0]) if result.out.strip() else {}
        check(report.get("self", "").endswith("main.exe"), f"{name}: the main program ran",
              result.out[-400:])
        check_equal(big.stat().st_size, BIG_SIZE, f"{name}: size")
        check_equal((unpacked / "main.exe").read_bytes(), main_bytes, f"{name}: main program")
        if before is not None:
            check_equal(identity(big) != before, rewritten, f"{name}: the big file written anew")
        if read_back:
            check_equal(first_nonzero(big), None, f"{name}: the first byte that is not 0")
    return outcome("huge-file: all checks passed")


if __name__ == "__main__":
    sys.exit(main())
