#!/usr/bin/env python3
"""Writes the application directory the extraction tests pack, and the test
blocks that the packer cannot make: a stream cut before its end marker, a
damaged frame, a record whose content differs from its stored CRC-32, a
frame whose window is above the decoder's limit, names at
and past the longest a record may hold, a name that leaves the target
directory, a frame without a content checksum, and a frame of zeros that
cannot be decoded at all; and two indexes beside the good block: one that
fails its own checksum, one whose entry for sub\\one.txt names another file.
Of a block of several frames: the same with the last frame's content
checksum damaged.

A second application, of many small files, makes the index check use
several threads.

A block of the first application in four frames, with its index and frame
table, is decoded in lanes; beside it copies with a damaged second or last
frame, and indexes whose frame table points into the middle of a frame or
puts a record in the wrong frame.

usage: make_app.py APP_DIR
       make_app.py --many APP_DIR
       make_app.py --blocks GOOD_BLOCK GOOD_INDEX OUT_DIR
       make_app.py --garbage BLOCK OUT_BLOCK
       make_app.py --lanes APP_DIR OUT_DIR
       make_app.py --frames BLOCK OUT_DIR
"""
import os
import random
import struct
import subprocess
import sys
import zlib

# Relative path -> content. big.bin is incompressible and longer than the
# launcher's 128 KiB window, so the frame has several blocks.
def app_files():
    rng = random.Random(20240601)
    return {
        "main.exe": b"MZ" + rng.randbytes(998),
        "empty.txt": b"",
        "exact.bin": rng.randbytes(32768),
        "plus1.bin": rng.randbytes(32769),
        "other/big.bin": rng.randbytes(400000),
        "sub/one.txt": b"one\n" * 100,
        "sub/deeper/two.txt": b"two\n" * 100,
        "sub/deeper/third/three.dat": rng.randbytes(5000),
        # Alone below x, so its three directories are all missing at once.
        "x/y/z/deep.txt": b"deep\n",
    }


# More files than one thread of the index check takes on.
MANY_FILES = 300
# Above the 1,024 folders a launcher remembers for lookups.
MANY_FOLDERS = 1100


def many_files():
    files = {"main.exe": b"MZ many"}
    for i in range(MANY_FILES):
        files["m%d/f%03d.txt" % (i % 4, i)] = b"file %d\n" % i * (i + 1)
    return files


def write_app(app_dir, files):
    for relative, content in files.items():
        path = os.path.join(app_dir, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)


def wrap(frame):
    """Magic, frame, zero padding and the trailer at a multiple of 8."""
    body = b"QVZ" + frame
    body += b"\0" * (-len(body) % 8)
    return body + struct.pack("<Q", len(body))


def frame_of(block):
    """The frame alone, without the padding before the trailer."""
    _, end = block_offsets(block[3:])
    return block[3:3 + end]


def zstd(data, *args):
    return subprocess.run(["zstd", "-q", *args], input=data, stdout=subprocess.PIPE,
                          check=True).stdout


def block_offsets(frame):
    """Offsets of the block headers of a zstd frame, and the frame's end
    (after its content checksum, when it has one)."""
    descriptor = frame[4]
    at = 5
    single_segment = descriptor & 0x20
    if not single_segment:
        at += 1
    at += [0, 1, 2, 4][descriptor & 3]
    size_flag = descriptor >> 6
    at += [1 if single_segment else 0, 2, 4, 8][size_flag]
    offsets = []
    while True:
        header = int.from_bytes(frame[at:at + 3], "little")
        offsets.append(at)
        kind, size = (header >> 1) & 3, header >> 3
        at += 3 + (1 if kind == 1 else size)
        if header & 1:
            return offsets, at + (4 if descriptor & 0x04 else 0)


def record(name, content, crc=None):
    crc = crc if crc is not None else zlib.crc32(content) or 1
    return (name.encode("utf-16-le") + b"\0\0" + struct.pack("<QI", len(content), crc) +
            content)


def garbage(block):
    """Magic intact, nothing after it decodes: a start that succeeds never read it."""
    return wrap(b"\0" * len(frame_of(block)))


# The index's header: magic, entry count, frame count, CRC-32 of the rest.
INDEX_HEADER = 16


def seal(index):
    """Gives a changed index (a bytearray) its own CRC-32 again."""
    struct.pack_into("<I", index, 12, zlib.crc32(bytes(index[INDEX_HEADER:])))


def index_variants(index):
    """(fails its own check, names another file): both differ from `index`
    only in the name of sub\\one.txt."""
    count = struct.unpack_from("<I", index, 4)[0]
    for k in range(count):
        _, _, offset, length = struct.unpack_from("<QIII", index, INDEX_HEADER + 20 * k)
        if index[offset:offset + 2 * length].decode("utf-16-le") == "sub\\one.txt":
            renamed = bytearray(index)
            renamed[offset + 2 * length - 10] = ord("f")  # "one" -> "onf"
            sealed = bytearray(renamed)
            seal(sealed)
            return bytes(renamed), bytes(sealed)
    raise AssertionError("no sub\\one.txt in the index")


# The records of each frame of the block in lanes, main.exe first.
LANE_FRAMES = [["main.exe", "empty.txt", "exact.bin"], ["other/big.bin"],
               ["plus1.bin", "sub/deeper/third/three.dat", "sub/deeper/two.txt"],
               ["sub/one.txt", "x/y/z/deep.txt"]]


def lane_index(entries, frames):
    """An index of (name, content) entries with its frame table of
    (offset, first record) pairs."""
    names = b"".join(name.replace("/", "\\").encode("utf-16-le") for name, _ in entries)
    at = INDEX_HEADER + 20 * len(entries) + 12 * len(frames)
    body = b""
    for name, content in entries:
        body += struct.pack("<QIII", len(content), zlib.crc32(content) or 1, at, len(name))
        at += 2 * len(name)
    body += b"".join(struct.pack("<QI", offset, first) for offset, first in frames)
    index = bytearray(b"QVI2" + struct.pack("<III", len(entries), len(frames), 0) + body + names)
    seal(index)
    return index


def write_lane_blocks(app_dir, out_dir):
    entries, frames, data = [], [], b""
    for number, names in enumerate(LANE_FRAMES):
        stream = b""
        for name in names:
            with open(os.path.join(app_dir, name), "rb") as f:
                content = f.read()
            entries.append((name, content))
            stream += record(name.replace("/", "\\"), content)
        frames.append((3 + len(data), len(entries) - len(names)))
        data += zstd(stream + (b"\0\0" if number == len(LANE_FRAMES) - 1 else b""), "-c")
    index = lane_index(entries, frames)
    files = {"lanes.bin": wrap(data), "lanes.idx": index}
    # A byte inside big.bin, stored raw in the second frame, and inside the
    # last frame, past its header.
    for name, at in (("second", frames[1][0] + 1000), ("last", frames[3][0] + 20)):
        damaged = bytearray(data)
        damaged[at - 3] ^= 0x40
        files["lanes_%s.bin" % name] = wrap(bytes(damaged))
    midframe = bytearray(index)
    table = INDEX_HEADER + 20 * len(entries)
    struct.pack_into("<Q", midframe, table + 12 * 2, frames[2][0] - 100)
    seal(midframe)
    wrongframe = bytearray(index)
    struct.pack_into("<I", wrongframe, table + 12 * 2 + 8, frames[2][1] + 1)
    seal(wrongframe)
    files["lanes_midframe.idx"], files["lanes_wrongframe.idx"] = midframe, wrongframe
    # A frame one byte early or late, a record one early, each sealed.
    for name, field, frame, change in (("earlyframe", "<Q", 1, -1), ("lateframe", "<Q", 1, 1),
                                       ("prevrecord", "<I", 3, -1)):
        forged = bytearray(index)
        at = table + 12 * frame + (0 if field == "<Q" else 8)
        struct.pack_into(field, forged, at, frames[frame][0 if field == "<Q" else 1] + change)
        seal(forged)
        files["lanes_%s.idx" % name] = forged
    # The second and third frames swapped in the block, the table as it was.
    second, third = data[frames[1][0] - 3:frames[2][0] - 3], data[frames[2][0] - 3:frames[3][0] - 3]
    files["lanes_swapped.bin"] = wrap(data[:frames[1][0] - 3] + third + second +
                                      data[frames[3][0] - 3:])
    for name, content in files.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(content)


def write_blocks(good_path, index_path, out_dir):
    with open(good_path, "rb") as f:
        good = f.read()
    frame = frame_of(good)
    # Decoded with the zstd tool, which stops at the end of the frame.
    stream = zstd(frame, "-d", "-c")
    assert stream.endswith(b"\0\0")

    blocks = {}
    # Every record intact, but the end marker missing: the next name runs past the end.
    blocks["truncated"] = wrap(zstd(stream[:-2], "-c", "--no-check", "-3"))

    # A reserved block type in the third block. The decoder reads a block's
    # header in the call that hands out the block before, so the first block
    # (which holds the small files whole) is delivered and the second call fails.
    offsets, _ = block_offsets(frame)
    assert len(offsets) >= 3, "the test frame needs several blocks"
    damaged = bytearray(frame)
    damaged[offsets[2]] |= 0x06
    blocks["damaged"] = wrap(bytes(damaged))

    # Window descriptor: exponent 18, that is a window of 2^28. The packer's
    # frames declare their size (a small one then has no window descriptor),
    # so the frame is made again from the stream without one.
    wide = bytearray(zstd(stream, "-c", "-3"))
    assert not wide[4] & 0x20
    wide[5] = (28 - 10) << 3
    blocks["widewindow"] = wrap(bytes(wide))

    # 1023 units fit the name buffer, 1024 do not. Components stay below
    # the host's 255-byte limit.
    fits = "\\".join(["d" * 200] * 5) + "\\" + "f" * 18
    assert len(fits) == 1023
    too_long = "\\".join(["e" * 200] * 5) + "\\" + "g" * 19
    records = (record("first.txt", b"first") + record(fits, b"longest name") +
               record(too_long, b"never written") + b"\0\0")
    blocks["longname"] = wrap(zstd(records, "-c", "--no-check"))

    # The same records in a frame without a content checksum, as packers
    # wrote them before.
    blocks["legacy"] = wrap(zstd(stream, "-c", "--no-check", "-3"))

    # A record that would land beside the target directory.
    blocks["escape"] = wrap(zstd(record("first.txt", b"first") + record("..\\evil.txt", b"evil") +
                                 b"\0\0", "-c"))

    # A whole, checksummed frame whose second record's content is not what
    # its stored CRC-32 says; it spans several pieces of the copy.
    big = random.Random(5).randbytes(100000)
    blocks["wrongcrc"] = wrap(zstd(record("first.txt", b"first") +
                                   record("second.bin", big, zlib.crc32(big) ^ 1) +
                                   record("third.txt", b"third") + b"\0\0", "-c"))

    # Files in more folders than the launcher keeps for lookups, the last
    # one's content unlike its CRC-32: every folder is made before it fails.
    folders = b"".join(record("d%04d\\f.txt" % i, b"x") for i in range(MANY_FOLDERS))
    blocks["manyfolders"] = wrap(zstd(folders + record("last.txt", b"last", 1) + b"\0\0", "-c"))

    blocks["garbage"] = garbage(good)

    # A file of the application named like a temporary of an ended start
    # (process 8), beside one that a later start rewrites.
    blocks["tmpname"] = wrap(zstd(record("main.exe", b"MZ") +
                                  record("sub\\~tallix-8-0.tmp", b"the application's") +
                                  record("sub\\one.txt", b"one") + b"\0\0", "-c"))

    files = {name + ".bin": data for name, data in blocks.items()}
    with open(index_path, "rb") as f:
        files["badindex.idx"], files["otherindex.idx"] = index_variants(f.read())
    for name, data in files.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)


def write_frame_blocks(block_path, out_dir):
    """The block of several frames with the last one's content checksum
    flipped."""
    with open(block_path, "rb") as f:
        block = f.read()
    ends = []
    at = 3
    while len(block) - 8 - at >= 8:
        _, end = block_offsets(block[at:])
        at += end
        ends.append(at)
    assert len(ends) >= 3, "the test block needs several frames"
    damaged = bytearray(block)
    damaged[ends[-1] - 1] ^= 0x10
    with open(os.path.join(out_dir, "frames_lastsum.bin"), "wb") as f:
        f.write(damaged)


if __name__ == "__main__":
    if sys.argv[1] == "--blocks":
        write_blocks(sys.argv[2], sys.argv[3], sys.argv[4])
    elif sys.argv[1] == "--garbage":
        with open(sys.argv[2], "rb") as source, open(sys.argv[3], "wb") as out:
            out.write(garbage(source.read()))
    elif sys.argv[1] == "--lanes":
        write_lane_blocks(sys.argv[2], sys.argv[3])
    elif sys.argv[1] == "--frames":
        write_frame_blocks(sys.argv[2], sys.argv[3])
    elif sys.argv[1] == "--many":
        write_app(sys.argv[2], many_files())
    else:
        write_app(sys.argv[1], app_files())
