// Reading fixed-layout binary data from host files: little-endian integers
// and reads at an offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>

namespace tallix {

// The `count` (at most 8) bytes at `bytes` as a little-endian number.
std::uint64_t readLittleEndian(const unsigned char *bytes, int count);

// Reads exactly `count` bytes at `offset`; false when the stream is shorter.
// Leaves the stream usable for the next read either way.
bool readAt(std::istream &in, std::uint64_t offset, void *out, std::size_t count);

} // namespace tallix
