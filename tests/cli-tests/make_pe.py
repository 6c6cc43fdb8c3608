#!/usr/bin/env python3
"""Writes the headers of a Windows program, all the packer reads of one:
make_pe.py OUT [console|gui|native] [x64|x86|arm64] [exe|dll]."""
import struct
import sys

MACHINES = {"x64": (0x8664, 0x20B, 240), "x86": (0x14C, 0x10B, 224), "arm64": (0xAA64, 0x20B, 240)}
SUBSYSTEMS = {"native": 1, "gui": 2, "console": 3}


def main():
    out, subsystem, machine, kind = (sys.argv[1:] + ["console", "x64", "exe"][len(sys.argv) - 2:])[:4]
    number, magic, optional_size = MACHINES[machine]
    characteristics = 0x0022 | (0x2000 if kind == "dll" else 0)
    dos = b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40)
    coff = b"PE\0\0" + struct.pack("<HHIIIHH", number, 0, 0, 0, 0, optional_size, characteristics)
    optional = bytearray(optional_size)
    struct.pack_into("<H", optional, 0, magic)
    struct.pack_into("<H", optional, 68, SUBSYSTEMS[subsystem])
    with open(out, "wb") as file:
        file.write(dos + coff + bytes(optional))


if __name__ == "__main__":
    main()
