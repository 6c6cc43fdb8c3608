// Little-endian integers in byte buffers: the one reader and writer behind
// every layout in format/ and every PE field the packer reads or writes.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The `count` (at most 8) bytes at `bytes` as a number.
inline uint64_t readLittleEndian(const unsigned char *bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = count; i > 0; --i) {
        value = value << 8 | bytes[i - 1];
    }
    return value;
}

// The fixed widths are spelled as shifts, which compilers turn into one
// load (the loop above stays a loop); the CRC-32's inner loop reads through them.
inline uint16_t readLe16(const unsigned char *bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}
inline uint32_t readLe32(const unsigned char *bytes) {
    return uint32_t{readLe16(bytes)} | uint32_t{readLe16(bytes + 2)} << 16;
}
inline uint64_t readLe64(const unsigned char *bytes) {
    return uint64_t{readLe32(bytes)} | uint64_t{readLe32(bytes + 4)} << 32;
}

// The low `count` (at most 8) bytes of `value` into `bytes`.
inline void writeLittleEndian(unsigned char *bytes, uint64_t value, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

inline void writeLe16(unsigned char *bytes, uint64_t value) {
    writeLittleEndian(bytes, value, 2);
}
inline void writeLe32(unsigned char *bytes, uint64_t value) {
    writeLittleEndian(bytes, value, 4);
}
inline void writeLe64(unsigned char *bytes, uint64_t value) {
    writeLittleEndian(bytes, value, 8);
}
