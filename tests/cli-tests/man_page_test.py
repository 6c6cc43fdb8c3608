#!/usr/bin/env python3
"""The manual page the build writes names every option of every command's
--help and renders without a groff warning."""
import argparse
import os
import re
import subprocess
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--page", required=True)
    args = parser.parse_args()
    page = open(args.page).read()
    top = subprocess.run([args.tool, "--help"], capture_output=True, text=True).stdout
    commands = re.findall(r"^  (\w+) ", top.split("commands:\n", 1)[1], re.MULTILINE)
    missing = []
    for command in commands:
        usage = subprocess.run([args.tool, command, "--help"], capture_output=True,
                               text=True).stdout
        for option in re.findall(r"^  (?:-\w, )?(--[\w-]+)", usage, re.MULTILINE):
            if "\\fB" + option.replace("-", "\\-") + "\\fR" not in page:
                missing.append(f"{command} {option}")
    rendered = subprocess.run(["man", "--warnings", "-l", args.page], capture_output=True,
                              text=True, env=dict(os.environ, MANWIDTH="80"))
    failures = []
    if len(commands) < 3 or missing:
        failures.append(f"commands {commands}; options missing from the page: {missing}")
    if rendered.returncode != 0 or rendered.stderr.strip():
        failures.append(f"man -l: status {rendered.returncode}, {rendered.stderr.strip()!r}")
    if "TALLIX-PACK INSPECT" not in rendered.stdout:
        failures.append("the rendered page lacks the inspect section")
    print("\n".join(failures) or "ok")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
