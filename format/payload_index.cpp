#include "format/payload_index.h"

#include "format/attached_data.h"
#include "format/crc32.h"
#include "format/entry_name.h"
#include "format/little_endian.h"

#include <string.h>

static const unsigned char *entryFields(const unsigned char *index, size_t k) {
    return index + PAYLOAD_INDEX_HEADER_SIZE + k * size_t{PAYLOAD_INDEX_ENTRY_SIZE};
}

PayloadIndexEntry payloadIndexEntry(const PayloadIndex &index, size_t k) {
    const unsigned char *fields = entryFields(index.data, k);
    PayloadIndexEntry entry;
    entry.size = readLe64(fields + INDEX_ENTRY_FILE_SIZE_AT);
    entry.crc = readLe32(fields + INDEX_ENTRY_CRC_AT);
    entry.name = index.data + readLe32(fields + INDEX_ENTRY_NAME_OFFSET_AT);
    entry.nameLength = readLe32(fields + INDEX_ENTRY_NAME_LENGTH_AT);
    return entry;
}

bool openPayloadIndex(const unsigned char *data, uint64_t size, PayloadIndex *index) {
    index->data = nullptr;
    index->count = 0;
    if (size < PAYLOAD_INDEX_HEADER_SIZE ||
        memcmp(data, PAYLOAD_INDEX_MAGIC, sizeof PAYLOAD_INDEX_MAGIC) != 0) {
        return false;
    }
    uint64_t count = readLe32(data + PAYLOAD_INDEX_COUNT_AT);
    uint64_t namesStart = PAYLOAD_INDEX_HEADER_SIZE + count * PAYLOAD_INDEX_ENTRY_SIZE;
    if (namesStart > size || computeCrc32(data + PAYLOAD_INDEX_HEADER_SIZE,
                                          static_cast<size_t>(size) - PAYLOAD_INDEX_HEADER_SIZE) !=
                                 readLe32(data + PAYLOAD_INDEX_CRC_AT)) {
        return false;
    }
    // Names follow each other in entry order, so the whole index is covered once.
    PayloadIndex checked = {data, static_cast<size_t>(count)};
    uint64_t expectedOffset = namesStart;
    for (size_t k = 0; k < checked.count; ++k) {
        const unsigned char *fields = entryFields(data, k);
        uint64_t nameLength = readLe32(fields + INDEX_ENTRY_NAME_LENGTH_AT);
        if (readLe32(fields + INDEX_ENTRY_NAME_OFFSET_AT) != expectedOffset || nameLength == 0 ||
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
