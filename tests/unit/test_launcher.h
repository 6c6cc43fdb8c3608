// Launchers for the native tests: a minimal x86-64 console image as a
// linker lays it out, completed by the packer's own writer.
#pragma once

#include "format/little_endian.h"
#include "packer/image/launcher_writer.h"

#include <cstring>
#include <sstream>
#include <string>

namespace tallix {

// Headers up to 0x400 (PE signature at 0x80, a 240-byte optional header at
// 0x98, the section table at 0x188), one .text section of 0x200 bytes at
// 0x1000.
inline pe::Bytes minimalImage() {
    pe::Bytes b(0x600, 0);
    auto put = [&b](std::size_t offset, std::uint64_t value, std::size_t count) {
        writeLittleEndian(&b[offset], value, count);
    };
    put(0, 0x5A4D, 2);
    put(0x3C, 0x80, 4);
    put(0x80, 0x00004550, 4);
    put(0x84, 0x8664, 2); // machine
    put(0x86, 1, 2);      // sections
    put(0x94, 240, 2);    // optional header size
    put(0x96, 0x22, 2);   // executable, large-address aware
    const std::size_t o = 0x98;
    put(o, 0x20B, 2);
    put(o + 4, 0x200, 4);   // SizeOfCode
    put(o + 16, 0x1000, 4); // entry
    put(o + 24, 0x140000000, 8);
    put(o + 32, 0x1000, 4); // section alignment
    put(o + 36, 0x200, 4);  // file alignment
    put(o + 48, 5, 2);      // subsystem version
    put(o + 56, 0x2000, 4); // SizeOfImage
    put(o + 60, 0x400, 4);  // SizeOfHeaders
    put(o + 68, 3, 2);      // console
    put(o + 108, 16, 4);    // data directories
    const std::size_t s = o + 240;
    std::memcpy(&b[s], ".text", 5);
    put(s + 8, 0x10, 4);
    put(s + 12, 0x1000, 4);
    put(s + 16, 0x200, 4);
    put(s + 20, 0x400, 4);
    put(s + 36, 0x60000020, 4);
    b[0x400] = 0xC3; // ret
    return b;
}

// A launcher of minimalImage() carrying `block` as its attached data.
inline std::string testLauncher(const std::string &block, const BuildConstants &constants,
                                const std::vector<pe::Resource> &resources = {},
                                const std::string &index = "") {
    std::stringstream out;
    writeLauncher(
        pe::Image::parse(minimalImage()), constants, resources,
        [&](std::ostream &to) {
            to << block;
            return pe::Bytes(index.begin(), index.end());
        },
        out);
    return out.str();
}

} // namespace tallix
