#!/usr/bin/env python3
"""Packs an application directory with chosen names and versions, then reads
the launcher back with `tallix-pack inspect`: the template and version
strings, each file's size and CRC-32, the totals, and an extraction that
equals the original directory."""
import argparse
import filecmp
import os
import random
import re
import struct
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from wine_test_support import check, fresh_directory, outcome, run  # noqa: E402


def console_program_headers():
    """What the packer checks of a main program: PE headers of an x86-64
    console program (optional header magic 0x20B, subsystem 3 at 68)."""
    optional = bytearray(240)
    struct.pack_into("<H", optional, 0, 0x20B)
    struct.pack_into("<H", optional, 68, 3)
    return (b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40) + b"PE\0\0"
            + struct.pack("<HHIIIHH", 0x8664, 0, 0, 0, 0, len(optional), 0x22) + bytes(optional))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pack", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()

    fresh_directory(args.work)
    app = os.path.join(args.work, "app")
    files = {
        "main.exe": console_program_headers() + bytes(4000),
        "empty.dat": b"",
        "lib/r\u00e9sum\u00e9.txt": "d\u00e9j\u00e0 vu\n".encode(),
        # Several zstd blocks, most of them stored raw.
        "lib/deep/random.bin": random.Random(3).randbytes(3 << 20),
    }
    for name, content in files.items():
        path = os.path.join(app, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)

    exe = os.path.join(args.work, "Inspected.exe")
    template = "{CACHE_DIR}\\\u00dcml\u00e4ut Works\\{PRODUCT}-{VERSION}"
    result = run(
        [args.pack, "pack", app, "-o", exe, "--quiet", "--main", "main.exe",
         "--template", template, "--company", "\u00dcml\u00e4ut Works", "--product", "Inspected",
         "--app-version", "2.5.1", "--file-version", "2.5.1.7", "--product-version", "3.0"])
    if result.returncode != 0:
        print(result.stderr, file=sys.stderr)
        return 1

    def inspect(*options):
        return run([args.pack, "inspect", exe, *options])

    result = inspect()
    out = result.stdout
    check(result.returncode == 0 and result.stderr == "", "inspect succeeds", result.stderr)
    for line in (f"Template:         {template}",
                 "Company:          \u00dcml\u00e4ut Works",
                 "Product:          Inspected",
                 "Version:          2.5.1",
                 "File version:     2.5.1.7",
                 "Product version:  3.0",
                 "  FileVersion       2.5.1.7",
                 "  ProductVersion    3.0.0.0",
                 "  OriginalFilename  Inspected.exe",
                 "Subsystem:        console (3)",  # the main program's own
                 "Signed:           no",
                 "Icon sizes:       16, 24, 32, 48, 64, 128, 256 px",
                 '  <assemblyIdentity type="win32" name="Inspected" version="2.5.1.7"/>'):
        check(line + "\n" in out, f"inspect shows '{line}'", out)

    # Every file with its size and stored CRC-32, the main program first.
    listed = [m.groups() for m in re.finditer(r"^ *(\d+)  ([0-9a-f]{8})  (.+)$", out, re.M)]
    names = [name for _, _, name in listed]
    check(names and names[0] == "main.exe", "the main program is listed first", out)
    check(sorted(names) == sorted(n.replace("/", "\\") for n in files),
          "every file is listed once", out)
    for size, crc, name in listed:
        content = files[name.replace("\\", "/")]
        expected = zlib.crc32(content) or 1
        check(int(size) == len(content) and int(crc, 16) == expected,
              f"size and CRC-32 of {name}", f"{size} {crc}")
    total = sum(len(c) for c in files.values())
    check(f"{len(files)} files, {total} bytes; compressed " in out, "the totals line", out)

    result = inspect("--verify")
    check(result.returncode == 0 and "Verified: every CRC-32 matches" in result.stdout,
          "inspect --verify passes", result.stdout + result.stderr)

    target = os.path.join(args.work, "extracted")
    result = inspect("--extract", target)
    check(result.returncode == 0, "inspect --extract succeeds", result.stderr)
    comparison = filecmp.dircmp(app, target)

    def same(c):
        return (not c.left_only and not c.right_only and not c.diff_files and not c.funny_files
                and all(same(sub) for sub in c.subdirs.values()))

    for name in files:
        check(filecmp.cmp(os.path.join(app, name), os.path.join(target, name), shallow=False),
              f"extracted {name} is identical")
    check(same(comparison), "the extracted tree equals the application directory")

    return outcome("inspect reads packed launchers back")


if __name__ == "__main__":
    sys.exit(main())
