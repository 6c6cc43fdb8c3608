#!/usr/bin/env python3
"""Forged payload indexes, every checksum recomputed: a launcher packed in
three frames, then copies whose frame table puts a frame a byte early or
late, or a frame's first record one off, whose block has two frames
swapped, whose frame header declares another content size, or whose index
gives an entry another CRC-32. Each copy is started
on one core (the sequential path), on two (lanes) and read by `tallix-pack
inspect --verify`: all three refuse it, and nothing is left in the cache.
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from damaged_launcher_test import (ATTACHED_DATA, PAYLOAD_INDEX, Layout,  # noqa: E402
                                   parse_arguments)
from wine_test_support import (WINE_TIMEOUT_SECONDS, check_equal, fresh_directory,  # noqa: E402
                               outcome, run, wine_environment)

CHILD_EXIT_CODE = 7
DECODE_ERROR = "Error, couldn't decode attached data.\n"
INDEX_HEADER = 16
# The block's bytes the constants' checksum covers: magic and frame header.
CHECKED_HEAD = 3 + 18


def seal_constants(data, layout):
    """Gives the constants section its checksum again, as the packer does."""
    section = layout.sections[".tallix"]["entry"]
    start = layout.start
    crc = zlib.crc32(data[section:section + 40])
    crc = zlib.crc32(data[start + 20:start + 24], zlib.crc32(data[start:start + 16], crc))
    crc = zlib.crc32(data[start + 24:start + 24 + 24 * len(layout.entries)], crc)
    for ident, entry in layout.entries.items():
        at, size = entry["at"], entry["size"]
        if ident == ATTACHED_DATA:
            crc = zlib.crc32(data[at + size - 8:at + size], zlib.crc32(data[at:at + CHECKED_HEAD], crc))
        else:
            crc = zlib.crc32(data[at:at + size], crc)
    struct.pack_into("<I", data, start + 16, crc)


def frames_of(data, layout):
    index = layout.index
    count, frame_count = struct.unpack_from("<II", data, index + 4)
    table = index + INDEX_HEADER + 20 * count
    return table, [struct.unpack_from("<QI", data, table + 12 * j) for j in range(frame_count)]


def forged(change):
    """A copy changed by `change(data, layout, table, frames)`, its index and
    constants sealed again."""
    def make(original, layout):
        data = bytearray(original)
        table, frames = frames_of(data, layout)
        change(data, layout, table, frames)
        index, size = layout.index, layout.entries[PAYLOAD_INDEX]["size"]
        struct.pack_into("<I", data, index + 12, zlib.crc32(bytes(data[index + 16:index + size])))
        seal_constants(data, layout)
        return bytes(data)
    return make


def move_frame(j, by):
    def change(data, layout, table, frames):
        struct.pack_into("<Q", data, table + 12 * j, frames[j][0] + by)
    return change


def first_record(j, by):
    def change(data, layout, table, frames):
        struct.pack_into("<I", data, table + 12 * j + 8, frames[j][1] + by)
    return change


def swap_frames(data, layout, table, frames):
    """The last two frames change places in the block; the table lists them
    where they now are, with their first records as they were."""
    block, one, two = layout.block, frames[1][0], frames[2][0]
    end = two + frame_length(data, block + two)
    first, second = data[block + one:block + two], data[block + two:block + end]
    data[block + one:block + end] = second + first
    struct.pack_into("<Q", data, table + 12 * 2, one + len(second))


def frame_length(data, at):
    """A zstd frame's length, its content checksum included."""
    descriptor = data[at + 4]
    single = descriptor & 0x20
    end = at + 5 + (0 if single else 1) + (0, 1, 2, 4)[descriptor & 3]
    end += (1 if single else 0, 2, 4, 8)[descriptor >> 6]
    while True:
        header = int.from_bytes(data[end:end + 3], "little")
        kind, size = (header >> 1) & 3, header >> 3
        end += 3 + (1 if kind == 1 else size)
        if header & 1:
            return end + (4 if descriptor & 0x04 else 0) - at


def content_size(j, by):
    """Frame j's header declares `by` bytes more content than it holds; the
    frame header is no checksum's business but the decoder's."""
    def change(data, layout, table, frames):
        at = layout.block + frames[j][0]
        descriptor = data[at + 4]
        single = descriptor & 0x20
        width = (1 if single else 0, 2, 4, 8)[descriptor >> 6]
        field = at + 5 + (0 if single else 1) + (0, 1, 2, 4)[descriptor & 3]
        value = int.from_bytes(data[field:field + width], "little") + by
        data[field:field + width] = value.to_bytes(width, "little")
    return change


def other_crc(data, layout, table, frames):
    entry = layout.index + INDEX_HEADER + 20 * 2
    struct.pack_into("<I", data, entry + 8, struct.unpack_from("<I", data, entry + 8)[0] ^ 1)


def start(launcher, cores):
    prefix = ["taskset", "-c", "0"] if cores == 1 else []
    done = subprocess.run(prefix + ["wine", launcher], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=WINE_TIMEOUT_SECONDS,
                          env=wine_environment({"REPORTER_EXIT_CODE": str(CHILD_EXIT_CODE),
                                                "REPORTER_QUIET": "1"}))
    return done.returncode, done.stdout, done.stderr


def main():
    args, work = parse_arguments()
    app = os.path.join(work, "app")
    os.makedirs(app)
    rng = random.Random(26)
    # Incompressible files larger than half a frame: three frames, the
    # program and a.bin, b.bin, then c.bin and d.txt.
    for name in ("a.bin", "b.bin", "c.bin"):
        with open(os.path.join(app, name), "wb") as f:
            f.write(rng.randbytes(5 << 20))
    with open(os.path.join(app, "d.txt"), "wb") as f:
        f.write(b"last\n")
    shutil.copy(args.reporter, os.path.join(app, "reporter.exe"))
    packed = os.path.join(work, "packed.exe")
    # Layout wants launch options: --kill-child-with-launcher gives some.
    result = run([args.tallix_pack, "pack", app, "-o", packed, "--quiet", "--runtime",
                  args.runtime, "--main", "reporter.exe", "--console", "--kill-child-with-launcher", "--template",
                  "{PROGRAM_DIR}\\cache"])
    check_equal(result.returncode, 0, "packing: " + result.stderr)
    with open(packed, "rb") as f:
        original = f.read()
    layout = Layout(original)
    check_equal(len(frames_of(original, layout)[1]), 3, "frames")
    resealed = bytearray(original)
    seal_constants(resealed, layout)
    check_equal(bytes(resealed), original, "the constants sealed again")
    # (case, the copy, refused)
    table = [("as packed", lambda data, layout: data, False),
             ("a frame a byte early", forged(move_frame(1, -1)), True),
             ("a frame a byte late", forged(move_frame(1, 1)), True),
             ("a frame's first record one early", forged(first_record(1, -1)), True),
             ("a frame's first record one late", forged(first_record(2, 1)), True),
             ("two frames swapped", forged(swap_frames), True),
             ("a frame declaring a byte more", forged(content_size(1, 1)), True),
             ("the last frame declaring a byte less", forged(content_size(2, -1)), True),
             ("an entry's CRC-32 changed", forged(other_crc), True)]
    cores = [1, 2] if os.cpu_count() > 1 else [1]
    for case, make, refused in table:
        scratch = fresh_directory(os.path.join(work, "case"))
        launcher = os.path.join(scratch, "app.exe")
        with open(launcher, "wb") as f:
            f.write(make(original, layout))
        verified = run([args.tallix_pack, "inspect", launcher, "--verify"])
        check_equal(verified.returncode, 1 if refused else 0, f"{case}: verify's status")
        for count in cores:
            shutil.rmtree(os.path.join(scratch, "cache"), ignore_errors=True)
            expected = (2, DECODE_ERROR, "") if refused else (CHILD_EXIT_CODE, "", "")
            check_equal(start(launcher, count), expected, f"{case}: a start on {count} core(s)")
            check_equal(os.path.exists(os.path.join(scratch, "cache")), not refused,
                        f"{case}: a cache after a start on {count} core(s)")
    return outcome("%d forged layouts refused alike on %s core(s) and by verify" %
                   (len(table) - 1, " and ".join(map(str, cores))))


if __name__ == "__main__":
    sys.exit(main())
