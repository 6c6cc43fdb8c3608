#!/usr/bin/env python3
"""Damaged launchers: one packed launcher, then a table of copies with a bit
flipped or the file cut in what the launcher reads of its own image before it
writes (the constants section's header, entry table, strings, leading
arguments, launch options and index, the block's magic, frame header and
trailer), in its section table and at chosen lengths.

Each copy is started under Wine from an empty folder, its cache folder beside
it, and read by `tallix-pack inspect --verify`. The launcher either refuses
with status 2 before it writes anything, or is not loaded at all, or starts
the application with the right files and arguments; inspect reports damage
(status 1) exactly when the launcher does not start. Rows marked
WINE_LOADS are images that break a rule of the PE layout inspect checks and
that Wine's loader takes anyway: there the launcher under Wine starts.
"""
import argparse
import collections
import json
import os
import random
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from wine_test_support import (WINE_TIMEOUT_SECONDS, WindowsRun, check,  # noqa: E402
                               check_equal, file_tree, fresh_directory, outcome, run,
                               wine_environment)

CHILD_EXIT_CODE = 7
HEADER_ERROR = "Error, couldn't find attached data header.\n"
LEADING_ARGUMENTS = ["--first", "two words"]
TEMPLATE = "{PROGRAM_DIR}\\cache\\{PRODUCT}-{VERSION}"
TARGET = os.path.join("cache", "Integrity-1.2.3")
FOLDER_MARKER = ".tallix-onefile-folder"

# What the launcher does with a damaged copy.
RUNS = "runs"              # the application, with every file exact
REFUSED = "refused"        # status 2 with HEADER_ERROR, nothing written
NOT_LOADED = "not loaded"  # Wine's loader refuses the image, nothing written
# Wine's loader takes an image that inspect calls damaged by the loader's
# rules (a section past the end of the file, sections out of order).
WINE_LOADS = True

# Constant ids (format/constants_section.h).
TEMPLATE_ID, COMPANY, PRODUCT, VERSION, FILE_VERSION, PRODUCT_VERSION = 1, 2, 3, 4, 5, 6
ATTACHED_DATA, PAYLOAD_INDEX, LEADING_ARGUMENTS_ID, LAUNCH_OPTIONS = 7, 8, 9, 10
SECTION_ENTRY = 40


def application(root):
    files = {
        "empty.txt": b"",
        "readme.txt": b"An application to damage.\n" * 30,
        "data/random.bin": random.Random(11).randbytes(120000),
        "data/deep/notes.txt": b"notes\n" * 200,
    }
    for name, content in files.items():
        os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
        with open(os.path.join(root, name), "wb") as f:
            f.write(content)


class Layout:
    """Where things are in the packed launcher, found as its readers find
    them: the section table, then the constants section's entries."""

    def __init__(self, data):
        self.size = len(data)
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        count = struct.unpack_from("<H", data, pe + 6)[0]
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        self.optional = pe + 24
        self.section_count = pe + 6
        self.size_of_image = self.optional + 56
        self.image_size = struct.unpack_from("<I", data, self.size_of_image)[0]
        self.size_of_headers = self.optional + 60
        self.table = self.optional + optional_size
        self.sections = {}
        for i in range(count):
            at = self.table + i * SECTION_ENTRY
            name = data[at:at + 8].rstrip(b"\0").decode()
            vsize, va, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
            self.sections[name] = dict(entry=at, vsize=vsize, va=va, raw_size=raw_size, raw=raw)
        tallix = self.sections[".tallix"]
        self.start = start = tallix["raw"]
        assert data[start:start + 8] == b"TLXCONST"
        self.entries = {}
        for i in range(struct.unpack_from("<I", data, start + 12)[0]):
            at = start + 24 + 24 * i
            ident, _, offset, size = struct.unpack_from("<IIQQ", data, at)
            self.entries[ident] = dict(entry=at, at=start + offset, size=size)
        self.content_end = start + tallix["vsize"]
        self.block = self.entries[ATTACHED_DATA]["at"]
        self.trailer = self.block + self.entries[ATTACHED_DATA]["size"] - 8
        descriptor = data[self.block + 7]
        self.frame_header = (4 + 1 + (0 if descriptor & 0x20 else 1) + (0, 1, 2, 4)[descriptor & 3]
                             + (0 if descriptor >> 6 == 0 and descriptor & 0x20 == 0
                                else (1, 2, 4, 8)[descriptor >> 6]))
        options = self.entries[LAUNCH_OPTIONS]
        self.padding = options["at"] + options["size"]
        assert self.padding < self.block and not any(data[self.padding:self.block])
        self.index = self.entries[PAYLOAD_INDEX]["at"]

    def data_of(self, ident):
        return self.entries[ident]["at"]


def flip(where, mask=0x01):
    def damage(data, layout):
        data[where(layout)] ^= mask
        return data
    return damage


def put32(where, value):
    def damage(data, layout):
        struct.pack_into("<I", data, where(layout), value(layout))
        return data
    return damage


def put16(where, value):
    def damage(data, layout):
        struct.pack_into("<H", data, where(layout), value(layout))
        return data
    return damage


def gap_before_rsrc(data, layout):
    """.rsrc a page further on, SizeOfImage grown to hold it."""
    rsrc = layout.sections[".rsrc"]
    struct.pack_into("<I", data, rsrc["entry"] + 12, rsrc["va"] + 0x1000)
    struct.pack_into("<I", data, layout.size_of_image, layout.image_size + 0x1000)
    return data


def cut(length):
    return lambda data, layout: data[:length(layout)]


def rows():
    """(case, damage, launcher outcome, inspect status, inspect message
    fragment, Windows refuses what Wine loads)."""
    checksum = "its constants fail their checksum"
    past = "reaches past its section"
    short = "it is cut short"
    e = lambda ident, field: lambda L: L.entries[ident]["entry"] + field  # noqa: E731
    d = lambda ident, offset=0: lambda L: L.data_of(ident) + offset  # noqa: E731
    t = lambda name, field: lambda L: L.sections[name]["entry"] + field  # noqa: E731
    return [
        ("header: magic", flip(lambda L: L.start), REFUSED, 1, "holds no constants table"),
        ("header: format 1, the one without a checksum",
         put32(lambda L: L.start + 8, lambda L: 1), REFUSED, 1, "of format 1, not 2"),
        ("header: format 3", flip(lambda L: L.start + 8), REFUSED, 1, "of format 3, not 2"),
        ("header: one entry more", flip(lambda L: L.start + 12, 0x01), REFUSED, 1, past),
        ("header: two entries fewer", flip(lambda L: L.start + 12, 0x02), REFUSED, 1, checksum),
        ("header: its CRC field", flip(lambda L: L.start + 17, 0x10), REFUSED, 1, checksum),
        ("header: its reserved word", flip(lambda L: L.start + 20), REFUSED, 1, checksum),
        ("entries: an id", flip(e(TEMPLATE_ID, 0), 0x08), REFUSED, 1, checksum),
        ("entries: a reserved word", flip(e(COMPANY, 4)), REFUSED, 1, checksum),
        ("entries: the template's offset", flip(e(TEMPLATE_ID, 8), 0x02), REFUSED, 1, checksum),
        ("entries: the template's size", flip(e(TEMPLATE_ID, 16), 0x02), REFUSED, 1, checksum),
        ("entries: an offset far out", flip(e(PRODUCT, 15), 0x80), REFUSED, 1, past),
        ("entries: the block's size", flip(e(ATTACHED_DATA, 16), 0x08), REFUSED, 1, checksum),
        ("entries: the index's offset", flip(e(PAYLOAD_INDEX, 8), 0x04), REFUSED, 1, past),
        ("template: '{' becomes 'z'", flip(d(TEMPLATE_ID), 0x01), REFUSED, 1, checksum),
        ("template: '{' becomes ';'", flip(d(TEMPLATE_ID), 0x40), REFUSED, 1, checksum),
        ("template: a high byte", flip(d(TEMPLATE_ID, 3), 0x20), REFUSED, 1, checksum),
        ("template: its terminator", flip(lambda L: L.data_of(TEMPLATE_ID)
                                          + L.entries[TEMPLATE_ID]["size"] - 2, 0x41),
         REFUSED, 1, checksum),
        ("company", flip(d(COMPANY, 2), 0x04), REFUSED, 1, checksum),
        ("product", flip(d(PRODUCT), 0x02), REFUSED, 1, checksum),
        ("version", flip(d(VERSION), 0x01), REFUSED, 1, checksum),
        ("file version", flip(d(FILE_VERSION, 2), 0x01), REFUSED, 1, checksum),
        ("product version", flip(d(PRODUCT_VERSION, 4), 0x01), REFUSED, 1, checksum),
        ("leading arguments: a character", flip(d(LEADING_ARGUMENTS_ID, 4), 0x20),
         REFUSED, 1, checksum),
        ("leading arguments: the terminator between two",
         flip(d(LEADING_ARGUMENTS_ID, 2 * len(LEADING_ARGUMENTS[0])), 0x20), REFUSED, 1, checksum),
        ("launch options: clean old versions", flip(d(LAUNCH_OPTIONS), 0x01), REFUSED, 1,
         checksum),
        ("launch options: kill the child", flip(d(LAUNCH_OPTIONS), 0x02), REFUSED, 1, checksum),
        ("launch options: an unknown bit", flip(d(LAUNCH_OPTIONS, 3), 0x80), REFUSED, 1,
         checksum),
        ("index: its magic", flip(d(PAYLOAD_INDEX)), REFUSED, 1, checksum),
        ("index: its entry count", flip(d(PAYLOAD_INDEX, 4)), REFUSED, 1, checksum),
        ("index: its frame count", flip(d(PAYLOAD_INDEX, 8)), REFUSED, 1, checksum),
        ("index: its own CRC", flip(d(PAYLOAD_INDEX, 12)), REFUSED, 1, checksum),
        ("index: a file's CRC", flip(d(PAYLOAD_INDEX, 16 + 8)), REFUSED, 1, checksum),
        ("index: a name", flip(lambda L: L.content_end - 2), REFUSED, 1, checksum),
        ("block: its magic", flip(lambda L: L.block), REFUSED, 1, checksum),
        ("frame: the zstd magic", flip(lambda L: L.block + 3), REFUSED, 1, checksum),
        ("frame: its content checksum flag", flip(lambda L: L.block + 7, 0x04), REFUSED, 1,
         checksum),
        ("frame: its window size", flip(lambda L: L.block + 8, 0x08), REFUSED, 1, checksum),
        ("frame: the first block header", flip(lambda L: L.block + 3 + L.frame_header, 0x02),
         REFUSED, 1, checksum),
        ("trailer: low byte", flip(lambda L: L.trailer, 0x08), REFUSED, 1, checksum),
        ("trailer: high byte", flip(lambda L: L.trailer + 7, 0x80), REFUSED, 1, checksum),
        ("padding before the block, read by nobody", flip(lambda L: L.padding), RUNS, 0, ""),
        (".tallix: its name", flip(t(".tallix", 3)), REFUSED, 1, "is called '.tamlix'"),
        (".tallix: its virtual size", flip(t(".tallix", 8)), REFUSED, 1, checksum),
        (".tallix: its virtual size far out", flip(t(".tallix", 11), 0x10), NOT_LOADED, 1,
         "starts inside the one before"),
        (".tallix: its address, over .reloc", put32(t(".tallix", 12), lambda L: L.sections[
            ".tallix"]["va"] - 0x1000), REFUSED, 1, "starts inside the one before"),
        (".tallix: its raw size", flip(t(".tallix", 17), 0x02), REFUSED, 1,
         "starts inside the one before"),
        (".tallix: its raw offset", flip(t(".tallix", 21), 0x02), REFUSED, 1,
         "holds no constants table"),
        # IMAGE_SCN_MEM_READ cleared: reading the section would fault.
        (".tallix: not readable", flip(t(".tallix", 39), 0x40), REFUSED, 1, checksum),
        (".rsrc: raw size past the end of the file", put32(t(".rsrc", 16), lambda L: L.sections[
            ".rsrc"]["raw_size"] + 0x100000), RUNS, 1, short, WINE_LOADS),
        # Mapped over the last page of .tallix, which holds the index.
        (".rsrc: its address over the end of .tallix", put32(t(".rsrc", 12), lambda L: L.sections[
            ".rsrc"]["va"] - 0x1000), REFUSED, 1, "starts inside the one before"),
        (".rsrc: a gap before it", gap_before_rsrc, RUNS, 1,
         "does not start where the one before ends", WINE_LOADS),
        (".rsrc: past SizeOfImage", put32(t(".rsrc", 8), lambda L: L.sections[".rsrc"]["vsize"]
                                          + 0x1000), NOT_LOADED, 1, "SizeOfImage"),
        ("headers: SizeOfImage a page short",
         put32(lambda L: L.size_of_image, lambda L: L.image_size - 0x1000), NOT_LOADED, 1,
         "SizeOfImage"),
        (".text: its name", flip(t(".text", 2)), RUNS, 0, ""),
        ("headers: one section less (.rsrc)",
         put16(lambda L: L.section_count, lambda L: len(L.sections) - 1), RUNS, 0, ""),
        ("headers: one section more (all zeros)",
         put16(lambda L: L.section_count, lambda L: len(L.sections) + 1), RUNS, 1,
         "starts inside the one before", WINE_LOADS),
        ("headers: SizeOfHeaders below the section table",
         put32(lambda L: L.size_of_headers, lambda L: 0x200), RUNS, 1,
         "the section table runs past the end of the headers", WINE_LOADS),
        ("cut inside the optional header", cut(lambda L: L.optional + 40), NOT_LOADED, 1,
         "damaged PE headers"),
        ("cut inside the section table", cut(lambda L: L.table + 50), NOT_LOADED, 1,
         "damaged PE headers"),
        ("cut after the section table", cut(lambda L: L.table + 40 * len(L.sections) + 8),
         NOT_LOADED, 1, short),
        ("cut inside .text", cut(lambda L: L.sections[".text"]["raw"] + 4096), NOT_LOADED, 1,
         short),
        ("cut inside the constants", cut(lambda L: L.data_of(PRODUCT)), NOT_LOADED, 1, short),
        ("cut inside the frame", cut(lambda L: (L.block + L.trailer) // 2), NOT_LOADED, 1, short),
        ("cut inside the index", cut(lambda L: L.index + 6), NOT_LOADED, 1, short),
        ("cut after .tallix's content", cut(lambda L: L.content_end), NOT_LOADED, 1, short),
        ("cut inside .rsrc", cut(lambda L: L.sections[".rsrc"]["raw"] + 100), NOT_LOADED, 1,
         short),
        # Wine wants only the bytes up to a section's virtual size in the file.
        ("the last byte cut, inside .rsrc's padding", cut(lambda L: L.size - 1), RUNS, 1, short,
         WINE_LOADS),
    ]


def listing(root):
    """Every path below `root`, folders included."""
    paths = []
    for directory, folders, files in os.walk(root):
        paths += [os.path.relpath(os.path.join(directory, n), root) for n in folders + files]
    return sorted(paths)


def start(launcher, cwd):
    """Runs `launcher` under Wine from the folder `cwd`."""
    done = subprocess.run(["wine", launcher], cwd=cwd, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=WINE_TIMEOUT_SECONDS,
                          env=wine_environment({"REPORTER_EXIT_CODE": str(CHILD_EXIT_CODE)}))
    return WindowsRun(done.returncode, done.stdout, done.stderr)


def launcher_outcome(scratch, app, result):
    """RUNS, REFUSED or NOT_LOADED when the start is one of them (checked
    in full), else a description of what happened instead."""
    cwd = os.path.join(scratch, "cwd")
    if listing(cwd):
        return "wrote into the current folder: %s" % listing(cwd)
    if result.status == CHILD_EXIT_CODE:
        report = json.loads(result.out.splitlines()[0]) if result.out else {}
        tree = file_tree(os.path.join(scratch, TARGET))
        tree.pop(FOLDER_MARKER, None)
        if report.get("argv", [])[1:] != LEADING_ARGUMENTS or tree != file_tree(app):
            return "started with wrong arguments or files: %s" % result.out
        return RUNS
    if listing(scratch) != ["app.exe", "cwd"]:
        return "status %d, left %s" % (result.status, listing(scratch))
    if (result.status, result.out, result.err) == (2, HEADER_ERROR, ""):
        return REFUSED
    # The launcher never ends with status 1. Wine, refusing the image, does,
    # after trying to open the file as a document, which may print why.
    wine_refusal = result.out == "" or result.out.startswith("Application could not be started")
    if result.status == 1 and wine_refusal:
        return NOT_LOADED
    return "status %d: %r %r" % (result.status, result.out, result.err)


def parse_arguments():
    """The packer, runtime, reporter and an emptied work folder."""
    parser = argparse.ArgumentParser()
    for option in ("tallix-pack", "runtime", "reporter", "work"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    return args, fresh_directory(args.work)


def main():
    args, work = parse_arguments()
    app = os.path.join(work, "app")
    application(app)
    shutil.copy(args.reporter, os.path.join(app, "reporter.exe"))
    packed = os.path.join(work, "Integrity.exe")
    arguments = [part for argument in LEADING_ARGUMENTS for part in ("--arg", argument)]
    result = run([args.tallix_pack, "pack", app, "-o", packed, "--quiet", "--runtime",
                  args.runtime, "--main", "reporter.exe", "--template", TEMPLATE, "--company",
                  "Integrity Works", "--product", "Integrity", "--app-version", "1.2.3",
                  "--kill-child-with-launcher", *arguments])
    if result.returncode != 0:
        print(result.stderr, file=sys.stderr)
        return 1
    with open(packed, "rb") as f:
        original = f.read()
    layout = Layout(original)
    table = rows()
    check(len(table) >= 40, "at least 40 damaged launchers")
    seen = collections.Counter()
    for number, (case, damage, expected, status, message, *wine_loads) in enumerate(table):
        scratch = fresh_directory(os.path.join(work, "case-%02d" % number))
        os.makedirs(os.path.join(scratch, "cwd"))
        launcher = os.path.join(scratch, "app.exe")
        damaged = bytes(damage(bytearray(original), layout))
        check(damaged != original, f"{case}: the copy differs")
        with open(launcher, "wb") as f:
            f.write(damaged)
        inspected = run([args.tallix_pack, "inspect", launcher, "--verify"])
        started = start(launcher, os.path.join(scratch, "cwd"))
        observed = launcher_outcome(scratch, app, started)
        if observed == NOT_LOADED != expected:
            # Wine under load sometimes fails to start a process at all,
            # which looks the same; a launcher it can load starts the second time.
            observed = launcher_outcome(scratch, app, start(launcher, os.path.join(scratch, "cwd")))
        check_equal(observed, expected, f"{case}: the launcher")
        check_equal(inspected.returncode, status, f"{case}: inspect's status")
        check(message in inspected.stderr, f"{case}: inspect says '{message}'", inspected.stderr)
        agrees = (observed == RUNS) == (inspected.returncode == 0)
        check(agrees or wine_loads, f"{case}: the launcher and inspect disagree")
        seen[(observed, inspected.returncode, bool(wine_loads))] += 1
        shutil.rmtree(scratch, ignore_errors=True)
    for (observed, status, loads), count in sorted(seen.items()):
        print("%3d: launcher %s, inspect status %d%s" % (
            count, observed, status, " (breaks the loader's rules; Wine loads it)" * loads))
    return outcome("%d damaged launchers: the launcher and inspect agree" % len(table))


if __name__ == "__main__":
    sys.exit(main())
