#!/usr/bin/env python3
"""Writes the headers of a Windows program, all the packer reads of one:
make_pe.py OUT [console|gui|native] [x64|x86|arm64] [exe|dll] [cut-table|cut-section].
cut-table ends the file inside its section table; cut-section gives it one
section whose data runs past the end of the file."""
import struct
import sys

MACHINES = {"x64": (0x8664, 0x20B, 240), "x86": (0x14C, 0x10B, 224), "arm64": (0xAA64, 0x20B, 240)}
SUBSYSTEMS = {"native": 1, "gui": 2, "console": 3}
HEADERS_SIZE = 0x200


def main():
    out, words = sys.argv[1], sys.argv[2:]
    subsystem = next((w for w in words if w in SUBSYSTEMS), "console")
    machine = next((w for w in words if w in MACHINES), "x64")
    damage = next((w for w in words if w.startswith("cut-")), None)
    number, magic, optional_size = MACHINES[machine]
    characteristics = 0x0022 | (0x2000 if "dll" in words else 0)
    sections = 0 if damage is None else 2
    dos = b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40)
    coff = b"PE\0\0" + struct.pack("<HHIIIHH", number, sections, 0, 0, 0, optional_size,
                                   characteristics)
    optional = bytearray(optional_size)
    struct.pack_into("<H", optional, 0, magic)
    struct.pack_into("<H", optional, 68, SUBSYSTEMS[subsystem])
    image = dos + coff + bytes(optional)
    if damage == "cut-table":
        image += bytes(20)
    elif damage == "cut-section":
        struct.pack_into("<I", optional, 60, HEADERS_SIZE)
        image = dos + coff + bytes(optional)
        for name, raw in ((b".text", 0x200), (b".data", 0x400)):
            image += struct.pack("<8sIIIIIIHHI", name, 0x200, raw * 8, 0x200, raw, 0, 0, 0, 0,
                                 0x40000040)
        image = image.ljust(0x500, b"\0")
    with open(out, "wb") as file:
        file.write(image)


if __name__ == "__main__":
    main()
