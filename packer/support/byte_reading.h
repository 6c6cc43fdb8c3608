// Reads at an offset of host files; their bytes are decoded with
// format/little_endian.h.
#pragma once

#include "format/little_endian.h"

#include <cstddef>
#include <cstdint>
#include <istream>

namespace tallix {

// Reads exactly `count` bytes at `offset`; false when the stream is shorter.
// Leaves the stream usable for the next read either way.
bool readAt(std::istream &in, std::uint64_t offset, void *out, std::size_t count);

} // namespace tallix
