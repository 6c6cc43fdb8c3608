#!/usr/bin/env python3
"""The GUI launcher's progress window as a user sees it: launchers of an
application of a few hundred MB run under Wine on an X server of their own
(Xvfb), watched from outside with xwininfo while they unpack.

- A cold start of the GUI launcher shows the window, titled with the product
  name; screenshots of it must show it painted (the first is kept in the
  artifacts folder) and, later, changed as its bar moves; the application
  (window_lister) finds no such window when it starts, and none is left
  once the launcher has ended.
- A warm start of the same launcher, a cold start of the console launcher
  and one of a GUI launcher packed with --no-progress-window show none.

usage: progress_window_test.py --pack TALLIX_PACK --runtime DIR --lister EXE
           --work DIR --artifacts DIR --wine WINE
The work folder (the application, the launchers and what they unpack, a
few hundred MB) is removed at the end.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from wine_test_support import (check, check_equal, fresh_directory, outcome,  # noqa: E402
                               windows_path, wine_environment, WINE_TIMEOUT_SECONDS)

PRODUCT = "Progress Probe"
VERSION = "1.2.3"
# The application: FOLDERS x FILES_PER_FOLDER files of FILE_SIZE bytes, each
# a random piece repeated, so the launcher is a quarter of the application:
# 262 MB in 4,000 files unpack for about 3 s under Wine, mostly per file.
FOLDERS = 40
FILES_PER_FOLDER = 100
FILE_SIZE = 64 * 1024
PIECE_SIZE = 16 * 1024
# xwininfo is asked this often while a launcher runs.
POLL_SECONDS = 0.05
# An X tool that has not answered by then is stuck.
X_TOOL_TIMEOUT_SECONDS = 10
# Screenshots taken while the window is up, at most.
SCREENSHOTS = 20
# A screenshot of icon, line and bar has hundreds of colours (smoothed
# text); a blank or single-coloured one has one or two.
MIN_SCREENSHOT_COLOURS = 16
# The X tools and the Debian packages that bring them (scripts/packages.txt).
X_TOOLS = {"Xvfb": "xvfb", "xwininfo": "x11-utils", "import": "imagemagick",
           "identify": "imagemagick"}


def make_application(root, lister):
    os.makedirs(root)
    shutil.copy(lister, os.path.join(root, "window_lister.exe"))
    for folder in range(FOLDERS):
        directory = os.path.join(root, "data%02d" % folder)
        os.makedirs(directory)
        for number in range(FILES_PER_FOLDER):
            piece = os.urandom(PIECE_SIZE)
            with open(os.path.join(directory, "f%03d.bin" % number), "wb") as out:
                out.write(piece * (FILE_SIZE // PIECE_SIZE))


def pack(args, app, launcher, cache, *options):
    """Packs the application; its template is `cache`, so each launcher
    unpacks into a folder of the work tree."""
    done = subprocess.run([args.pack, "pack", app, "-o", launcher, "--product", PRODUCT,
                           "--app-version", VERSION, "--arg", "{PRODUCT}",
                           "--template", windows_path(cache), "--runtime", args.runtime,
                           "--level", "1", "--quiet", *options],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=False)
    if done.returncode != 0:
        sys.exit("packing %s failed: %s" % (launcher, done.stderr))


class XServer:
    """Xvfb on the first free display, for the duration of a with block."""

    def __enter__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp"],
            pass_fds=[write_end], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as announced:
            self.display = ":" + announced.readline().strip()
        return self

    def __exit__(self, *_):
        self.process.terminate()
        self.process.wait()

    def tool(self, *command):
        return subprocess.run(list(command), env=dict(os.environ, DISPLAY=self.display),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              check=False, timeout=X_TOOL_TIMEOUT_SECONDS)

    def screenshot(self, line, path):
        """The screen's part that xwininfo's `line` places, into `path`; its
        number of colours and its pixels' signature, or None. The root
        window is captured: a window that goes away meanwhile can make
        import wait with the server grabbed."""
        place = re.search(r"(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)", line)
        if place is None:
            return None
        width, height, left, top = place.groups()
        if self.tool("import", "-window", "root", "-crop",
                     "%sx%s+%s+%s" % (width, height, left, top), path).returncode != 0:
            return None
        colours, _, signature = self.tool("identify", "-format", "%k %#", path).stdout.partition(" ")
        return (int(colours), signature) if colours.isdigit() else None

    def progress_windows(self):
        """xwininfo's lines of the windows titled with the product name."""
        tree = self.tool("xwininfo", "-root", "-tree").stdout
        return [line.strip() for line in tree.splitlines() if '"%s"' % PRODUCT in line]


def later_shot(shot):
    return shot.replace(".png", "-last.png")


class Watched:
    """A launcher run to its end while xwininfo watches the screen."""

    def __init__(self, x, wine, launcher, shot=None):
        self.first_seen = None  # seconds after the start
        self.shots = []  # signatures of the painted screenshots, in order
        taken = 0
        process = subprocess.Popen([wine, launcher], stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   env=wine_environment({"DISPLAY": x.display}))
        started = time.monotonic()
        while process.poll() is None:
            if time.monotonic() - started > WINE_TIMEOUT_SECONDS:
                process.kill()
                break
            windows = x.progress_windows()
            if windows and self.first_seen is None:
                self.first_seen = time.monotonic() - started
                self.line = windows[0]
            if windows and shot and taken < SCREENSHOTS:
                # The first painted one is kept: the first tries may meet
                # the window not yet mapped, or mapped and still blank.
                taken += 1
                path = shot if not self.shots else later_shot(shot)
                seen = x.screenshot(windows[0], path)
                if seen is not None and seen[0] >= MIN_SCREENSHOT_COLOURS:
                    self.shots.append(seen[1])
            time.sleep(POLL_SECONDS)
        self.seconds = time.monotonic() - started
        out, err = process.communicate()
        self.status = process.returncode
        self.out = out.decode("utf-8", "replace").replace("\r\n", "\n")
        self.err = err.decode("utf-8", "replace")
        self.left_over = x.progress_windows()

    def check_child(self, what):
        check_equal(self.status, 0, what + ": exit status")
        check_equal(self.out, "windows titled '%s': 0\n" % PRODUCT,
                    what + ": what the application saw as it started")
        check_equal(self.left_over, [], what + ": windows left after the launcher")


def main():
    parser = argparse.ArgumentParser()
    for option in ("--pack", "--runtime", "--lister", "--work", "--artifacts", "--wine"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    missing = [tool for tool in X_TOOLS if shutil.which(tool) is None]
    if missing:
        sys.exit("missing %s: install %s" % (", ".join(missing),
                                             ", ".join(sorted({X_TOOLS[t] for t in missing}))))
    work = fresh_directory(args.work)
    artifacts = fresh_directory(args.artifacts)
    shot = os.path.join(artifacts, "progress-window.png")
    try:
        app = os.path.join(work, "app")
        make_application(app, args.lister)
        launchers = {}
        for name, options in (("gui", ["--gui"]), ("console", ["--console"]),
                              ("no-window", ["--gui", "--no-progress-window"])):
            launchers[name] = os.path.join(work, name + ".exe")
            pack(args, app, launchers[name], os.path.join(work, "cache-" + name), *options)
        shutil.rmtree(app)
        # Without a window manager, Wine waits up to 2 s for one at each
        # map and unmap of a window it lets a manager handle.
        subprocess.run([args.wine, "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v",
                        "Managed", "/d", "N", "/f"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        with XServer() as x:
            cold = Watched(x, args.wine, launchers["gui"], shot)
            print("GUI, cold: %.2f s, window from %s s: %s" % (
                cold.seconds, cold.first_seen and round(cold.first_seen, 2),
                getattr(cold, "line", "")))
            check(cold.first_seen is not None, "a cold start of the GUI launcher shows the window")
            cold.check_child("GUI, cold")
            check(cold.shots, "a screenshot shows the window's content (%s, at least %d "
                  "colours)" % (shot, MIN_SCREENSHOT_COLOURS))
            check(len(set(cold.shots)) > 1, "later screenshots show the window changed as the "
                  "unpack went on (%d painted, %d different)"
                  % (len(cold.shots), len(set(cold.shots))))
            # Each of these must run at least as long as the cold start took
            # to show its window, or its check would prove nothing.
            longest_quiet = cold.first_seen or 0
            for name, what in (("gui", "GUI, warm"), ("console", "console, cold"),
                               ("no-window", "--no-progress-window, cold")):
                quiet = Watched(x, args.wine, launchers[name])
                print("%s: %.2f s" % (what, quiet.seconds))
                check(quiet.first_seen is None, what + ": no window (seen %s s after the start)"
                      % quiet.first_seen)
                quiet.check_child(what)
                if name != "gui":
                    check(quiet.seconds > longest_quiet, "%s: ran %.2f s, longer than the GUI "
                          "cold start took to show its window" % (what, quiet.seconds))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return outcome("the progress window is shown on a long cold start, and only there")


if __name__ == "__main__":
    sys.exit(main())
