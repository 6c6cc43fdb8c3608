#!/usr/bin/env python3
"""Extraction under Wine: each test starts the probe programs (one per
attached data block) as separate processes, the way launcher starts
follow each other, and checks the target directory from the Linux side."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from wine_test_support import (file_tree, run_windows, wine_environment,  # noqa: E402
                               windows_path)

BIN = APP = MANY_APP = None
DECODE_ERROR = "Error, couldn't decode attached data.\n"


def app_files(app=None):
    return file_tree(app or APP)


class Start:
    """One run of a probe: exit status, its two streams and its counters."""

    def __init__(self, variant, *args, one_core=False):
        # On one core (the process's affinity, which Wine honours) lanes
        # are never used.
        done = run_windows(os.path.join(BIN, "extraction_probe_%s.exe" % variant), *args,
                           wine=os.path.join(BIN, "wine-one-core") if one_core else "wine")
        self.status, self.stdout, self.stderr = done.status, done.out, done.err
        self.counts = {}
        for line in self.stdout.splitlines():
            key, _, value = line.partition(" ")
            self.counts[key] = value


class ExtractionTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="extraction-", dir=BIN)
        self.target = os.path.join(self.scratch, "target")
        # rm copes with trees deeper than Python's recursion limit.
        self.addCleanup(subprocess.run, ["rm", "-rf", self.scratch])

    def start(self, variant="good", one_core=False):
        return Start(variant, windows_path(self.target), one_core=one_core)

    def assertOk(self, start):
        self.assertEqual(start.status, 0, start.stdout + start.stderr)
        self.assertEqual(start.stderr, "")

    def assertFiles(self, expected):
        for relative, content in expected.items():
            with open(os.path.join(self.target, relative), "rb") as f:
                self.assertEqual(f.read(), content, relative)

    def snapshot(self):
        """(mtime, ctime) of every file; ctime moves on any write or truncation."""
        result = {}
        for directory, _, names in os.walk(self.target):
            for name in names:
                info = os.stat(os.path.join(directory, name))
                result[os.path.relpath(os.path.join(directory, name), self.target)] = (
                    info.st_mtime_ns, info.st_ctime_ns)
        return result

    def test_first_start_writes_everything_second_start_nothing(self):
        expected = app_files()
        first = self.start()
        self.assertOk(first)
        self.assertFiles(expected)
        self.assertEqual(sorted(self.snapshot()), sorted(expected))
        self.assertEqual(first.counts["written"], str(len(expected)))
        # One call per directory (target, other, sub, sub\deeper,
        # sub\deeper\third, x, x\y, x\y\z) as its first file comes; later
        # files find it remembered. Below the target the walk goes downwards.
        self.assertEqual(first.counts["directory-calls"], "8")
        self.assertEqual(first.counts["directories-created"], "8")
        self.assertEqual(first.counts["child"], windows_path(self.target) + "\\main.exe")

        before = self.snapshot()
        second = self.start()
        self.assertOk(second)
        # The empty file is reused like every other.
        self.assertEqual(second.counts["written"], "0")
        self.assertEqual(second.counts["directory-calls"], "0")
        self.assertEqual(self.snapshot(), before)
        self.assertEqual(second.counts["child"], first.counts["child"])
        self.assertFiles(expected)

    def test_frame_without_checksum_still_unpacks(self):
        self.assertOk(self.start("legacy"))
        self.assertFiles(app_files())

    def test_missing_and_changed_files_are_rewritten(self):
        expected = app_files()
        self.assertOk(self.start())
        os.remove(os.path.join(self.target, "sub", "deeper", "two.txt"))
        shutil.rmtree(os.path.join(self.target, "sub", "deeper", "third"))
        # Longer than the original, so a rewrite without truncation shows.
        with open(os.path.join(self.target, "plus1.bin"), "r+b") as f:
            f.write(b"changed")
            f.seek(0, os.SEEK_END)
            f.write(b"tail" * 1000)
        own = os.path.join(self.target, "sub", "mine.txt")
        with open(own, "wb") as f:
            f.write(b"not in the payload")
        own_before = os.stat(own)
        untouched = self.snapshot()

        again = self.start()
        self.assertOk(again)
        self.assertFiles(expected)
        # two.txt, three.dat and plus1.bin.
        self.assertEqual(again.counts["written"], "3")
        self.assertEqual(again.counts["directories-created"], "1")
        with open(own, "rb") as f:
            self.assertEqual(f.read(), b"not in the payload")
        self.assertEqual(os.stat(own).st_ctime_ns, own_before.st_ctime_ns)
        after = self.snapshot()
        for relative in ("main.exe", "exact.bin", "other/big.bin", "sub/one.txt"):
            self.assertEqual(after[relative], untouched[relative], relative)

    def test_file_open_elsewhere_stops_with_open_message(self):
        # With an index the locked file cannot be read, so the check falls
        # back to extracting, which meets the lock as before. The launcher
        # waits for a locked file (LOCKED_FILE_WAIT_MS, 2 s): a lock given up
        # within that is waited out, a longer one is the open failure.
        locked = os.path.join(self.target, "exact.bin")
        message = "Error, failed to open '%s' for writing.\n" % windows_path(locked)
        # (variant, lock held for seconds, status, stderr)
        table = [("good", None, 2, message), ("indexed", None, 2, message),
                 ("good", 0.5, 0, ""), ("indexed", 0.5, 0, "")]
        for variant, held_for, status, stderr in table:
            with self.subTest(variant=variant, held_for=held_for):
                self.assertOk(self.start(variant))
                holder = subprocess.Popen(
                    ["wine", os.path.join(BIN, "extraction_probe_good.exe"), "--lock",
                     windows_path(locked)],
                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                    env=wine_environment())
                release = threading.Timer(held_for or 0, holder.stdin.close)
                try:
                    self.assertEqual(holder.stdout.readline().strip(), b"locked")
                    began = time.monotonic()
                    if held_for is not None:
                        release.start()
                    blocked = self.start(variant)
                    took = time.monotonic() - began
                finally:
                    release.cancel()
                    holder.stdin.close()
                    holder.wait(timeout=60)
                self.assertEqual((blocked.status, blocked.stderr), (status, stderr))
                if status == 0:
                    # Read once the lock was gone, not taken for missing.
                    self.assertEqual(blocked.counts["written"], "0")
                    self.assertFiles(app_files())
                else:
                    self.assertEqual(blocked.stdout, "")
                    self.assertGreater(took, 2.0)

    def test_damaged_streams_leave_nothing_new(self):
        # Cut before the end marker (every record whole), a damaged third
        # block (the first holds small files whole; also with an index, which
        # an empty cache fails), content unlike its stored CRC-32 (also after
        # 1,100 folders), a name too long for any packer and one that leaves
        # the target: files written on the way go, with the folders made for
        # them.
        for variant in ("truncated", "damaged", "indexed_damaged", "wrongcrc", "manyfolders",
                        "longname", "escape"):
            with self.subTest(variant=variant):
                failed = self.start(variant)
                self.assertEqual((failed.status, failed.stdout, failed.stderr),
                                 (2, DECODE_ERROR, ""))
                self.assertEqual(os.listdir(self.scratch), [])

    def test_frames_decode_in_a_row(self):
        # Four frames of whole records, decoded one after the other without
        # an index (with one, in lanes where there are cores); the last
        # frame's content checksum counts too.
        for variant, ok in (("frames", True), ("frames_indexed", True),
                            ("frames_lastsum", False)):
            with self.subTest(variant=variant):
                start = self.start(variant)
                if ok:
                    self.assertOk(start)
                    self.assertFiles(app_files())
                    self.assertEqual(start.counts["written"], str(len(app_files())))
                else:
                    self.assertEqual((start.status, start.stdout, start.stderr),
                                     (2, DECODE_ERROR, ""))
                    self.assertEqual(os.listdir(self.scratch), [])
                subprocess.run(["rm", "-rf", self.target])

    def test_the_sweep_removes_only_stale_temporaries(self):
        # Temporaries of ended starts (process 8 or 9) go, in a folder a
        # later start writes into and at the top, but not the application's
        # own file of such a name.
        self.assertOk(self.start("tmpname"))
        stale = [os.path.join(self.target, "~tallix-9-4294967295.tmp"),
                 os.path.join(self.target, "sub", "~tallix-9-3.tmp")]
        for path in stale:
            with open(path, "wb") as f:
                f.write(b"left by a killed start")
        with open(os.path.join(self.target, "sub", "one.txt"), "wb") as f:
            f.write(b"changed")
        again = self.start("tmpname")
        self.assertOk(again)
        self.assertEqual(again.counts["written"], "1")
        self.assertEqual(file_tree(self.target), {
            "main.exe": b"MZ", "sub/~tallix-8-0.tmp": b"the application's", "sub/one.txt": b"one"})

    def test_window_above_limit(self):
        wide = self.start("widewindow")
        self.assertEqual(wide.status, 2)
        self.assertEqual(wide.stdout, DECODE_ERROR)
        self.assertFalse(os.path.exists(self.target))

    def test_deep_missing_path_is_walked_without_recursion(self):
        # 400 missing levels: a path buffer per level would need 3.2 MiB
        # of stack, more than the probe's 2 MiB.
        levels = 400
        deep = Start("good", "--deep", windows_path(self.target), str(levels))
        self.assertOk(deep)
        self.assertEqual(deep.stdout, "done\n")
        self.assertTrue(os.path.isdir(os.path.join(self.target, *(["a"] * levels))))
        self.assertFalse(os.path.exists(os.path.join(self.target, *(["a"] * levels), "f")))

    def test_index_path_reads_no_payload(self):
        expected = app_files()
        first = self.start("indexed")
        self.assertOk(first)
        self.assertFiles(expected)
        before = self.snapshot()
        # Its frame is zeros, so any decoding would fail: success means none.
        warm = self.start("indexed_garbage")
        self.assertOk(warm)
        self.assertEqual((warm.counts["written"], warm.counts["directory-calls"]), ("0", "0"))
        self.assertEqual(warm.counts["child"], first.counts["child"])
        # The empty file too is left alone.
        self.assertEqual(self.snapshot(), before)

    def test_index_differs_so_the_payload_is_extracted(self):
        def rewrite(relative, content):
            with open(os.path.join(self.target, relative), "wb") as f:
                f.write(content)

        expected = app_files()
        changed_byte = bytes([expected["exact.bin"][0] ^ 1]) + expected["exact.bin"][1:]
        # (what, change, variant that decodes a frame of zeros, files written
        # by the designed path: the changed one only)
        cases = [
            ("content", lambda: rewrite("exact.bin", changed_byte), "indexed_garbage", "1"),
            ("size", lambda: rewrite("sub/one.txt", b"one\n" * 99), "indexed_garbage", "1"),
            ("missing", lambda: os.remove(os.path.join(self.target, "x/y/z/deep.txt")),
             "indexed_garbage", "1"),
            ("empty file not empty", lambda: rewrite("empty.txt", b"x"), "indexed_garbage", "1"),
            ("index fails its own check", lambda: None, "badindex_garbage", "0"),
        ]
        for what, change, garbage, written in cases:
            with self.subTest(what):
                subprocess.run(["rm", "-rf", self.target])
                self.assertOk(self.start("indexed"))
                change()
                decoded = self.start(garbage)
                self.assertEqual((decoded.status, decoded.stdout), (2, DECODE_ERROR))
                variant = "badindex" if garbage == "badindex_garbage" else "indexed"
                repaired = self.start(variant)
                self.assertOk(repaired)
                self.assertEqual(repaired.counts["written"], written)
                self.assertFiles(expected)
                # Both paths leave the same files: the index path finds them whole.
                self.assertOk(self.start("indexed_garbage"))
                self.assertEqual(sorted(self.snapshot()), sorted(expected))

    def test_record_unlike_its_index_entry_is_not_written(self):
        # The index names sub\\onf.txt where the stream has sub\\one.txt.
        # Files decoded before it go too: nothing is left under any name.
        other = self.start("otherindex")
        self.assertEqual((other.status, other.stdout), (2, DECODE_ERROR))
        self.assertEqual(os.listdir(self.scratch), [])

    def test_many_files_are_checked_on_several_threads(self):
        expected = app_files(MANY_APP)
        self.assertOk(self.start("many_indexed"))
        warm = self.start("many_garbage")
        self.assertOk(warm)
        self.assertEqual(warm.counts["written"], "0")
        if os.cpu_count() > 1:
            self.assertGreater(int(warm.counts["index-threads"]), 1)
        # One file late in the order differs, whichever thread meets it.
        last = sorted(name for name in expected if name.startswith("m3/"))[-1]
        with open(os.path.join(self.target, last), "r+b") as f:
            f.write(b"F")
        broken = self.start("many_garbage")
        self.assertEqual((broken.status, broken.stdout), (2, DECODE_ERROR))
        repaired = self.start("many_indexed")
        self.assertOk(repaired)
        self.assertEqual(repaired.counts["written"], "1")
        self.assertFiles(expected)

    def test_frames_are_decoded_in_lanes(self):
        expected = app_files()
        first = self.start("lanes")
        self.assertOk(first)
        self.assertFiles(expected)
        self.assertEqual(first.counts["written"], str(len(expected)))
        if os.cpu_count() > 1:
            self.assertGreater(int(first.counts["lanes"]), 1)
        self.assertEqual(self.start("lanes").counts["written"], "0")

        def open_failure(name):
            path = os.path.join(self.target, *name.split("/"))
            return "", "Error, failed to open '%s' for writing.\n" % windows_path(path)

        decode_failure = (DECODE_ERROR, "")
        # (variant, a folder where this file must go, stdout and stderr):
        # a damaged second or last frame, a frame table entry inside a
        # frame or one frame early; of two failures in different frames,
        # the one in the earlier record is reported. One core decodes the
        # frames in a row and holds them to the table all the same.
        table = [("lanes_second", None, decode_failure),
                 ("lanes_last", None, decode_failure),
                 ("lanes_midframe", None, decode_failure),
                 ("lanes_wrongframe", None, decode_failure),
                 ("lanes_last", "exact.bin", open_failure("exact.bin")),
                 ("lanes_second", "x/y/z/deep.txt", decode_failure)]
        forged = ("lanes_midframe", "lanes_wrongframe", "lanes_earlyframe", "lanes_lateframe",
                  "lanes_prevrecord", "lanes_swapped")
        table += [(variant, None, decode_failure) for variant in forged[2:]]
        table += [(variant, None, decode_failure, True) for variant in forged]
        with open(os.path.join(BIN, "wine-one-core"), "w") as f:
            f.write('#!/bin/sh\nexec taskset -c 0 wine "$@"\n')
        os.chmod(os.path.join(BIN, "wine-one-core"), 0o755)
        for variant, blocked, (out, err), *one_core in table:
            with self.subTest(variant=variant, blocked=blocked, one_core=one_core):
                subprocess.run(["rm", "-rf", self.target])
                made = []
                if blocked:
                    os.makedirs(os.path.join(self.target, blocked))
                    made = [path for path, _, _ in os.walk(self.target)]
                failed = self.start(variant, one_core=bool(one_core))
                self.assertEqual((failed.status, failed.stdout, failed.stderr), (2, out, err))
                # Nothing placed, no temporary left, no folder of its own kept.
                left = [(path, names) for path, _, names in os.walk(self.scratch)]
                self.assertEqual(left, [(path, []) for path in [self.scratch] + made])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True, help="directory of the probe programs")
    parser.add_argument("--app", required=True, help="the application the good block holds")
    parser.add_argument("--many-app", required=True, help="the application of many files")
    options, rest = parser.parse_known_args()
    BIN, APP, MANY_APP = options.bin, options.app, options.many_app
    unittest.main(argv=[sys.argv[0]] + rest)
