#!/usr/bin/python3
"""The quick warm check under Wine: a launcher packed with --check quick
(cache: the folder "cache" beside it) is started after one change per row
to its settled, unpacked files. Opens of application files are counted from
outside with Linux inotify (IN_OPEN); a repaired file has its packed content
and a new inode (it is written as a temporary and moved into place).

    quick_check_test.py --tallix-pack P --runtime DIR --reporter R --work DIR --wine-run W
"""
import argparse
import ctypes
import os
import pathlib
import random
import re
import shutil
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from wine_test_support import (check_equal, fresh_directory, outcome, run,  # noqa: E402
                               run_windows_started)

args = None
QUIET_CHILD = {"REPORTER_EXIT_CODE": "7", "REPORTER_QUIET": "1"}
RECORD = ".tallix-onefile-check"
# Not application files: the launcher's own, and temporaries, its record's too.
NOT_COUNTED = re.compile(r"\.tallix-onefile-(check|folder)|app\.exe|.*~tallix-\d+-\d+\.tmp")
TARGET = "data/deep/table.bin"
HOUR_NS, RACY_WINDOW_NS = 3600 * 10**9, 2 * 10**9
IN_OPEN, IN_ISDIR, IN_NONBLOCK = 0x20, 0x40000000, 0o4000


def application_opens(cache, launcher, what):
    """Starts `launcher`; the application files opened below `cache`."""
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(IN_NONBLOCK)
    folders = {libc.inotify_add_watch(fd, os.fsencode(folder), IN_OPEN):
               os.path.relpath(folder, cache) for folder, _, _ in os.walk(cache)}
    start(launcher, what)
    opened, data = [], b""
    while True:
        try:
            data += os.read(fd, 1 << 16)
        except BlockingIOError:
            break
    os.close(fd)
    while data:
        wd, mask, _, length = struct.unpack_from("iIII", data)
        path = os.path.normpath(os.path.join(folders[wd], os.fsdecode(data[16:16 + length])
                                             .rstrip("\0")))
        data = data[16 + length:]
        if not mask & IN_ISDIR and not NOT_COUNTED.fullmatch(path):
            opened.append(path)
    return sorted(opened)


def pack(app, output, *options):
    result = run([args.tallix_pack, "pack", app, "-o", output, "--runtime", args.runtime,
                  "--main", "app.exe", "--template", "{PROGRAM_DIR}\\cache", "--quiet",
                  "--level", "1", *options])
    if result.returncode != 0:
        raise SystemExit(f"packing {output} failed:\n{result.stderr}")


def make_app(folder, seed):
    files = {"app.exe": pathlib.Path(args.reporter).read_bytes(), "readme.txt": b"read me\n",
             "data/notes.txt": b"notes " * 1000, TARGET: random.Random(seed).randbytes(100000)}
    # Folders enough to be listed on more than one thread.
    files.update({"lib/m%02d/module.txt" % i: b"module %d\n" % i for i in range(40)})
    for name, content in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(content)
    return files


def start(launcher, what):
    result = run_windows_started(launcher, wine=args.wine_run, env=QUIET_CHILD)
    check_equal(result.status, 7, f"{what}: the application's exit status ({result.err!r})")


def settled(folder, launcher):
    """A launcher's cache after a first start, every file dated an hour back
    and a start that verifies them by content: its record trusts them all."""
    folder = pathlib.Path(fresh_directory(folder))
    shutil.copy(launcher, folder / "launcher.exe")
    start(folder / "launcher.exe", "the first start")
    old = time.time_ns() - HOUR_NS
    for directory, _, names in os.walk(folder / "cache"):
        for name in names:
            os.utime(os.path.join(directory, name), ns=(old, old))
    start(folder / "launcher.exe", "the settling start")
    return folder / "launcher.exe", folder / "cache"


def tamper(target):
    """Other content in the same file, its times put back."""
    times = os.stat(target)
    target.write_bytes(bytes(b ^ 0xFF for b in target.read_bytes()))
    os.utime(target, ns=(times.st_atime_ns, times.st_mtime_ns))


def replace_by_copy(target):
    shutil.copy2(target, target.with_name("copy"))
    os.replace(target.with_name("copy"), target)


def racy(target, launcher):
    """Dated now and recorded by a start whose read time falls less than the
    window after that (a slow start under load is made again), then
    tampered with within that same time."""
    for _ in range(5):
        now = time.time_ns()
        os.utime(target, ns=(now, now))
        start(launcher, "racy: the start that records the file")
        filetime = struct.unpack_from("<Q", (target.parents[2] / RECORD).read_bytes(), 24)[0]
        if 0 <= (filetime - 116444736000000000) * 100 - now < RACY_WINDOW_NS:
            break
    tamper(target)


def damage(record):
    data = bytearray(record.read_bytes())
    data[len(data) // 2] ^= 0x01
    record.write_bytes(data)


# name, change(target, record, launcher); expected: application files opened,
# the record rewritten, the packed content there afterwards, the same inode
# (kept, not written again), and what the next start opens: a file dated
# just now lies within the racy window of the record made now.
ROWS = [
    ("unchanged", lambda t, r, l: None, False, False, True, True, []),
    ("size changed", lambda t, r, l: t.write_bytes(t.read_bytes() + b"x"), True, True, True,
     False, [TARGET]),
    ("only the time changed", lambda t, r, l: os.utime(t), True, True, True, True, [TARGET]),
    ("a copy: same size and time, another identity", lambda t, r, l: replace_by_copy(t),
     True, True, True, True, []),
    ("rewritten within the racy window", lambda t, r, l: racy(t, l), True, True, True, False,
     [TARGET]),
    ("record deleted", lambda t, r, l: r.unlink(), True, True, True, True, []),
    ("record damaged", lambda t, r, l: damage(r), True, True, True, True, []),
    ("record of another payload", lambda t, r, l: shutil.copy(args.other_record, r),
     True, True, True, True, []),
    # The blind spot: same size, time and identity, other content.
    ("rewritten in place, time put back", lambda t, r, l: tamper(t), False, False, False, True,
     None),
]


def run_row(work, row):
    name, change, opened, rewritten, intact, kept, again = row
    launcher, cache = settled(work / "rows" / name.replace(" ", "-"), work / "quick.exe")
    target, record = cache / TARGET, cache / RECORD
    change(target, record, launcher)
    before = (record.read_bytes() if record.exists() else b"", target.stat().st_ino)
    opens = application_opens(cache, launcher, name)
    check_equal(bool(opens), opened, f"{name}: application files opened ({opens})")
    check_equal(record.exists() and record.read_bytes() != before[0], rewritten,
                f"{name}: the record rewritten")
    check_equal(target.read_bytes() == args.files[TARGET], intact, f"{name}: packed content")
    check_equal(target.stat().st_ino == before[1], kept, f"{name}: the file kept in place")
    if intact:
        check_equal(application_opens(cache, launcher, f"{name}, again"), again,
                    f"{name}: application files opened by the next start")
    else:
        shutil.copy(work / "content.exe", launcher)
        start(launcher, f"{name}, in content mode")
        check_equal(target.read_bytes() == args.files[TARGET], True,
                    f"{name}: repaired in content mode")


def main():
    global args
    parser = argparse.ArgumentParser()
    for option in ("--tallix-pack", "--runtime", "--reporter", "--work", "--wine-run"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    work = pathlib.Path(fresh_directory(args.work))
    args.files = make_app(work / "app", seed=1)
    pack(work / "app", work / "quick.exe", "--check", "quick")
    pack(work / "app", work / "content.exe")
    make_app(work / "other-app", seed=2)
    pack(work / "other-app", work / "other.exe", "--check", "quick")
    args.other_record = settled(work / "other", work / "other.exe")[1] / RECORD
    # The count sees a content check: in content mode a warm start opens every file.
    launcher, cache = settled(work / "content", work / "content.exe")
    check_equal(application_opens(cache, launcher, "content mode"),
                sorted(os.path.normpath(n) for n in args.files if n != "app.exe"),
                "application files a warm start in content mode opens")
    for row in ROWS:
        run_row(work, row)
    return outcome("quick check: every row as expected")


if __name__ == "__main__":
    sys.exit(main())
