#!/usr/bin/env python3
"""cpack -G DEB in the host tree, dpkg-deb -x into a temporary root, its manual
page and copyright file, and a pack with the packer from there:
PATH=/nonexistent, so no tool of this machine is used, and the launcher must
run under Wine."""
import argparse
import gzip
import os
import pathlib
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from wine_test_support import (check, check_equal, fresh_directory, outcome, run,  # noqa: E402
                               run_windows_started)


def main():
    parser = argparse.ArgumentParser()
    for option in ["host-build", "cpack", "example-app", "wine", "work"]:
        parser.add_argument("--" + option, type=pathlib.Path, required=True)
    args = parser.parse_args()
    work = fresh_directory(args.work)

    made = run([args.cpack, "-G", "DEB", "-B", work / "deb"], cwd=args.host_build)
    check_equal(made.returncode, 0, f"cpack status ({made.stdout}{made.stderr})")
    debs = sorted((work / "deb").glob("tallix-onefile_*.deb"))
    check_equal(len(debs), 1, "one package")
    if not debs:
        return outcome("")
    fields = run(["dpkg-deb", "-f", debs[0], "Depends"]).stdout
    check("libzstd1" in fields and "libstdc++6" in fields, f"dependencies declared: {fields!r}")

    # Relocated: anywhere but /usr, as dpkg-deb -x leaves it.
    root = work / "root"
    check_equal(run(["dpkg-deb", "-x", debs[0], root]).returncode, 0, "dpkg-deb -x")
    man = root / "usr" / "share" / "man" / "man1" / "tallix-pack.1.gz"
    check(man.is_file() and gzip.decompress(man.read_bytes()).startswith(b".TH TALLIX"),
          "the manual page, compressed")
    copyright_file = root / "usr" / "share" / "doc" / "tallix-onefile" / "copyright"
    check(copyright_file.is_file() and copyright_file.read_text().startswith("Format: "),
          "the copyright file, machine-readable")
    packer = root / "usr" / "bin" / "tallix-pack"
    launcher = work / "Halvory-Quin.exe"
    packed = run([packer, "pack", args.example_app, "-o", launcher, "--quiet",
                  "--template", "{TEMP}\\tallix-package-test"],
                 env=dict(os.environ, PATH="/nonexistent"))
    check_equal(packed.returncode, 0, f"pack from the unpacked package ({packed.stderr})")
    ran = run_windows_started(launcher, "--exit", "9", wine=args.wine)
    check_equal(ran.status, 9, f"the launcher's exit status ({ran.err!r})")
    check("Hello from Halvory-Quin" in ran.out, f"the application ran: {ran.out!r}")
    return outcome("ok")


if __name__ == "__main__":
    sys.exit(main())
