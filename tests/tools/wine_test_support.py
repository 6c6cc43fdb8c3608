"""What the Python drivers of the Windows tests share: running a Windows
program under Wine, running host tools, Windows paths, scratch directories,
and checks that are collected so one run reports every failure.

Drivers import it after putting this folder on sys.path:

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                    "..", "..", "tools"))
"""
import os
import pathlib
import shutil
import subprocess
import sys
from dataclasses import dataclass

# msvcrt's abort() ends a process with this status under Wine.
ABORT_STATUS = 3

# A Windows program that neither ends nor fails within this is hung.
WINE_TIMEOUT_SECONDS = 120


# Under heavy load Wine now and then fails to create a process (error 1359,
# an internal error) before any of its code runs; a launcher reports this.
CHILD_NOT_CREATED = b"Error, couldn't launch child ([Error 1359] "


@dataclass
class WindowsRun:
    """A finished Windows program: its status and the bytes it wrote."""

    status: int
    stdout: bytes
    stderr: bytes

    @property
    def out(self):
        return text(self.stdout)

    @property
    def err(self):
        return text(self.stderr)


def text(stream):
    # msvcrt writes text-mode streams with CRLF line ends.
    return stream.decode("utf-8", "replace").replace("\r\n", "\n")


def wine_environment(extra=None):
    """This environment, so the WINEPREFIX the runner's wineserver uses is
    inherited; Wine's own diagnostics stay quiet unless WINEDEBUG is set."""
    environment = dict(os.environ)
    environment.setdefault("WINEDEBUG", "-all")
    environment.update(extra or {})
    return environment


def run_windows(program, *arguments, wine="wine", env=None, timeout=WINE_TIMEOUT_SECONDS):
    """Runs `program` under `wine` (or a wrapper script such as wine-run)
    with no standard input; `env` adds to the inherited environment."""
    completed = subprocess.run([str(wine), str(program), *map(str, arguments)],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=wine_environment(env),
                               timeout=timeout, check=False)
    return WindowsRun(completed.returncode, completed.stdout, completed.stderr)


def run_windows_started(program, *arguments, **kwargs):
    """run_windows, made once more when Wine failed to create the launcher's
    child: the launcher's own work was done, and the start is not the
    application's."""
    result = run_windows(program, *arguments, **kwargs)
    if result.status == 2 and result.stderr.startswith(CHILD_NOT_CREATED):
        print("made again: %r" % result.err, file=sys.stderr)
        result = run_windows(program, *arguments, **kwargs)
    return result


def run(command, **kwargs):
    """Runs a host tool and captures its output as text."""
    return subprocess.run([str(part) for part in command], capture_output=True, text=True,
                          **kwargs)


def windows_path(path):
    """The path under Wine's Z: drive, which maps the Linux root."""
    return "Z:" + str(pathlib.Path(path).resolve()).replace("/", "\\")


def file_tree(root):
    """Relative path -> bytes of every file below `root` (links followed)."""
    files = {}
    for directory, _, names in os.walk(root):
        for name in names:
            path = os.path.join(directory, name)
            with open(path, "rb") as f:
                files[os.path.relpath(path, root)] = f.read()
    return files


def fresh_directory(path):
    """An empty directory at `path`, whatever an earlier run left there."""
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


failures = []


def check(condition, what, detail=""):
    """Records a failed check and carries on."""
    if not condition:
        failures.append(what)
        print(f"FAIL: {what}\n{detail}", file=sys.stderr)


def check_equal(actual, expected, what):
    check(actual == expected, f"{what}: expected {expected!r}, got {actual!r}")


def outcome(success_message):
    """The driver's exit status after a summary line: 1 if any check failed."""
    if failures:
        print(f"{len(failures)} check(s) failed", file=sys.stderr)
        return 1
    print(success_message)
    return 0
