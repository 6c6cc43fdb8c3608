// Reading the payload index (layout in format/attached_data.h). Pure
// byte-level code: the launcher's use of it is in payload/check/index_check.h.
#pragma once

#include "base/wide_text.h"
#include "format/branch_filter.h"
#include "format/little_endian.h"

#include <stddef.h>
#include <stdint.h>

// A checked index: its entries and frames can be read without further
// bounds checks.
struct PayloadIndex {
    const unsigned char *data;
    size_t count;                 // entries
    size_t frameCount;            // at least 1
    const unsigned char *filters; // the filter table's rows, or null
    size_t filterCount;
};

struct PayloadIndexEntry {
    const unsigned char *name; // nameLength UTF-16LE units, no terminator
    size_t nameLength;
    uint64_t size;
    uint32_t crc;
};

// Where a frame of the block starts and the records it holds: from
// firstRecord up to, not including, endRecord.
struct PayloadIndexFrame {
    uint64_t offset; // from the block's first byte
    size_t firstRecord;
    size_t endRecord;
};

// True when `data` is a whole index: magic, its own CRC-32, every name inside
// the index with 1 to ENTRY_NAME_CAPACITY - 1 units, no 0x0000 unit and
// contained in the target directory (format/entry_name.h), no stored CRC-32
// of 0, a frame table that follows the rules in format/attached_data.h (so
// at least one entry and one frame), and no byte beyond the last name.
// Anything else (an empty index included) is no index. The frame offsets
// are not held against the block here: the index does not know its size.
// A "QVI3" index also has a filter table that follows its rules there.
bool openPayloadIndex(const unsigned char *data, uint64_t size, PayloadIndex *index);

// Entry k (< index.count).
PayloadIndexEntry payloadIndexEntry(const PayloadIndex &index, size_t k);

// Frame j (< index.frameCount); the last one ends at the entry count.
PayloadIndexFrame payloadIndexFrame(const PayloadIndex &index, size_t j);

// Whether entry k's content went through the branch filter, and where.
bool findBranchFilter(const PayloadIndex &index, size_t k, BranchFilterRange *range);

inline uint16_t indexNameUnit(const PayloadIndexEntry &entry, size_t i) {
    return readLe16(entry.name + 2 * i);
}

// The first `count` (at most nameLength) units of the entry's name into
// `name`, terminated: count + 1 units.
inline void copyIndexName(const PayloadIndexEntry &entry, size_t count, WideUnit *name) {
    for (size_t i = 0; i < count; ++i) {
        name[i] = static_cast<WideUnit>(indexNameUnit(entry, i));
    }
    name[count] = 0;
}

// Whether a decoded record (`name` NUL-terminated, any 16- or 32-bit unit
// type) is the one the entry describes.
template <typename Unit>
bool recordMatchesIndexEntry(const PayloadIndexEntry &entry, const Unit *name, uint64_t size,
                             uint32_t crc) {
    if (entry.size != size || entry.crc != crc) {
        return false;
    }
    for (size_t i = 0; i < entry.nameLength; ++i) {
        if (static_cast<uint32_t>(name[i]) != indexNameUnit(entry, i)) {
            return false;
        }
    }
    return name[entry.nameLength] == 0;
}
