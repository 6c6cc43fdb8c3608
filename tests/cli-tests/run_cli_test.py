#!/usr/bin/env python3
"""Runs one golden test of the tallix-pack command line.

A case is a bash script cases/NAME.sh, run in a fresh temporary directory
with `tallix-pack` first on PATH and the helpers of common.sh loaded. Beside
it lie the expectations:
  NAME.sh.exit            the script's exit status (default 0)
  NAME.sh.stderr.exact    its standard error, exactly
  NAME.sh.stdout.exact    its standard output, exactly (optional)
In the actual output the temporary directory's path is replaced by {TMP}
before the comparison. A case that cannot run here calls `skip REASON`
(exit status 77, which CTest reports as skipped).

To add a case, drop NAME.sh and its expectations into cases/; CTest picks
it up at the next configure. With --update the expectations are rewritten
from what the case printed (review the diff before committing)."""
import argparse
import difflib
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

SKIPPED = 77
HERE = pathlib.Path(__file__).resolve().parent


def compare(label, expected, actual):
    if expected == actual:
        return True
    sys.stdout.write(f"--- {label} differs (expected, actual):\n")
    sys.stdout.writelines(difflib.unified_diff(
        expected.splitlines(keepends=True), actual.splitlines(keepends=True),
        "expected", "actual"))
    sys.stdout.write("\n")
    return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tallix-pack", required=True, type=pathlib.Path)
    parser.add_argument("--update", action="store_true")
    parser.add_argument("case", type=pathlib.Path)
    args = parser.parse_args()
    case = args.case.resolve()

    work = pathlib.Path(tempfile.mkdtemp(prefix="tallix-cli-"))
    try:
        # Cases may drop privileges (see common.sh); let them in.
        os.chmod(work, 0o755)
        bin_dir = work / ".bin"
        bin_dir.mkdir()
        (bin_dir / "tallix-pack").symlink_to(args.tallix_pack.resolve())
        env = dict(os.environ)
        env["PATH"] = f"{bin_dir}{os.pathsep}{env.get('PATH', '')}"
        env["LC_ALL"] = "C.UTF-8"
        env["CLI_TESTS"] = str(HERE)
        result = subprocess.run(
            ["bash", "-c", 'set -u; source "$CLI_TESTS/common.sh"; source "$1"', "case", str(case)],
            cwd=work, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    def clean(data):
        return data.decode("utf-8", "replace").replace(str(work), "{TMP}")

    stdout, stderr = clean(result.stdout), clean(result.stderr)
    if result.returncode == SKIPPED:
        print(f"skipped: {stdout.strip()}")
        return SKIPPED

    expectations = {
        "exit": (case.with_name(case.name + ".exit"), f"{result.returncode}\n"),
        "stderr": (case.with_name(case.name + ".stderr.exact"), stderr),
        "stdout": (case.with_name(case.name + ".stdout.exact"), stdout),
    }
    if args.update:
        for label, (path, actual) in expectations.items():
            if label != "stdout" or actual or path.exists():
                path.write_text(actual)
        return 0

    ok = True
    for label, (path, actual) in expectations.items():
        if path.exists():
            expected = path.read_text()
        elif label == "exit":
            expected = "0\n"
        elif label == "stderr":
            expected = ""
        else:
            continue  # stdout is only compared when it is given
        ok = compare(label, expected, actual) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
