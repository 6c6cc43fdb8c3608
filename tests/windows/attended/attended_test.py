#!/usr/bin/env python3
"""What a person in front of a launcher meets, under Wine on an X server of
its own (Xvfb). One small application (test_reporter and a few hundred KB of
data), packed with the default template; every start sets
TALLIX_ONEFILE_CACHE_DIR to a folder of the work tree.

- The administrator's cache folder: a start unpacks below it, in the
  template's company and product folders.
- The diagnosis mode: with TALLIX_ONEFILE_DIAGNOSE=1 a cold and a warm start
  tell on standard error what they checked, wrote and started; without it
  they say nothing.
- A GUI launcher with a damaged payload, started with no standard handles,
  shows a message box titled with the product's name, with the message and
  advice; it is on the X server; once OK is pressed the launcher exits 2
  with nothing left in its cache folder. Started with its standard output
  captured, it prints the message there and shows no box.

usage: attended_test.py --pack TALLIX_PACK --runtime DIR --watcher EXE
           --reporter EXE --work DIR
"""
import argparse
import os
import random
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, os.path.join(HERE, "..", "progress"))
sys.path.insert(0, os.path.join(HERE, "..", "integrity"))
from damaged_launcher_test import Layout  # noqa: E402
from progress_window_test import XServer  # noqa: E402
from wine_test_support import (WINE_TIMEOUT_SECONDS, check, check_equal,  # noqa: E402
                               fresh_directory, outcome, run, run_windows, windows_path,
                               wine_environment)

COMPANY = "Attended Works"
PRODUCT = "Box Probe"
VERSION = "2.0.1"
DAMAGE_MESSAGE = "Error, couldn't decode attached data."
DATA_FILES = 6
# What every unpack folder holds besides the application (payload/turn/folder_marker.h).
FOLDER_MARKER = ".tallix-onefile-folder"


def make_application(root, reporter):
    os.makedirs(os.path.join(root, "data"))
    shutil.copy(reporter, os.path.join(root, "reporter.exe"))
    rng = random.Random(27)
    for number in range(DATA_FILES):
        with open(os.path.join(root, "data", "part%d.bin" % number), "wb") as out:
            out.write(rng.randbytes(100_000))


def files_below(root):
    return sorted(os.path.relpath(os.path.join(d, n), root)
                  for d, _, names in os.walk(root) for n in names)


def damage(launcher, damaged):
    """A copy with four bytes flipped three quarters into the payload."""
    with open(launcher, "rb") as f:
        data = bytearray(f.read())
    layout = Layout(data)
    at = layout.block + (layout.trailer - layout.block) * 3 // 4
    for k in range(4):
        data[at + k] ^= 0xFF
    with open(damaged, "wb") as f:
        f.write(data)


def diagnosis_lines(stderr):
    return [line for line in stderr.replace("\r\n", "\n").splitlines()
            if line.startswith("tallix-onefile: ")]


def check_diagnosis(launcher, environment, target_windows):
    cold = run_windows(launcher, env=dict(environment, TALLIX_ONEFILE_DIAGNOSE="1"))
    check_equal(cold.status, 0, "diagnosis, cold: exit status")
    lines = diagnosis_lines(cold.err)
    text = "\n".join(lines)
    print(text)
    for wanted in ("target folder %s (template " % target_windows,
                   "{CACHE_DIR}: TALLIX_ONEFILE_CACHE_DIR", "check content (CRC-32 of every file)",
                   "decoded %d files" % (DATA_FILES + 1), "wrote %d, 0 were in place" % (DATA_FILES + 1),
                   "started %s\\reporter.exe (process " % target_windows,
                   "child ended with code 0 after", "summary: target %s;" % target_windows):
        check(wanted in text, "diagnosis, cold: a line tells %r" % wanted, text)
    check(lines and lines[-1].split()[3] == "summary:", "diagnosis, cold: the summary ends it",
          text)
    warm = run_windows(launcher, env=dict(environment, TALLIX_ONEFILE_DIAGNOSE="1"))
    check("all %d files in place: reused, nothing decoded" % (DATA_FILES + 1)
          in warm.err, "diagnosis, warm: the files are reused", warm.err)
    for value in (None, "0"):
        quiet = run_windows(launcher, env=dict(environment, TALLIX_ONEFILE_DIAGNOSE=value)
                            if value else environment)
        check_equal((quiet.status, diagnosis_lines(quiet.err)), (0, []),
                    "diagnosis %s: status and lines" % (value or "unset"))


def watch(x, watcher, mode, launcher, environment, cache):
    """box_watcher's lines; at a box, the X server's window list and the
    files in `cache` are read before OK is pressed."""
    process = subprocess.Popen(["wine", watcher, mode, launcher], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               env=wine_environment(dict(environment, DISPLAY=x.display)),
                               text=True, errors="replace")
    lines, on_screen, files_at_box = [], None, None
    try:
        for line in process.stdout:
            lines.append(line.rstrip("\r\n"))
            if line.startswith("box-text: "):
                on_screen = x.tool("xwininfo", "-root", "-tree").stdout
                files_at_box = files_below(cache)
                process.stdin.write("close\n")
                process.stdin.flush()
        process.wait(timeout=WINE_TIMEOUT_SECONDS)
    finally:
        process.kill()
    return lines, on_screen, files_at_box


def check_box(x, args, damaged, environment, cache):
    lines, on_screen, files_at_box = watch(x, args.watcher, "none", damaged, environment, cache)
    print("\n".join(lines))
    check_equal([l for l in lines if not l.startswith("box-text: ")],
                ["box-title: " + PRODUCT, "exit-code 2"], "no handles: the box and the status")
    text = next((l for l in lines if l.startswith("box-text: ")), "")
    check(DAMAGE_MESSAGE in text and "Download it again" in text,
          "no handles: the box tells the message and what to do", text)
    check(on_screen is not None and '"%s"' % PRODUCT in on_screen,
          "no handles: the box is on the X server", on_screen or "")
    check_equal(files_at_box, [], "no handles: files in the cache folder while the box is up")
    check_equal(files_below(cache), [], "no handles: files left in the cache folder")

    lines, _, _ = watch(x, args.watcher, "inherit", damaged, environment, cache)
    check_equal(lines, [DAMAGE_MESSAGE, "exit-code 2"],
                "standard output captured: the message there, no box, the status")
    check_equal(files_below(cache), [], "standard output captured: files left in the cache")


def main():
    parser = argparse.ArgumentParser()
    for option in ("--pack", "--runtime", "--watcher", "--reporter", "--work"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    work = fresh_directory(args.work)
    try:
        app = os.path.join(work, "app")
        make_application(app, args.reporter)
        launcher = os.path.join(work, "probe.exe")
        # --no-progress-window: a launch option, whose entry Layout wants.
        packed = run([args.pack, "pack", app, "-o", launcher, "--gui", "--no-progress-window",
                      "--company", COMPANY,
                      "--product", PRODUCT, "--app-version", VERSION, "--runtime", args.runtime,
                      "--quiet"])
        if packed.returncode != 0:
            sys.exit("packing failed: " + packed.stderr)
        damaged = os.path.join(work, "damaged.exe")
        damage(launcher, damaged)
        cache = fresh_directory(os.path.join(work, "admin-cache"))
        environment = {"TALLIX_ONEFILE_CACHE_DIR": windows_path(cache) + "\\",
                       "REPORTER_QUIET": "1"}
        target = os.path.join(cache, COMPANY, "%s-%s" % (PRODUCT, VERSION))
        with XServer(work) as x:
            environment["DISPLAY"] = x.display
            check_diagnosis(launcher, environment, windows_path(target))
            check_equal(files_below(target), sorted([FOLDER_MARKER] + files_below(app)),
                        "TALLIX_ONEFILE_CACHE_DIR: the files below it, in the template's folders")
            shutil.rmtree(cache)
            os.makedirs(cache)
            check_box(x, args, damaged, environment, cache)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return outcome("a failing GUI launcher is seen; diagnosis and the cache folder work")


if __name__ == "__main__":
    sys.exit(main())
