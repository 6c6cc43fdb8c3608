#!/usr/bin/env python3
"""Many starts of one launcher at once, seen from outside: each case copies a
launcher (whose cache is the folder "cache" beside it) into a scratch
folder and starts it several times under Wine.

Files written are counted independently of the launcher's code, through
Linux inotify on the scratch folder: every file a start writes is first
created as "~tallix-<process id>-<number>.tmp" beside its final name
(payload/write/temporaries.h), so the temporary names created tell how many files
were written and by which starts. A folder is listed when its watch is
added, which catches what was created in it before; temporaries stay until
the end of their start's unpack.
"""
import argparse
import ctypes
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from wine_test_support import (CHILD_NOT_CREATED, WINE_TIMEOUT_SECONDS, file_tree,  # noqa: E402
                               wine_environment, windows_path)

ARGS = None
CHILD_EXIT_CODE = 7
QUIET_CHILD = {"REPORTER_EXIT_CODE": str(CHILD_EXIT_CODE), "REPORTER_QUIET": "1"}
FOLDER_MARKER = ".tallix-onefile-folder"
# The application's files' temporaries; the launcher's own files (the marker,
# the quick check's record) take the numbers 4294967294 and 4294967295.
TEMPORARY = re.compile(r"~tallix-(\d+)-(?!429496729[45]\.)\d+\.tmp")
# Under load Wine now and then fails to create a process (ERROR_INTERNAL_ERROR
# while the new process starts, before any of its code runs): the runner's
# start of the launcher, or the launcher's start of the application. Such a
# start is made again on its own, and must then succeed.
RUNNER_NOT_CREATED = b"runner: CreateProcessW failed, error 1359\n"

# Time for a second start to reach its wait, with room for a loaded machine;
# well below the stall limit after which it would unpack anyway.
SECOND_START_SECONDS = 2

IN_CREATE, IN_MOVED_TO, IN_ISDIR = 0x100, 0x80, 0x40000000
EVENT_HEADER = struct.Struct("iIII")


class TemporaryWatch:
    """The launcher's temporary files created below `root`, each with the
    process id in its name and when it was seen."""

    def __init__(self, root):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.folders = {}  # watch descriptor -> folder
        self.watched = set()
        self.temporaries = {}  # path -> (process id, time seen)
        self.lock = threading.Lock()
        self.stopping = False
        self.add(root)
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def add(self, folder):
        if folder in self.watched:
            return
        wd = self.libc.inotify_add_watch(self.fd, os.fsencode(folder), IN_CREATE | IN_MOVED_TO)
        if wd < 0:
            return  # gone again
        self.watched.add(folder)
        self.folders[wd] = folder
        for name in sorted(os.listdir(folder)):
            self.seen(folder, name, os.path.isdir(os.path.join(folder, name)))

    def seen(self, folder, name, is_folder):
        path = os.path.join(folder, name)
        if is_folder:
            self.add(path)
            return
        match = TEMPORARY.fullmatch(name)
        with self.lock:
            if match and path not in self.temporaries:
                self.temporaries[path] = (int(match[1]), time.monotonic())

    def run(self):
        while not self.stopping:
            select.select([self.fd], [], [], 0.05)
            try:
                data = os.read(self.fd, 1 << 16)
            except BlockingIOError:
                continue
            at = 0
            while at < len(data):
                wd, mask, _, length = EVENT_HEADER.unpack_from(data, at)
                raw = data[at + EVENT_HEADER.size:at + EVENT_HEADER.size + length]
                at += EVENT_HEADER.size + length
                if wd in self.folders:
                    self.seen(self.folders[wd], os.fsdecode(raw.rstrip(b"\0")),
                              bool(mask & IN_ISDIR))

    def stop(self):
        time.sleep(0.2)  # events still on their way
        self.stopping = True
        self.thread.join()
        os.close(self.fd)

    def writers(self):
        """Process id -> files it wrote, as far as seen."""
        with self.lock:
            counts = {}
            for pid, _ in self.temporaries.values():
                counts[pid] = counts.get(pid, 0) + 1
            return counts


class ClickCase(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="clicks-")
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)
        self.launcher = os.path.join(self.scratch, "app.exe")
        self.cache = os.path.join(self.scratch, "cache")
        self.app_files = len(file_tree(ARGS.app))
        self.recreated = 0

    def use(self, launcher):
        shutil.copy(launcher, self.launcher)

    def env(self, **extra):
        return wine_environment(dict(QUIET_CHILD, **extra))

    def start(self, program, env, output=subprocess.PIPE):
        process = subprocess.Popen(["wine", program], stdin=subprocess.DEVNULL, stdout=output,
                                   stderr=output, env=env)
        process.env_used = env
        return process

    def finish(self, start):
        """Status, stdout and stderr of a start; one that Wine failed to
        create a process for is made again on its own."""
        out, err = start.communicate(timeout=WINE_TIMEOUT_SECONDS)
        if ((start.returncode, out, err) == (1, RUNNER_NOT_CREATED, b"") or
                err.startswith(CHILD_NOT_CREATED)):
            self.recreated += 1
            print("made again: %r" % (out + err), file=sys.stderr)
            again = subprocess.run(start.args, stdin=subprocess.DEVNULL, capture_output=True,
                                   env=start.env_used, timeout=WINE_TIMEOUT_SECONDS)
            return again.returncode, again.stdout, again.stderr
        return start.returncode, out, err

    def watch(self):
        watch = TemporaryWatch(self.scratch)
        self.addCleanup(lambda: watch.stopping or watch.stop())
        return watch

    def wait_for_writing(self, watch):
        deadline = time.monotonic() + WINE_TIMEOUT_SECONDS
        while not watch.writers() and time.monotonic() < deadline:
            time.sleep(0.01)

    def assertCacheExact(self):
        expected, actual = file_tree(ARGS.app), file_tree(self.cache)
        actual.pop(FOLDER_MARKER, None)
        self.assertEqual(sorted(actual), sorted(expected))
        self.assertEqual([name for name in expected if actual[name] != expected[name]], [])


class StartsAtOnce(ClickCase):
    def test_every_start_runs_the_application_and_every_file_is_written_once(self):
        big = os.path.getsize(os.path.join(ARGS.app, "big.bin"))
        # Through the runner, which reports all 32 bits of the exit code; the
        # application reads these files to their end before it exits.
        env = self.env(REPORTER_CHECK_FILES="big.bin=%d;empty.txt=0" % big,
                       RUNNER_APPLICATION=windows_path(self.launcher),
                       RUNNER_COMMAND_LINE="app.exe")
        expected = (0, b"runner-exit-code %d\n" % CHILD_EXIT_CODE, b"")
        # (launcher, starts, cache before, files written)
        table = [
            ("indexed", 2, "empty", self.app_files),
            ("indexed", 8, "empty", self.app_files),
            ("indexed", 8, "complete", 0),
            ("no index", 8, "empty", self.app_files),
        ]
        for kind, count, cache, written in table:
            with self.subTest(launcher=kind, starts=count, cache=cache):
                self.use(ARGS.indexed if kind == "indexed" else ARGS.no_index)
                shutil.rmtree(self.cache, ignore_errors=True)
                if cache == "complete":
                    shutil.copytree(ARGS.app, self.cache)
                watch = self.watch()
                began = time.monotonic()
                starts = [self.start(ARGS.runner, env) for _ in range(count)]
                results = [self.finish(start) for start in starts]
                seconds = time.monotonic() - began
                watch.stop()
                writers = watch.writers()
                print("%s, %d starts, %s cache: %.1f s, files written per start %s" %
                      (kind, count, cache, seconds, sorted(writers.values())), file=sys.stderr)
                self.assertEqual([(status, out[out.rfind(b"runner-exit"):], err)
                                  for status, out, err in results], [expected] * count)
                self.assertEqual(sum(writers.values()), written)
                self.assertLessEqual(len(writers), 1)
                self.assertCacheExact()


class KilledFirstStart(ClickCase):
    def test_the_waiting_start_finishes_the_unpack_itself(self):
        for kind, launcher in (("indexed", ARGS.indexed), ("no index", ARGS.no_index)):
            with self.subTest(launcher=kind):
                self.use(launcher)
                shutil.rmtree(self.cache, ignore_errors=True)
                watch = self.watch()
                first = self.start(self.launcher, self.env(), subprocess.DEVNULL)
                self.wait_for_writing(watch)
                # Stopped mid-unpack, it holds the turn; its files go into
                # place only at the end, so the large one is not there yet.
                first.send_signal(signal.SIGSTOP)
                second = self.start(self.launcher, self.env())
                time.sleep(SECOND_START_SECONDS)
                before_kill = watch.writers()
                mid_unpack = not os.path.exists(os.path.join(self.cache, "big.bin"))
                first.kill()
                first.wait()
                result = self.finish(second)
                watch.stop()
                writers = watch.writers()
                print("%s: files written per start, at the kill %s, in the end %s" %
                      (kind, list(before_kill.values()), list(writers.values())),
                      file=sys.stderr)
                self.assertTrue(mid_unpack, "the first start finished before it was stopped")
                self.assertEqual(len(before_kill), 1, "the second start wrote while waiting")
                self.assertEqual(result, (CHILD_EXIT_CODE, b"", b""))
                self.assertCacheExact()
                # Every file, by the second start alone after the kill.
                (killed,) = before_kill
                self.assertEqual([n for pid, n in writers.items() if pid != killed],
                                 [self.app_files])


class WaitingProgress(ClickCase):
    def test_a_waiting_start_reads_the_first_ones_progress(self):
        total = sum(len(content) for content in file_tree(ARGS.app).values())
        watch = self.watch()
        probe = [ARGS.probe, windows_path(self.cache)]
        first = subprocess.Popen(["wine", *probe], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, env=wine_environment())
        self.wait_for_writing(watch)
        # Held mid-unpack until the second start waits for it.
        first.send_signal(signal.SIGSTOP)
        second = subprocess.Popen(["wine", *probe], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, env=wine_environment())
        time.sleep(SECOND_START_SECONDS)
        first.send_signal(signal.SIGCONT)
        outputs = [start.communicate(timeout=WINE_TIMEOUT_SECONDS)[0].decode()
                   for start in (first, second)]
        watch.stop()
        self.assertEqual((first.returncode, second.returncode), (0, 0))
        self.assertEqual(len(watch.writers()), 1)
        for name, output, waiting in (("first", outputs[0], False),
                                      ("waiting", outputs[1], True)):
            readings = dict(line.split(" ", 1) for line in output.splitlines())
            print("%s start's readings: %s" % (name, readings), file=sys.stderr)
            with self.subTest(start=name):
                self.assertEqual(readings["total"], str(total))
                self.assertEqual(readings["decreases"], "0")
                self.assertGreater(int(readings["partial"]), 0)
                self.assertEqual(int(readings["waiting"]) > 0, waiting)
                # Ends with the whole content done and finished.
                self.assertEqual(readings["last"].split()[:3], [str(total), str(total), "1"])
                # Two steps a file: passed by the writer, then put in place.
                self.assertEqual(readings["files"], "%d %d" % (2 * self.app_files, self.app_files))
        self.assertCacheExact()


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("indexed", "no-index", "app", "probe", "runner"):
        parser.add_argument("--" + option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
