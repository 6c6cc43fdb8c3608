#!/usr/bin/env python3
"""Configures and builds a copy of examples/cmake-project against the
installed package, and checks that the packed executable is rebuilt exactly
when one of its inputs changes."""
import argparse
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from wine_test_support import check, fresh_directory, outcome, run, run_windows  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    for option in ("example", "prefix", "toolchain", "generator", "cmake", "wine", "work"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()

    fresh_directory(args.work)
    source = os.path.join(args.work, "src")
    build = os.path.join(args.work, "build")
    shutil.copytree(args.example, source)
    exe = os.path.join(build, "hello-onefile.exe")

    def cmake(*arguments):
        result = run([args.cmake, *arguments])
        return result.returncode, result.stdout + result.stderr

    def build_once():
        status, output = cmake("--build", build)
        if status != 0:
            print(output, file=sys.stderr)
            raise SystemExit("the example does not build")
        return "Packing hello-onefile" in output

    def run_packed():
        result = run_windows(exe, "x", wine=args.wine)
        return result.status, result.out

    def later(path):
        # Now, but past the file system's coarse clock tick of the last pack.
        time.sleep(0.1)
        os.utime(path)

    status, output = cmake("-S", source, "-B", build, "-G", args.generator,
                           "-DCMAKE_TOOLCHAIN_FILE=" + args.toolchain,
                           "-DCMAKE_PREFIX_PATH=" + os.path.abspath(args.prefix))
    if status != 0:
        print(output, file=sys.stderr)
        return 1

    check(build_once(), "the first build packs")
    check(os.path.isfile(exe), "the first build writes hello-onefile.exe")
    first = os.stat(exe).st_mtime_ns
    check(not build_once(), "a build without changes does not pack again")
    check(os.stat(exe).st_mtime_ns == first, "a build without changes leaves the exe alone")

    status, output = run_packed()
    check(status == 0 and "Hello from a single-file application!" in output
          and "with 1 argument(s)" in output, "the packed example runs", output)

    # A data file only the packer's depfile knows about.
    later(os.path.join(build, "app", "data", "greeting.txt"))
    check(build_once(), "touching a packed data file packs again")
    second = os.stat(exe).st_mtime_ns
    check(second != first, "the re-pack rewrites the exe")
    check(not build_once(), "and the next build is quiet again")

    # A file new to the application directory is found through its folder.
    with open(os.path.join(build, "app", "data", "added.txt"), "w") as added:
        added.write("new\n")
    later(os.path.join(build, "app", "data"))
    check(build_once(), "a file added to the application directory packs again")
    check(not build_once(), "and the build after it is quiet")

    # A changed source: the program is rebuilt, then packed again.
    later(os.path.join(source, "app-src", "hello.c"))
    check(build_once(), "a rebuilt program is packed again")
    check(os.stat(exe).st_mtime_ns != second, "the exe changes after the program does")

    # New content travels all the way into the packed application.
    with open(os.path.join(source, "app-src", "greeting.txt"), "w") as greeting:
        greeting.write("Changed greeting\n")
    later(os.path.join(source, "app-src", "greeting.txt"))
    check(build_once(), "a changed data source is packed again")
    status, output = run_packed()
    check(status == 0 and "Changed greeting" in output, "the new data file is in the exe",
          output)
    check(not build_once(), "the last build is quiet")

    return outcome("the example project builds and re-packs exactly when it should")


if __name__ == "__main__":
    sys.exit(main())
