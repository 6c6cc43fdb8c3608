#!/usr/bin/python3
"""Tests of the shims that make Wine behave like Windows, under Wine.

    shims_test.py SHIM --wine-run W --scanner test_scanner_emulator.exe
                  --path-limit-probe path_limit_probe.exe
                  --path-limit-probe-limited path_limit_probe_limited.exe --work DIR
"""
import argparse
import os
import pathlib
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from wine_test_support import (check, check_equal, fresh_directory, outcome,  # noqa: E402
                               run_windows, wine_environment, windows_path)

CHURNED_FILES = 20
HOLD_MS = 100
# Windows refuses paths of 260 units or more without the \\?\ prefix.
LONG_PATH_UNITS = 300

args = None


def churn(folder):
    """The sharing violations met renaming and deleting new files."""
    result = run_windows(args.scanner, "churn", windows_path(folder), CHURNED_FILES,
                         wine=args.wine_run)
    check_equal(result.status, 0, f"churning files in {folder.name}:\n{result.out}")
    words = result.out.split()
    return int(words[-1]) if words[:1] == ["sharing-violations"] else None


def test_scanner_emulator():
    """Renaming or deleting a just-created file meets a sharing violation
    while the scanner runs, and never without it."""
    work = pathlib.Path(fresh_directory(args.work))
    (work / "watched" / "sub").mkdir(parents=True)
    check_equal(churn(work / "watched" / "sub"), 0, "sharing violations without the scanner")
    ready = work / "scanner.ready"
    scanner = subprocess.Popen([args.wine_run, args.scanner, "watch",
                                windows_path(work / "watched"), "--hold-ms", str(HOLD_MS),
                                "--ready", windows_path(ready)],
                               env=wine_environment(), stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
    try:
        deadline = time.monotonic() + 60
        while not ready.exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        violations = churn(work / "watched" / "sub")
        check(violations is not None and violations > 0,
              "a sharing violation while the scanner runs", f"violations: {violations}")
    finally:
        scanner.kill()
        held = scanner.communicate()[0]
    check("held " in held, "the scanner reports what it held", held)


def long_folder(root):
    """A folder path of LONG_PATH_UNITS units or more below `root`."""
    folder = root
    while len(windows_path(folder)) < LONG_PATH_UNITS:
        folder = folder / ("d" * 60)
    return folder


# Error codes of the probe's calls (path_limit_probe.cpp) on a long path
# without the prefix: a folder to create, whose parent is missing for the
# calls after it, or with it.
LIMITED = "206 3 3 3 3 3 3 3 3"
UNLIMITED = "0 0 0 0 0 0 0 0 0"


def test_path_limit_shim():
    """Every call the shim limits fails on a long path without the \\\\?\\
    prefix as Windows fails it, and works with it; without the shim Wine
    takes both. (CreateProcessW's limit shows in launch.long-paths.)"""
    work = pathlib.Path(fresh_directory(args.work))
    folder = long_folder(work)
    folder.mkdir(parents=True)
    for probe, plain in [(args.path_limit_probe_limited, LIMITED),
                         (args.path_limit_probe, UNLIMITED)]:
        result = run_windows(probe, windows_path(folder), wine=args.wine_run)
        check_equal(result.out.splitlines(), [f"plain {plain}", f"prefixed {UNLIMITED}"],
                    f"{pathlib.Path(probe).name}: each call's error code")


SHIMS = {"scanner_emulator": test_scanner_emulator, "path_limit_shim": test_path_limit_shim}


def main():
    global args
    parser = argparse.ArgumentParser()
    parser.add_argument("shim", choices=SHIMS)
    for option in ("wine-run", "scanner", "path-limit-probe", "path-limit-probe-limited", "work"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    SHIMS[args.shim]()
    return outcome(f"helpers.{args.shim}: all checks passed")


if __name__ == "__main__":
    sys.exit(main())
