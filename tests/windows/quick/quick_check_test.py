#!/usr/bin/python3
"""The quick warm check under Wine: a launcher packed with --check quick,
whose cache is the folder "cache" beside it, started after one change to its
unpacked files per row. Opens of application files are counted from outside
through Linux inotify (IN_OPEN), so a start that trusts its record is seen
to read nothing; repairs show as a file with its packed content and a new
inode (the launcher writes a temporary and moves it into place).

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
from wine_test_support import (check, check_equal, fresh_directory, outcome, run,  # noqa: E402
                               run_windows)

args = None
CHILD_EXIT_CODE = 7
QUIET_CHILD = {"REPORTER_EXIT_CODE": str(CHILD_EXIT_CODE), "REPORTER_QUIET": "1"}
RECORD = ".tallix-onefile-check"
LAUNCHER_FILES = {RECORD, ".tallix-onefile-folder"}
# The launcher writes every file, its record too, under such a name first.
TEMPORARY = re.compile(r"~tallix-\d+-\d+\.tmp")
TARGET = "data/deep/table.bin"
# An hour back: well outside the window in which a write counts as racy.
SETTLED_AGE_NS = 3600 * 10**9
# A last-write time this close before the record's read time is racy.
RACY_WINDOW_NS = 2 * 10**9

IN_OPEN, IN_ISDIR, IN_NONBLOCK = 0x20, 0x40000000, 0o4000
EVENT_HEADER = struct.Struct("iIII")


class OpenCounter:
    """Files opened below `root` (every folder there now), by relative path."""

    def __init__(self, root):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(IN_NONBLOCK)
        self.folders = {}
        for folder, _, _ in os.walk(root):
            wd = self.libc.inotify_add_watch(self.fd, os.fsencode(folder), IN_OPEN)
            self.folders[wd] = os.path.relpath(folder, root)

    def application_opens(self):
        """Opens of files other than the launcher's own, once the start ended."""
        opened = []
        while True:
            try:
                data = os.read(self.fd, 1 << 16)
            except BlockingIOError:
                break
            at = 0
            while at < len(data):
                wd, mask, _, length = EVENT_HEADER.unpack_from(data, at)
                name = os.fsdecode(data[at + 16:at + 16 + length].rstrip(b"\0"))
                at += EVENT_HEADER.size + length
                path = os.path.normpath(os.path.join(self.folders.get(wd, "?"), name))
                if not (mask & IN_ISDIR or path in LAUNCHER_FILES or path == "app.exe"
                        or TEMPORARY.fullmatch(os.path.basename(path))):
                    opened.append(path)
        os.close(self.fd)
        return sorted(opened)


def pack(app, output, *options):
    result = run([args.tallix_pack, "pack", app, "-o", output, "--runtime", args.runtime,
                  "--main", "app.exe", "--template", "{PROGRAM_DIR}\\cache", "--product", "Quick",
                  "--quiet", "--level", "1", *options])
    if result.returncode != 0:
        raise SystemExit(f"packing {output} failed:\n{result.stderr}")


def make_app(folder, seed):
    files = {"app.exe": pathlib.Path(args.reporter).read_bytes(),
             "readme.txt": b"read me\n",
             "data/notes.txt": b"notes " * 1000,
             TARGET: random.Random(seed).randbytes(100000)}
    for name, content in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(content)
    return files


def start(launcher, what):
    status = run_windows(launcher, wine=args.wine_run, env=QUIET_CHILD).status
    check_equal(status, CHILD_EXIT_CODE, f"{what}: the application's exit status")


def counted_start(launcher, cache, what):
    counter = OpenCounter(cache)
    start(launcher, what)
    return counter.application_opens()


def settle(launcher, cache):
    """A first start, then every file dated an hour back and a start that
    verifies them by content: the record then trusts every file."""
    start(launcher, "the first start")
    old = time.time_ns() - SETTLED_AGE_NS
    for folder, _, names in os.walk(cache):
        for name in names:
            os.utime(os.path.join(folder, name), ns=(old, old))
    start(launcher, "the settling start")


def rewrite_in_place(path, content):
    """New content in the same file, its times put back."""
    times = os.stat(path)
    with open(path, "r+b") as f:
        f.write(content)
    os.utime(path, ns=(times.st_atime_ns, times.st_mtime_ns))


def tamper(target):
    rewrite_in_place(target, bytes(b ^ 0xFF for b in target.read_bytes()))


def grow(target):
    with open(target, "ab") as f:
        f.write(b"more")


def retime(target):
    os.utime(target, ns=(time.time_ns(), time.time_ns()))


def replace_by_copy(target):
    copy = target.with_name("copy")
    shutil.copy2(target, copy)
    os.replace(copy, target)


def read_time_ns(record):
    """The record's read time (offset 24, FILETIME) as Unix nanoseconds."""
    filetime = struct.unpack_from("<Q", record.read_bytes(), 24)[0]
    return (filetime - 116444736000000000) * 100


def racy(target, launcher):
    """The file is dated now and re-verified by a start, whose record then
    holds a last-write time just before its read time, as a write right
    before the metadata was read leaves it; then it is rewritten in place
    within that same time. A start slow to begin (under load) is made again
    until its read time falls within the window."""
    for _ in range(5):
        now = time.time_ns()
        os.utime(target, ns=(now, now))
        start(launcher, "racy: the start that records the file")
        if 0 <= read_time_ns(target.parents[2] / RECORD) - now < RACY_WINDOW_NS:
            break
    tamper(target)


def damage_record(record):
    data = bytearray(record.read_bytes())
    data[len(data) // 2] ^= 0x01
    record.write_bytes(data)


# name, change(target, record, launcher), expected: any application file
# opened, the record rewritten, the file's packed content there afterwards,
# the same inode (kept rather than rewritten), and the application files the
# next start opens: a file written or dated just now is still within the
# racy window of the record made now, and is read once more.
ROWS = [
    ("unchanged", lambda t, r, l: None, False, False, True, True, []),
    ("size changed", lambda t, r, l: grow(t), True, True, True, False, [TARGET]),
    ("only the time changed", lambda t, r, l: retime(t), True, True, True, True, [TARGET]),
    ("a copy: same size and time, another identity", lambda t, r, l: replace_by_copy(t),
     True, True, True, True, []),
    ("rewritten within the racy window", lambda t, r, l: racy(t, l), True, True, True, False,
     [TARGET]),
    ("record deleted", lambda t, r, l: r.unlink(), True, True, True, True, []),
    ("record damaged", lambda t, r, l: damage_record(r), True, True, True, True, []),
    ("record of another payload", lambda t, r, l: shutil.copy(args.other_record, r),
     True, True, True, True, []),
    # What quick mode cannot see: same size, time and identity, other content.
    ("rewritten in place, time put back", lambda t, r, l: tamper(t), False, False, False, True,
     None),
]


def other_record(work):
    """The settled record of a launcher of another payload (one file differs)."""
    app = work / "other-app"
    make_app(app, seed=2)
    folder = work / "other"
    folder.mkdir()
    pack(app, folder / "quick.exe", "--check", "quick")
    settle(folder / "quick.exe", folder / "cache")
    return folder / "cache" / RECORD


def read_if_there(path):
    return path.read_bytes() if path.exists() else b""


def run_row(work, row):
    name, change, opened, rewritten, intact, kept, again = row
    folder = pathlib.Path(fresh_directory(work / "rows" / name.replace(" ", "-")))
    launcher = folder / "quick.exe"
    shutil.copy(work / "quick.exe", launcher)
    cache = folder / "cache"
    settle(launcher, cache)
    target, record = cache / TARGET, cache / RECORD
    change(target, record, launcher)
    before = (read_if_there(record), target.stat().st_ino)
    opens = counted_start(launcher, cache, name)
    check_equal(bool(opens), opened, f"{name}: application files opened ({opens})")
    check_equal(read_if_there(record) != before[0], rewritten, f"{name}: the record rewritten")
    check_equal(target.read_bytes() == args.files[TARGET], intact,
                f"{name}: the file has its packed content")
    check_equal(target.stat().st_ino == before[1], kept, f"{name}: the file kept in place")
    if intact:
        check_equal(counted_start(launcher, cache, f"{name}, again"), again,
                    f"{name}: application files opened by the next start")
    else:
        # The content check, by a launcher of the same build in content mode.
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
    app = work / "app"
    args.files = make_app(app, seed=1)
    pack(app, work / "quick.exe", "--check", "quick")
    pack(app, work / "content.exe")
    args.other_record = other_record(work)

    # The counter sees a content check's opens: in content mode every file.
    folder = work / "content"
    folder.mkdir()
    shutil.copy(work / "content.exe", folder / "content.exe")
    settle(folder / "content.exe", folder / "cache")
    check_equal(counted_start(folder / "content.exe", folder / "cache", "content mode"),
                sorted(os.path.normpath(n) for n in args.files if n != "app.exe"),
                "application files a warm start in content mode opens")
    for row in ROWS:
        run_row(work, row)
    return outcome("quick check: every row as expected")


if __name__ == "__main__":
    sys.exit(main())
