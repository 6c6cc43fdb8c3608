#include "format/payload_index.h"

#include "format/attached_data.h"
#include "format/crc32.h"
#include "format/entry_name.h"

#include <string.h>

static uint64_t readLittleEndian(const unsigned char *p, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = bytes; i > 0; --i) {
        value = value << 8 | p[i - 1];
    }
    return value;
}

PayloadIndexEntry payloadIndexEntry(const PayloadIndex &index, size_t k) {
    const unsigned char *p =
        index.data + PAYLOAD_INDEX_HEADER_SIZE + k * size_t{PAYLOAD_INDEX_ENTRY_SIZE};
    PayloadIndexEntry entry;
    entry.size = readLittleEndian(p, 8);
    entry.crc = static_cast<uint32_t>(readLittleEndian(p + 8, 4));
    entry.name = index.data + readLittleEndian(p + 12, 4);
    entry.nameLength = static_cast<size_t>(readLittleEndian(p + 16, 4));
    return entry;
}

bool openPayloadIndex(const unsigned char *data, uint64_t size, PayloadIndex *index) {
    index->data = nullptr;
    index->count = 0;
    if (size < PAYLOAD_INDEX_HEADER_SIZE ||
        memcmp(data, PAYLOAD_INDEX_MAGIC, sizeof PAYLOAD_INDEX_MAGIC) != 0) {
        return false;
    }
    uint64_t count = readLittleEndian(data + 4, 4);
    uint64_t namesStart = PAYLOAD_INDEX_HEADER_SIZE + count * PAYLOAD_INDEX_ENTRY_SIZE;
    if (namesStart > size || computeCrc32(data + PAYLOAD_INDEX_HEADER_SIZE,
                                          static_cast<size_t>(size) - PAYLOAD_INDEX_HEADER_SIZE) !=
                                 readLittleEndian(data + 8, 4)) {
        return false;
    }
    // Names follow each other in entry order, so the whole index is covered once.
    PayloadIndex checked = {data, static_cast<size_t>(count)};
    uint64_t expectedOffset = namesStart;
    for (size_t k = 0; k < checked.count; ++k) {
        const unsigned char *fields =
            data + PAYLOAD_INDEX_HEADER_SIZE + k * size_t{PAYLOAD_INDEX_ENTRY_SIZE};
        uint64_t nameLength = readLittleEndian(fields + 16, 4);
        if (readLittleEndian(fields + 12, 4) != expectedOffset || nameLength == 0 ||
            nameLength >= ENTRY_NAME_CAPACITY || expectedOffset + 2 * nameLength > size) {
            return false;
        }
        PayloadIndexEntry entry = payloadIndexEntry(checked, k);
        // The index path never decodes the records, so it holds the names to
        // the same rule the extraction does: nothing read or started outside.
        WideUnit name[ENTRY_NAME_CAPACITY];
        for (size_t i = 0; i < entry.nameLength; ++i) {
            name[i] = static_cast<WideUnit>(indexNameUnit(entry, i));
            if (name[i] == 0) {
                return false;
            }
        }
        name[entry.nameLength] = 0;
        if (!isContainedEntryName(name) || entry.crc == 0) {
            return false;
        }
        expectedOffset += 2 * nameLength;
    }
    if (expectedOffset != size) {
        return false;
    }
    *index = checked;
    return true;
}
