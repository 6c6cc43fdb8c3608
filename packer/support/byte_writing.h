// Appends little-endian fields (format/little_endian.h) and UTF-16 strings
// to a byte buffer: a std::string or a std::vector of bytes.
#pragma once

#include "format/little_endian.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tallix {

// The low `count` (at most 8) bytes of `value`.
template <typename Buffer>
void appendLittleEndian(Buffer &out, std::uint64_t value, std::size_t count) {
    unsigned char bytes[8];
    writeLittleEndian(bytes, value, count);
    // One by one: GCC 12 at -O3 takes a range insert into an empty vector
    // for an overflow (-Wstringop-overflow).
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(static_cast<typename Buffer::value_type>(bytes[i]));
    }
}

// `text` as UTF-16LE units, then a 0x0000 terminator.
template <typename Buffer> void appendWide(Buffer &out, std::u16string_view text) {
    for (char16_t unit : text) {
        appendLittleEndian(out, unit, 2);
    }
    appendLittleEndian(out, 0, 2);
}

} // namespace tallix
