#!/usr/bin/env python3
"""The GUI launcher's progress window as a user sees it: launchers of an
application of a few hundred MB run under Wine on an X server of their own
(Xvfb), watched from outside with xwininfo while they unpack.

- A cold start of the GUI launcher shows the window, titled with the product
  name; screenshots of it must show it painted and, later, changed as its
  bar moves; the application (window_lister) finds at most that one window
  when it starts (the launcher does not wait for it to close), and none is
  left once the launcher has ended.
- A cold start of a launcher packed with --splash shows the splash's pixels.
- A warm start of the GUI launcher, a cold start of the console launcher
  and one of a GUI launcher packed with --no-progress-window show none.
- Two GUI starts at once on an empty cache: one unpacks, the other waits
  for it; each shows its own window (told apart by the process that owns
  it), not over the other's, both end well, and every file is written once.

The artifacts folder keeps the first and last painted screenshots of the
window (progress-window.png, progress-window-last.png) and the first of
the splash window (splash-window.png).

usage: progress_window_test.py --pack TALLIX_PACK --runtime DIR --lister EXE
           --work DIR --artifacts DIR --wine WINE
The work folder (the application, the launchers and what they unpack, a
few hundred MB) is removed at the end.
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, os.path.join(HERE, "..", "clicks"))
from clicks_test import TemporaryWatch  # noqa: E402
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
# The splash: magenta, which nothing else on the screen is, with a
# transparent band across it.
SPLASH_SIZE = (200, 100)
SPLASH_BAND = range(40, 60)
MAGENTA = (255, 0, 255)
# xwininfo is asked this often while a launcher runs.
POLL_SECONDS = 0.05
# An X tool that has not answered by then is stuck.
X_TOOL_TIMEOUT_SECONDS = 10
# Screenshots taken while a window is up, at most.
SCREENSHOTS = 60
# A screenshot of icon, line and bar has hundreds of colours (smoothed
# text); a blank or single-coloured one has one or two.
MIN_SCREENSHOT_COLOURS = 16
# The X tools and the Debian packages that bring them (scripts/packages.txt).
X_TOOLS = {"Xvfb": "xvfb", "xwininfo": "x11-utils", "xprop": "x11-utils",
           "import": "imagemagick"}


def write_png(path, width, height, pixels, channels):
    """`pixels` (8-bit RGB or RGBA rows, top first) as a PNG file."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data)))
    stride = width * channels
    rows = b"".join(b"\0" + pixels[y * stride:(y + 1) * stride] for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 6 if channels == 4 else 2, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                  chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


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


def make_splash(path):
    width, height = SPLASH_SIZE
    opaque, clear = bytes(MAGENTA + (255,)) * width, bytes(4) * width
    write_png(path, width, height,
              b"".join(clear if y in SPLASH_BAND else opaque for y in range(height)), 4)


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


class Screenshot:
    """A part of the screen: its size and RGB rows, top first."""

    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        # "P6", width, height, "255", each followed by one blank.
        magic, width, height, rest = data.split(maxsplit=3)
        assert magic == b"P6" and rest[:4] == b"255\n", path
        self.width, self.height, self.pixels = int(width), int(height), rest[4:]

    def colours(self):
        return len({self.pixels[i:i + 3] for i in range(0, len(self.pixels), 3)})

    def count(self, colour):
        colour = bytes(colour)
        return sum(1 for i in range(0, len(self.pixels), 3) if self.pixels[i:i + 3] == colour)

    def save(self, path):
        write_png(path, self.width, self.height, self.pixels, 3)


class XServer:
    """Xvfb on the first free display, for the duration of a with block."""

    def __init__(self, work):
        self.capture = os.path.join(work, "capture.ppm")

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

    def screenshot(self, line):
        """The part of the screen that xwininfo's `line` places, or None.
        The root window is captured: a window that goes away meanwhile can
        make import wait with the server grabbed."""
        place = re.search(r"(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)", line)
        if place is None:
            return None
        crop = "%sx%s+%s+%s" % place.groups()
        if self.tool("import", "-window", "root", "-crop", crop, "-depth", "8",
                     self.capture).returncode != 0:
            return None
        return Screenshot(self.capture)

    def progress_windows(self):
        """xwininfo's lines of the windows titled with the product name, each
        with the Linux process id of the Wine process that owns it."""
        tree = self.tool("xwininfo", "-root", "-tree").stdout
        windows = []
        for line in tree.splitlines():
            if '"%s"' % PRODUCT in line:
                owner = self.tool("xprop", "-id", line.split()[0], "_NET_WM_PID").stdout
                pid = re.search(r"= (\d+)", owner)
                windows.append((line.strip(), int(pid[1]) if pid else None))
        return windows


class Start:
    """One launcher process and when its own window was first seen."""

    def __init__(self, x, wine, launcher):
        self.process = subprocess.Popen([wine, launcher], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=wine_environment({"DISPLAY": x.display}))
        self.first_seen = None  # seconds after the start
        self.line = None

    def finish(self, started):
        self.seconds = time.monotonic() - started
        out, err = self.process.communicate()
        self.status = self.process.returncode
        self.out = out.decode("utf-8", "replace").replace("\r\n", "\n")
        self.err = err.decode("utf-8", "replace")

    def report(self, what):
        print("%s: %.2f s, window %s" % (what, self.seconds, "from %.2f s: %s" % (
            self.first_seen, self.line) if self.first_seen is not None else "never seen"))

    def check_child(self, what):
        check_equal(self.status, 0, what + ": exit status")
        # The launcher starts it without waiting for its window to close.
        check(re.fullmatch("windows of its launcher titled '%s': [01]\n" % re.escape(PRODUCT),
                           self.out), what + ": what the application saw as it started",
              self.out)


class Watched:
    """Launchers started at once and run to their end while xwininfo watches
    the screen; with `shoot`, screenshots of a window are taken as long as
    one is up. `first_seen` and the like are the first launcher's."""

    def __init__(self, x, wine, *launchers, shoot=False):
        self.painted = []  # screenshots that show the window painted, in order
        taken = 0
        self.starts = [Start(x, wine, launcher) for launcher in launchers]
        started = time.monotonic()
        while any(start.process.poll() is None for start in self.starts):
            if time.monotonic() - started > WINE_TIMEOUT_SECONDS:
                for start in self.starts:
                    start.process.kill()
                break
            windows = x.progress_windows()
            for start in self.starts:
                own = [line for line, pid in windows if pid == start.process.pid]
                if own and start.first_seen is None:
                    start.first_seen, start.line = time.monotonic() - started, own[0]
            if windows and shoot and taken < SCREENSHOTS:
                # The first tries may meet the window not yet mapped, or
                # mapped and still blank.
                taken += 1
                shot = x.screenshot(windows[0][0])
                if shot is not None and shot.colours() >= MIN_SCREENSHOT_COLOURS:
                    self.painted.append(shot)
            time.sleep(POLL_SECONDS)
        for start in self.starts:
            start.finish(started)
        self.left_over = x.progress_windows()
        first = self.starts[0]
        self.first_seen, self.seconds, self.report = first.first_seen, first.seconds, first.report

    def check_child(self, what):
        for start in self.starts:
            start.check_child(what)
        check_equal(self.left_over, [], what + ": windows left after the launchers")


def check_shown(run, what, artifact):
    """The window was seen and painted; its first painted screenshot is kept."""
    run.report(what)
    check(run.first_seen is not None, what + ": the window is shown")
    run.check_child(what)
    check(run.painted, "%s: a screenshot shows the window painted (at least %d colours)"
          % (what, MIN_SCREENSHOT_COLOURS))
    if run.painted:
        run.painted[0].save(artifact)


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
    try:
        app = os.path.join(work, "app")
        make_application(app, args.lister)
        splash = os.path.join(work, "splash.png")
        make_splash(splash)
        launchers = {}
        for name, options in (("gui", ["--gui"]), ("splash", ["--gui", "--splash", splash]),
                              ("console", ["--console"]),
                              ("no-window", ["--gui", "--no-progress-window"])):
            launchers[name] = os.path.join(work, name + ".exe")
            pack(args, app, launchers[name], os.path.join(work, "cache-" + name), *options)
        shutil.rmtree(app)
        # Without a window manager, Wine waits up to 2 s for one at each
        # map and unmap of a window it lets a manager handle.
        subprocess.run([args.wine, "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v",
                        "Managed", "/d", "N", "/f"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        with XServer(work) as x:
            cold = Watched(x, args.wine, launchers["gui"], shoot=True)
            check_shown(cold, "GUI, cold", os.path.join(artifacts, "progress-window.png"))
            if cold.painted:
                cold.painted[-1].save(os.path.join(artifacts, "progress-window-last.png"))
            check(len({shot.pixels for shot in cold.painted}) > 1,
                  "GUI, cold: later screenshots show the window changed as the unpack went on")
            check(not any(shot.count(MAGENTA) for shot in cold.painted),
                  "GUI, cold: no splash in the default layout")

            drawn = Watched(x, args.wine, launchers["splash"], shoot=True)
            check_shown(drawn, "--splash, cold", os.path.join(artifacts, "splash-window.png"))
            opaque = SPLASH_SIZE[0] * (SPLASH_SIZE[1] - len(SPLASH_BAND))
            check(any(shot.count(MAGENTA) == opaque for shot in drawn.painted),
                  "--splash, cold: the splash's %d opaque pixels are drawn" % opaque)

            # Each of these must run at least as long as the cold start took
            # to show its window, or its check would prove nothing.
            for name, what in (("gui", "GUI, warm"), ("console", "console, cold"),
                               ("no-window", "--no-progress-window, cold")):
                quiet = Watched(x, args.wine, launchers[name])
                quiet.report(what)
                check(quiet.first_seen is None, what + ": no window")
                quiet.check_child(what)
                if name != "gui":
                    check(quiet.seconds > (cold.first_seen or 0),
                          "%s: ran %.2f s, longer than the GUI cold start took to show its "
                          "window" % (what, quiet.seconds))

            cache = os.path.join(work, "cache-gui")
            shutil.rmtree(cache)
            os.makedirs(cache)
            watch = TemporaryWatch(cache)
            both = Watched(x, args.wine, launchers["gui"], launchers["gui"])
            watch.stop()
            what = "two GUI starts at once, cold"
            for number, start in enumerate(both.starts):
                start.report("%s, start %d" % (what, number + 1))
                check(start.first_seen is not None,
                      "%s: start %d shows its own window" % (what, number + 1))
            both.check_child(what)
            places = [re.search(r"\+(-?\d+)\+(-?\d+)$", start.line or "") for start in both.starts]
            check(all(places) and places[0].groups() != places[1].groups(),
                  what + ": the windows are not one over the other",
                  "\n".join(str(start.line) for start in both.starts))
            writers = watch.writers()
            check_equal((len(writers), sum(writers.values())), (1, FOLDERS * FILES_PER_FOLDER + 1),
                        what + ": the starts that wrote files, and the files written")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return outcome("the progress window is shown on a long cold start, and only there")


if __name__ == "__main__":
    sys.exit(main())
