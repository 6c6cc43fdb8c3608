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

inline uint16_t readLe16(const unsigned char *bytes) {
    return static_cast<uint16_t>(readLittleEndian(bytes, 2));
}
inline uint32_t readLe32(const unsigned char *bytes) {
    return static_cast<uint32_t>(readLittleEndian(bytes, 4));
}
inline uint64_t readLe64(const unsigned char *bytes) {
    return readLittleEndian(bytes, 8);
}

// The low `count` (at most 8) bytes of `value` into `bytes`.
inline void writeLittleEndian(unsigned char *bytes, uint64_t value, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}
