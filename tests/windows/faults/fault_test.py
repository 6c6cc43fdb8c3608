#!/usr/bin/env python3
"""Launchers under faults, seen from outside: each case copies a launcher
(whose cache is the folder "cache" beside it) into a scratch folder, sets up
the fault, starts it under Wine and checks the message, the exit status and
what is on disk afterwards.

The packed application's main program is the test reporter: it exits with
CHILD_EXIT_CODE, so that status tells that the application was started.
TALLIX_FAULT_ROUNDS sets the rounds of eight concurrent starts (default 2).
"""
import argparse
import collections
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from wine_test_support import (WINE_TIMEOUT_SECONDS, WindowsRun, file_tree,  # noqa: E402
                               run_windows, run_windows_started, wine_environment,
                               windows_path)

ARGS = None
CHILD_EXIT_CODE = 7
DECODE_ERROR = "Error, couldn't decode attached data.\n"
HEADER_ERROR = "Error, couldn't find attached data header.\n"
# The block's first bytes (its magic and the longest zstd frame header) are
# under the constants' checksum: damage there is refused before any write.
CHECKED_HEAD = 3 + 18
QUIET_CHILD = {"REPORTER_EXIT_CODE": str(CHILD_EXIT_CODE), "REPORTER_QUIET": "1"}
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"


def open_failure(path):
    return "Error, failed to open '%s' for writing.\n" % windows_path(path)


# Written into every unpack folder, beside the application's files.
FOLDER_MARKER = ".tallix-onefile-folder"


class LauncherCase(unittest.TestCase):
    """A scratch folder per test with its own copy of a launcher."""

    kind = "large"

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="faults-")
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)
        self.launcher = os.path.join(self.scratch, "app.exe")
        self.cache = os.path.join(self.scratch, "cache")
        self.app = getattr(ARGS, self.kind + "_app")
        shutil.copy(getattr(ARGS, self.kind), self.launcher)

    def start(self, launcher=None, env=None):
        return run_windows(launcher or self.launcher, env=dict(QUIET_CHILD, **(env or {})))

    def assertStarted(self, result):
        self.assertEqual((result.status, result.out, result.err), (CHILD_EXIT_CODE, "", ""))

    def assertCacheExact(self, app=None, cache=None):
        """The cache holds the application exactly: nothing missing, wrong or
        extra but the folder's marker, which a started launcher writes."""
        expected, actual = file_tree(app or self.app), file_tree(cache or self.cache)
        actual.pop(FOLDER_MARKER, None)
        self.assertEqual(sorted(actual), sorted(expected))
        wrong = [name for name in expected if actual[name] != expected[name]]
        self.assertEqual(wrong, [])

    def pack(self, app, *options):
        """Packs `app` (its main program the reporter) over the launcher."""
        packed = subprocess.run([ARGS.pack, "pack", app, "-o", self.launcher, "--main",
                                 "reporter.exe", "--console", "--quiet", "--template",
                                 "{PROGRAM_DIR}\\cache", "--runtime", ARGS.runtime, *options],
                                capture_output=True, text=True)
        self.assertEqual(packed.returncode, 0, packed.stderr)

    def damage_last_frame(self):
        """A byte of the launcher's last frame, in its last block, changed."""
        with open(self.launcher, "rb") as f:
            damaged = bytearray(f.read())
        block = damaged.find(b"QVZ" + ZSTD_MAGIC)
        trailer = next(at for at in range(8, len(damaged) - block, 8)
                       if int.from_bytes(damaged[block + at:block + at + 8], "little") == at)
        damaged[block + trailer - 40] ^= 0x55
        with open(self.launcher, "wb") as f:
            f.write(damaged)

    def start_scanner(self, *options):
        """The scanner emulator watching the cache, once it watches, and the
        file its report of what it held goes to."""
        ready = os.path.join(self.scratch, "scanner.ready")
        held = open(os.path.join(self.scratch, "held.txt"), "w+")
        self.addCleanup(held.close)
        scanner = subprocess.Popen(["wine", ARGS.scanner, "watch", windows_path(self.cache),
                                    "--ready", windows_path(ready), *options],
                                   stdin=subprocess.DEVNULL, stdout=held,
                                   stderr=subprocess.DEVNULL, env=wine_environment())
        self.addCleanup(scanner.wait)
        self.addCleanup(scanner.kill)
        deadline = time.monotonic() + WINE_TIMEOUT_SECONDS
        while not os.path.exists(ready) and time.monotonic() < deadline:
            time.sleep(0.02)
        return scanner, held

    def mount(self, *arguments):
        """Runs mount as root; skips the test where the system refuses."""
        if os.geteuid() != 0:
            self.skipTest("mounting needs root")
        done = subprocess.run(["mount", *arguments], capture_output=True, text=True)
        if done.returncode != 0:
            self.skipTest("mount %s: %s" % (" ".join(arguments), done.stderr.strip()))

    def unmount_later(self, path):
        self.addCleanup(subprocess.run, ["umount", "-l", path], check=False)


class DamagedLaunchers(LauncherCase):
    kind = "small"

    def test_bit_flips_never_start_the_application_with_a_wrong_file(self):
        with open(self.launcher, "rb") as f:
            image = f.read()
        block = image.find(b"QVZ" + ZSTD_MAGIC)
        self.assertGreater(block, 0)
        # The trailer, at a multiple of 8 from the block, holds its own offset.
        trailer = next(at for at in range(8, len(image) - block, 8)
                       if int.from_bytes(image[block + at:block + at + 8], "little") == at)
        rng = random.Random(2024)
        # The frame header and first block header byte by byte, then spread
        # over the whole frame.
        offsets = list(range(block + 3, block + 3 + 24))
        offsets += sorted(rng.randrange(block + 3, block + trailer) for _ in range(ARGS.flips))
        outcomes = collections.Counter()
        for offset in offsets:
            bit = rng.randrange(8)
            with self.subTest(offset=offset - block, bit=bit):
                damaged = bytearray(image)
                damaged[offset] ^= 1 << bit
                with open(self.launcher, "wb") as f:
                    f.write(damaged)
                shutil.rmtree(self.cache, ignore_errors=True)
                result = self.start()
                if result.status == CHILD_EXIT_CODE:
                    outcomes["started, every file exact"] += 1
                    self.assertEqual(result.out + result.err, "")
                    self.assertCacheExact()
                else:
                    outcomes["refused"] += 1
                    message = HEADER_ERROR if offset - block < CHECKED_HEAD else DECODE_ERROR
                    self.assertEqual((result.status, result.out, result.err), (2, message, ""))
                    self.assertFalse(os.path.exists(self.cache), "left behind after a refusal")
        print("bit flips: %s" % dict(outcomes), file=sys.stderr)


    def test_a_damaged_last_frame_leaves_nothing_of_thousands_of_long_names(self):
        # More names than the pending table's first chunk holds (3,300
        # files of about 350 units): still nothing goes into place before
        # the payload has ended cleanly, on one core or two.
        app = os.path.join(self.scratch, "app")
        for package in range(30):
            folder = os.path.join(app, "node_modules", "p%02d-" % package + "x" * 120,
                                  "lib-" + "y" * 120)
            os.makedirs(folder)
            for index in range(110):
                with open(os.path.join(folder, "f%04d-" % index + "z" * 80 + ".js"), "wb") as f:
                    f.write(b"%d.%d" % (package, index))
        shutil.copy(ARGS.reporter, os.path.join(app, "reporter.exe"))
        self.pack(app)
        self.damage_last_frame()
        for cores in ([], ["taskset", "-c", "0"]):
            with self.subTest(cores=cores):
                done = subprocess.run(cores + ["wine", self.launcher], stdin=subprocess.DEVNULL,
                                      capture_output=True, timeout=WINE_TIMEOUT_SECONDS,
                                      env=wine_environment(QUIET_CHILD))
                failed = WindowsRun(done.returncode, done.stdout, done.stderr)
                self.assertEqual((failed.status, failed.out, failed.err), (2, DECODE_ERROR, ""))
                self.assertFalse(os.path.exists(self.cache), "left behind after a refusal")


class FailuresWhileTheWriterIsBusy(LauncherCase):
    """Content is written on a second thread while the next piece is decoded:
    a failure on either side is reported as if one thread did both, the
    earlier one in the stream first, and leaves nothing behind."""

    def test_damaged_content_and_full_disk_while_the_large_file_is_written(self):
        with open(self.launcher, "rb") as f:
            damaged = bytearray(f.read())
        block = damaged.find(b"QVZ" + ZSTD_MAGIC)
        self.assertGreater(block, 0)
        # Past the middle of the frame, inside the large incompressible file:
        # its content differs from its CRC-32, seen when its last piece is
        # decoded, while the writer still has pieces of it queued.
        damaged[block + int(os.path.getsize(os.path.join(self.app, "big.bin")) * 0.9)] ^= 0x10
        with open(self.launcher, "wb") as f:
            f.write(damaged)
        disk_full = (r"^Error, couldn't unpack file to target path\. "
                     r"\(\[Error 112\] [^\n]*\)\n$")
        for case, small_disk, out, err in (
                ("damaged content", False, DECODE_ERROR, "^$"),
                ("the disk fills before the damage", True, "", disk_full)):
            with self.subTest(case=case):
                shutil.rmtree(self.cache, ignore_errors=True)
                if small_disk:
                    os.makedirs(self.cache)
                    self.mount("-t", "tmpfs", "-o", "size=4m", "tmpfs", self.cache)
                    self.unmount_later(self.cache)
                result = self.start()
                self.assertEqual((result.status, result.out), (2, out))
                self.assertRegex(result.err, err)
                if small_disk:
                    self.assertEqual(os.listdir(self.cache), [])
                else:
                    self.assertFalse(os.path.exists(self.cache), "left behind after a refusal")


class FullOrReadOnlyDisk(LauncherCase):
    def test_disk_full_leaves_nothing_and_the_next_start_recovers(self):
        os.makedirs(self.cache)
        self.mount("-t", "tmpfs", "-o", "size=4m", "tmpfs", self.cache)
        self.unmount_later(self.cache)
        full = self.start()
        self.assertEqual((full.status, full.out), (2, ""))
        self.assertRegex(full.err, r"^Error, couldn't unpack file to target path\. "
                                   r"\(\[Error 112\] [^\n]*\)\n$")
        self.assertEqual(os.listdir(self.cache), [])
        self.mount("-o", "remount,size=64m", self.cache)
        self.assertStarted(self.start())
        self.assertCacheExact()

    def test_read_only_cache_starts_when_complete_and_names_a_missing_file(self):
        self.assertStarted(self.start())
        missing = os.path.join(self.cache, "small", "d03", "f007.txt")
        for case, remove in (("complete", False), ("a file missing", True)):
            with self.subTest(case=case):
                if remove:
                    os.remove(missing)
                before = file_tree(self.cache)
                self.mount("--bind", self.cache, self.cache)
                try:
                    self.mount("-o", "remount,bind,ro", self.cache)
                    result = self.start()
                finally:
                    subprocess.run(["umount", self.cache], check=True)
                if remove:
                    self.assertEqual((result.status, result.out, result.err),
                                     (2, "", open_failure(missing)))
                else:
                    self.assertStarted(result)
                self.assertEqual(file_tree(self.cache), before)


class WrongThingInTheWay(LauncherCase):
    def test_folders_files_and_links_where_the_launcher_writes(self):
        outside = os.path.join(self.scratch, "outside")
        first_small = os.path.join(self.cache, "small", "d00", "f000.txt")

        def folder_for_file():
            os.makedirs(os.path.join(self.cache, "empty.txt", "inner"))

        def file_for_folder():
            with open(os.path.join(self.cache, "small"), "wb") as f:
                f.write(b"in the way")

        def link_to_folder():
            os.makedirs(outside)
            os.symlink(outside, os.path.join(self.cache, "small"))

        def link_to_file():
            os.makedirs(outside)
            with open(os.path.join(outside, "victim.bin"), "wb") as f:
                f.write(b"not the launcher's")
            os.symlink(os.path.join(outside, "victim.bin"), os.path.join(self.cache, "big.bin"))

        # (case, set-up, status, stderr, what stays in the cache afterwards)
        table = [
            ("a folder where a file must be", folder_for_file, 2,
             open_failure(os.path.join(self.cache, "empty.txt")), ["empty.txt"]),
            ("a file where a folder must be", file_for_folder, 2,
             open_failure(first_small), ["small"]),
            # Wine shows a Linux link to a folder as a reparse point: never followed.
            ("a link to a folder elsewhere", link_to_folder, 2,
             open_failure(first_small), ["small"]),
            # Wine shows a link to a file as a plain file: the launcher's
            # file moves in over the link itself.
            ("a link to a file elsewhere", link_to_file, CHILD_EXIT_CODE, "", None),
        ]
        for case, set_up, status, stderr, left in table:
            with self.subTest(case=case):
                shutil.rmtree(self.cache, ignore_errors=True)
                shutil.rmtree(outside, ignore_errors=True)
                os.makedirs(self.cache)
                set_up()
                result = self.start()
                self.assertEqual((result.status, result.out, result.err), (status, "", stderr))
                if left is None:
                    self.assertCacheExact()
                    self.assertFalse(os.path.islink(os.path.join(self.cache, "big.bin")))
                else:
                    self.assertEqual(sorted(os.listdir(self.cache)), left)
                if os.path.isdir(outside):
                    self.assertEqual(file_tree(outside), {} if case.endswith("folder elsewhere")
                                     else {"victim.bin": b"not the launcher's"})


    def test_links_under_the_launchers_own_names_are_left_alone(self):
        # The marker is written through a temporary moved into place: a
        # link found under its name, to a file outside the cache, stays a
        # link and what it names keeps its content; the start goes on.
        outside = os.path.join(self.scratch, "victim.txt")
        marker = os.path.join(self.cache, FOLDER_MARKER)
        for case, link in (("symbolic link", os.symlink), ("hard link", os.link)):
            for cache in ("empty", "complete"):
                with self.subTest(case=case, cache=cache):
                    shutil.rmtree(self.cache, ignore_errors=True)
                    if cache == "complete":
                        self.assertStarted(self.start())
                        os.remove(marker)
                    os.makedirs(self.cache, exist_ok=True)
                    with open(outside, "wb") as f:
                        f.write(b"not the launcher's")
                    link(outside, marker)
                    self.assertStarted(self.start())
                    self.assertCacheExact()
                    with open(outside, "rb") as f:
                        self.assertEqual(f.read(), b"not the launcher's")
                    self.assertEqual(os.path.islink(marker), case == "symbolic link")
                    self.assertEqual(os.stat(marker).st_ino, os.stat(outside).st_ino)
                    os.remove(marker)
                    os.remove(outside)


class Concurrency(LauncherCase):
    def test_eight_launchers_at_once_on_an_empty_and_a_complete_cache(self):
        rounds = int(os.environ.get("TALLIX_FAULT_ROUNDS", "2"))
        # The application itself reads these to the end before it exits.
        check = "big.bin=%d;empty.txt=0" % os.path.getsize(os.path.join(self.app, "big.bin"))
        # Through the runner, which reports all 32 bits of the exit code.
        env = wine_environment(dict(QUIET_CHILD, REPORTER_CHECK_FILES=check,
                                    RUNNER_APPLICATION=windows_path(self.launcher),
                                    RUNNER_COMMAND_LINE="app.exe"))
        expected = b"runner-exit-code %d\n" % CHILD_EXIT_CODE
        # Under this load Wine now and then fails to create a process at all
        # (ERROR_INTERNAL_ERROR, before any launcher code runs), or to load
        # the runner itself (status 1, nothing written: the runner always
        # writes its last line); such a start is made again on its own, and
        # must then succeed.
        not_created = [(1, b"runner: CreateProcessW failed, error 1359\n", b""), (1, b"", b"")]
        failed = []
        again = 0
        for round_number in range(rounds):
            shutil.rmtree(self.cache, ignore_errors=True)
            for state in ("empty", "complete"):
                starts = [subprocess.Popen(["wine", ARGS.runner], stdin=subprocess.DEVNULL,
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                           env=env) for _ in range(8)]
                for start in starts:
                    out, err = start.communicate(timeout=WINE_TIMEOUT_SECONDS)
                    status = start.returncode
                    if (status, out, err) in not_created:
                        again += 1
                        rerun = subprocess.run(["wine", ARGS.runner], stdin=subprocess.DEVNULL,
                                               capture_output=True, env=env,
                                               timeout=WINE_TIMEOUT_SECONDS)
                        status, out, err = rerun.returncode, rerun.stdout, rerun.stderr
                    if status != 0 or not out.endswith(expected) or err:
                        failed.append((round_number, state, status, out + err))
                self.assertCacheExact()
        print("%d rounds: %d of %d launchers exited with the application's code"
              " (%d not created by Wine and started again)" %
              (rounds, 16 * rounds - len(failed), 16 * rounds, again), file=sys.stderr)
        self.assertEqual(failed, [])


# Far beyond any start of the test's launcher, even under load.
HUNG_START_SECONDS = 60


class KilledStart(LauncherCase):
    def test_a_start_killed_while_unpacking_is_repaired_without_leftovers(self):
        for delay in (0.1, 0.25, 0.5, 0.8):
            with self.subTest(delay=delay):
                shutil.rmtree(self.cache, ignore_errors=True)
                start = subprocess.Popen(["wine", self.launcher], stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                         env=wine_environment(QUIET_CHILD))
                time.sleep(delay)
                start.kill()
                start.wait()
                try:
                    result = run_windows(self.launcher, env=QUIET_CHILD,
                                         timeout=HUNG_START_SECONDS)
                except subprocess.TimeoutExpired:
                    # Wine under load, after a killed process, now and then
                    # leaves the next one half created, before any of its
                    # code runs; a launcher that hangs hangs again.
                    print("made again: a start Wine left hanging", file=sys.stderr)
                    result = self.start()
                # Wine, after a killed process, now and then fails to create
                # the next one (error 1359) before any of its code runs: such
                # a start of the application is made again, and must succeed.
                if result.err.startswith("Error, couldn't launch child ([Error 1359] "):
                    print("made again: %r" % result.err, file=sys.stderr)
                    result = self.start()
                self.assertStarted(result)
                # Temporary files of the killed start included.
                self.assertCacheExact()


class OnAccessScanner(LauncherCase):
    """Starts while an on-access scanner (the test shim) holds each new,
    written or renamed file in the cache for 200 ms without delete sharing,
    as antivirus programs do: the launcher waits the holds out, and leaves
    no temporary file behind."""

    kind = "scanned"
    HOLD_MS = 200

    def prepare_empty(self):
        """Empties the cache but keeps the folder: the scanner watches it."""
        for entry in os.listdir(self.cache):
            path = os.path.join(self.cache, entry)
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)

    def prepare_changed(self):
        """Every file present with its last byte changed, just written, so
        the scanner holds them while the launcher replaces them."""
        self.prepare_empty()
        for name, content in file_tree(self.app).items():
            path = os.path.join(self.cache, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(content[:-1] + bytes([content[-1] ^ 1]) if content else b"")

    def test_starts_wait_out_the_holds_of_a_scanner(self):
        os.makedirs(self.cache)
        scanner, held = self.start_scanner("--hold-ms", str(self.HOLD_MS))
        env = wine_environment(QUIET_CHILD)
        # (case, rounds, launchers at once, how the cache is before each round)
        table = [("empty cache", 20, 1, self.prepare_empty),
                 ("every file changed", 5, 1, self.prepare_changed),
                 ("eight at once on an empty cache", 2, 8, self.prepare_empty)]
        for case, rounds, at_once, prepare in table:
            with self.subTest(case=case):
                failed, slowest = [], 0.0
                for _ in range(rounds):
                    prepare()
                    began = time.monotonic()
                    starts = [subprocess.Popen(["wine", self.launcher], stdin=subprocess.DEVNULL,
                                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                               env=env) for _ in range(at_once)]
                    for start in starts:
                        out, err = start.communicate(timeout=WINE_TIMEOUT_SECONDS)
                        if (start.returncode, out, err) != (CHILD_EXIT_CODE, b"", b""):
                            failed.append((start.returncode, out + err))
                    slowest = max(slowest, time.monotonic() - began)
                    self.assertCacheExact()
                print("%s: %d of %d starts succeeded, the slowest round in %.2f s" %
                      (case, rounds * at_once - len(failed), rounds * at_once, slowest),
                      file=sys.stderr)
                self.assertEqual(failed, [])
        scanner.kill()
        scanner.wait()
        held.seek(0)
        temporaries = sum("~tallix-" in line for line in held)
        print("the scanner held %d temporary files" % temporaries, file=sys.stderr)
        # It got in the launcher's way at all.
        self.assertGreaterEqual(temporaries, 20)


class ScannedFolders(LauncherCase):
    """A scanner that also holds each new folder, 1 s without delete sharing,
    while a damaged launcher fails: the folders it made go all the same."""

    def test_a_failed_start_removes_its_folders_past_the_holds(self):
        shutil.copy(ARGS.large, self.launcher)
        # After the small files' folders are made.
        self.damage_last_frame()
        os.makedirs(self.cache)
        scanner, held = self.start_scanner("--hold-ms", "1000", "--folders", "1")
        failed = self.start()
        self.assertEqual((failed.status, failed.out, failed.err), (2, DECODE_ERROR, ""))
        scanner.kill()
        scanner.wait()
        held.seek(0)
        # It held folders at all, and none is left.
        self.assertIn("small", held.read())
        self.assertEqual(os.listdir(self.cache), [])


class QuickCheckRecord(LauncherCase):
    """The quick check's record is a cache: where it cannot be written, a
    start costs no wait for it and goes on."""

    def test_an_unwritable_record_costs_no_wait(self):
        self.pack(self.app, "--check", "quick")
        record = os.path.join(self.cache, ".tallix-onefile-check")

        def folder_at_the_record():
            os.remove(record)
            os.makedirs(record)

        def read_only_cache():
            os.remove(record)
            self.mount("--bind", self.cache, self.cache)
            self.unmount_later(self.cache)
            self.mount("-o", "remount,bind,ro", self.cache)

        for case, set_up in (("a folder at the record", folder_at_the_record),
                             ("a read-only cache", read_only_cache)):
            with self.subTest(case=case):
                shutil.rmtree(self.cache, ignore_errors=True)
                self.assertStarted(self.start())
                self.assertTrue(os.path.isfile(record))
                set_up()
                began = time.monotonic()
                self.assertStarted(self.start())
                took = time.monotonic() - began
                # The retry budget for a held file is 2 s.
                self.assertLess(took, 1.2)
                subprocess.run(["umount", self.cache], check=False, capture_output=True)


class ManySmallFiles(LauncherCase):
    def test_cold_start_writes_all_and_warm_start_touches_none(self):
        self.assertStarted(self.start())
        self.assertCacheExact()
        stamps = {name: os.stat(os.path.join(self.cache, name)).st_ctime_ns
                  for name in file_tree(self.cache)}
        self.assertGreater(len(stamps), 600)
        self.assertStarted(self.start())
        self.assertEqual({name: os.stat(os.path.join(self.cache, name)).st_ctime_ns
                          for name in stamps}, stamps)


class ReadErrors(LauncherCase):
    def test_a_read_error_on_the_launcher_file_leaves_nothing(self):
        # Reads of the launcher's own file fail from its middle on, inside
        # the block: decoding in lanes, and on one core (the process's
        # affinity) on the sequential path. The start fails as for a damaged
        # block, with nothing left, and the next start unpacks everything.
        shutil.copy(ARGS.read_fault, self.launcher)
        failing = {"TALLIX_TEST_FAIL_READS_FROM": str(os.path.getsize(self.launcher) // 2)}
        for cores in ([], ["taskset", "-c", "0"]):
            with self.subTest(cores=cores):
                done = subprocess.run(cores + ["wine", self.launcher], stdin=subprocess.DEVNULL,
                                      capture_output=True, timeout=WINE_TIMEOUT_SECONDS,
                                      env=wine_environment(dict(QUIET_CHILD, **failing)))
                failed = WindowsRun(done.returncode, done.stdout, done.stderr)
                self.assertEqual((failed.status, failed.out, failed.err), (2, DECODE_ERROR, ""))
                left = [(path, names) for path, _, names in os.walk(self.cache)]
                self.assertIn(left, ([], [(self.cache, [])]))
        self.assertStarted(run_windows_started(self.launcher, env=QUIET_CHILD))
        self.assertCacheExact()


def tree_state(root):
    """Relative path -> bytes of every file below `root`, or ("link", target)
    for a link, which is not followed."""
    state = {}
    for directory, folders, names in os.walk(root):
        for name in folders + names:
            path = os.path.join(directory, name)
            if os.path.islink(path):
                state[os.path.relpath(path, root)] = ("link", os.readlink(path))
            elif name in names:
                with open(path, "rb") as f:
                    state[os.path.relpath(path, root)] = f.read()
    return state


class OlderVersionUpdates(LauncherCase):
    """Version 2.0 of the large application started beside the unpack
    folder of 1.0: what 2.0 shares with 1.0 is taken from there (a hard link
    under Wine), the rest decoded. Whatever 1.0's folder holds, 2.0's ends
    exactly 2.0 and 1.0's stays as it was."""

    CHANGED = ("small/d03/f010.txt", "small/d07/f020.txt")
    ADDED = "small/d11/new.txt"
    SHARED = "small/d05/f005.txt"  # the same in both versions
    PLAN = re.compile(r"plan: (\d+) in place, (\d+) from the older version.*, "
                      r"(\d+) to decode in (\d+) of (\d+) frames")

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="updates-")
        cls.v2_app = os.path.join(cls.work, "v2_app")
        shutil.copytree(ARGS.large_app, cls.v2_app)
        for name in cls.CHANGED:
            with open(os.path.join(cls.v2_app, name), "ab") as f:
                f.write(b" changed in 2.0")
        with open(os.path.join(cls.v2_app, cls.ADDED), "wb") as f:
            f.write(b"new in 2.0\n" * 100)
        cls.packed = {key: cls.pack_version(app, version, *options) for key, app, version, options
                      in [("1.0", ARGS.large_app, "1.0", []), ("2.0", cls.v2_app, "2.0", []),
                          ("clean", cls.v2_app, "2.0", ["--clean-old-versions"])]}
        # A system that makes no link from a handle: linked by name instead.
        cls.packed["refused"] = cls.pack_version(cls.v2_app, "2.0", runtime=ARGS.link_refused_runtime,
                                                 name="refused")
        cache = os.path.join(cls.work, "cache")
        started = run_windows(cls.packed["1.0"], env=QUIET_CHILD)
        assert started.status == CHILD_EXIT_CODE, started
        cls.pristine = os.path.join(cls.work, "pristine-1.0")
        shutil.move(os.path.join(cache, "Tool-1.0"), cls.pristine)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def pack_version(cls, app, version, *options, runtime=None, name=""):
        launcher = os.path.join(cls.work, "tool-%s%s%s.exe" % (version, "".join(options), name))
        subprocess.run([ARGS.pack, "pack", app, "-o", launcher, "--main", "reporter.exe",
                        "--console", "--quiet", "--template",
                        "{PROGRAM_DIR}\\cache\\{PRODUCT}-{VERSION}", "--company", "Example Co",
                        "--product", "Tool", "--app-version", version,
                        "--runtime", runtime or ARGS.runtime, *options], check=True)
        return launcher

    def setUp(self):
        super().setUp()
        self.v1 = os.path.join(self.cache, "Tool-1.0")
        self.v2 = os.path.join(self.cache, "Tool-2.0")
        self.launchers = {}
        for key, packed in self.packed.items():
            self.launchers[key] = os.path.join(self.scratch, os.path.basename(packed))
            shutil.copy(packed, self.launchers[key])

    def fresh_older_folder(self):
        shutil.rmtree(self.cache, ignore_errors=True)
        shutil.copytree(self.pristine, self.v1)

    def start_v2(self, key="2.0", cores=()):
        done = subprocess.run([*cores, "wine", self.launchers[key]], stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=WINE_TIMEOUT_SECONDS,
                              env=wine_environment(dict(QUIET_CHILD, TALLIX_ONEFILE_DIAGNOSE="1")))
        err = done.stderr.decode(errors="replace")
        self.assertEqual((done.returncode, "Error" in err), (CHILD_EXIT_CODE, False), err)
        return err

    def assertVersion2Exact(self):
        self.assertCacheExact(self.v2_app, self.v2)
        links = [name for name, state in tree_state(self.v2).items() if isinstance(state, tuple)]
        self.assertEqual(links, [])

    def shared_files(self):
        """The 2.0 files that are 1.0's files under another name."""
        return sorted(name for name in file_tree(self.v2)
                      if os.path.isfile(os.path.join(self.v1, name)) and
                      os.stat(os.path.join(self.v2, name)).st_ino ==
                      os.stat(os.path.join(self.v1, name)).st_ino)

    def test_update_takes_unchanged_files_and_cleaning_keeps_them(self):
        unchanged = sorted(set(file_tree(self.v2_app)) - set(self.CHANGED) - {self.ADDED})
        taken = "took %d files from the older version: %d linked, 0 copied" % (len(unchanged),
                                                                             len(unchanged))
        # (launcher, cores, how the diagnosis ends): two taking threads, one,
        # and two on a system that refuses every link from a handle.
        for key, cores, ending in (("2.0", (), "\n"), ("2.0", ("taskset", "-c", "0"), "\n"),
                                   ("refused", (), "; %d linked by name\n" % len(unchanged))):
            with self.subTest(key=key, cores=cores):
                self.fresh_older_folder()
                before = tree_state(self.v1)
                err = self.start_v2(key, cores=cores).replace("\r\n", "\n")
                self.assertIn(taken + ending, err)
                self.assertVersion2Exact()
                self.assertEqual(tree_state(self.v1), before)
                self.assertEqual(self.shared_files(), unchanged)
        # An update that cleans copies the programs (one running keeps every
        # name of its file), then removes 1.0's names; 2.0's linked files keep
        # their content.
        self.fresh_older_folder()
        err = self.start_v2("clean")
        self.assertIn("took %d files from the older version: %d linked, 1 copied" %
                      (len(unchanged), len(unchanged) - 1), err)
        self.assertFalse(os.path.exists(self.v1))
        self.assertVersion2Exact()
        # A repair of one damaged file decodes only the frame it is in.
        damaged = os.path.join(self.v2, self.CHANGED[0])
        size = os.path.getsize(damaged)
        os.remove(damaged)
        with open(damaged, "wb") as f:
            f.write(b"x" * size)
        in_place, taken, decoded, frames, all_frames = map(
            int, self.PLAN.search(self.start_v2()).groups())
        self.assertEqual((in_place, taken, decoded, frames), (len(unchanged) + 2, 0, 1, 1))
        self.assertGreater(all_frames, 1)
        self.assertVersion2Exact()

    def test_faults_in_the_older_folder_never_reach_the_new_one(self):
        outside = os.path.join(self.scratch, "outside.txt")
        shared = os.path.join(self.v1, self.SHARED)

        def changed_keeping_size():
            with open(shared, "r+b") as f:
                f.write(b"#")

        def link_outside():
            shutil.copy(shared, outside)
            os.remove(shared)
            os.symlink(outside, shared)

        def damaged_marker():
            with open(os.path.join(self.v1, FOLDER_MARKER), "r+b") as f:
                f.write(b"\x00\x00")

        def missing_marker():
            os.remove(os.path.join(self.v1, FOLDER_MARKER))

        def held_unshared():
            ready = os.path.join(self.scratch, "held.ready")
            holder = subprocess.Popen(["wine", ARGS.holder, "hold", windows_path(shared),
                                       windows_path(ready)], stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                      env=wine_environment())
            self.addCleanup(holder.wait)
            self.addCleanup(holder.kill)
            deadline = time.monotonic() + WINE_TIMEOUT_SECONDS
            while not os.path.exists(ready) and time.monotonic() < deadline:
                time.sleep(0.02)
            os.remove(ready)

        # (case, set-up, whether 1.0's folder is used at all, whether SHARED is taken)
        table = [
            ("a file changed keeping its size", changed_keeping_size, True, False),
            ("a file replaced by a link to outside the cache", link_outside, True, False),
            ("a damaged marker", damaged_marker, False, False),
            ("no marker", missing_marker, False, False),
            ("a file held open without sharing", held_unshared, True, False),
        ]
        for case, set_up, used, taken in table:
            with self.subTest(case=case):
                self.fresh_older_folder()
                set_up()
                before = tree_state(self.v1)
                self.start_v2()
                self.assertVersion2Exact()
                self.assertEqual(tree_state(self.v1), before)
                shared_files = self.shared_files()
                self.assertEqual(self.SHARED in shared_files, taken)
                self.assertEqual(len(shared_files) > 100, used)
                self.assertFalse(os.path.islink(os.path.join(self.v2, self.SHARED)))
                if os.path.exists(outside):
                    self.assertNotEqual(os.stat(outside).st_ino,
                                        os.stat(os.path.join(self.v2, self.SHARED)).st_ino)
                    os.remove(outside)

    def test_older_folder_removed_or_start_killed_midway(self):
        # 1.0's folder removed while 2.0 reads it, as another start's
        # clean-up would; a 2.0 start killed midway, then started again.
        for case, delay in [("removed", 0.0), ("removed", 0.15), ("removed", 0.3),
                            ("killed", 0.15), ("killed", 0.3), ("killed", 0.5)]:
            with self.subTest(case=case, delay=delay):
                self.fresh_older_folder()
                before = tree_state(self.v1)
                start = subprocess.Popen(["wine", self.launchers["2.0"]], stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                         env=wine_environment(QUIET_CHILD))
                time.sleep(delay)
                if case == "removed":
                    shutil.rmtree(self.v1)
                    self.assertEqual(start.wait(timeout=WINE_TIMEOUT_SECONDS), CHILD_EXIT_CODE)
                else:
                    start.kill()
                    start.wait()
                    self.start_v2()
                    self.assertEqual(tree_state(self.v1), before)
                self.assertVersion2Exact()


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("small", "small-app", "large", "large-app", "scanned", "scanned-app", "runner",
                   "scanner", "read-fault", "pack", "runtime", "link-refused-runtime", "reporter",
                   "holder"):
        parser.add_argument("--" + option, required=True)
    parser.add_argument("--flips", type=int, default=60, help="random bit flips over the frame")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
