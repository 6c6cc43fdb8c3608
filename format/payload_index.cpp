#include "format/payload_index.h"

#include "format/attached_data.h"
#include "format/crc32.h"
#include "format/entry_name.h"
#include "format/little_endian.h"

#include <string.h>

static const unsigned char *entryFields(const unsigned char *index, size_t k) {
    return index + PAYLOAD_INDEX_HEADER_SIZE + k * size_t{PAYLOAD_INDEX_ENTRY_SIZE};
}

static const unsigned char *frameFields(const PayloadIndex &index, size_t j) {
    return entryFields(index.data, index.count) + j * size_t{PAYLOAD_INDEX_FRAME_SIZE};
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

PayloadIndexFrame payloadIndexFrame(const PayloadIndex &index, size_t j) {
    const unsigned char *fields = frameFields(index, j);
    PayloadIndexFrame frame;
    frame.offset = readLe64(fields + INDEX_FRAME_OFFSET_AT);
    frame.firstRecord = readLe32(fields + INDEX_FRAME_FIRST_RECORD_AT);
    frame.endRecord = j + 1 < index.frameCount
                          ? readLe32(frameFields(index, j + 1) + INDEX_FRAME_FIRST_RECORD_AT)
                          : index.count;
    return frame;
}

// The first frame starts right after the block's magic with record 0; both
// fields strictly increase, and every frame holds at least one record.
static bool frameTableIsWhole(const PayloadIndex &index) {
    uint64_t previousOffset = 0;
    for (size_t j = 0; j < index.frameCount; ++j) {
        PayloadIndexFrame frame = payloadIndexFrame(index, j);
        bool first = j == 0;
        if (first ? frame.offset != ATTACHED_DATA_MAGIC_SIZE || frame.firstRecord != 0
                  : frame.offset <= previousOffset) {
            return false;
        }
        if (frame.firstRecord >= frame.endRecord) {
            return false;
        }
        previousOffset = frame.offset;
    }
    return true;
}

// Names follow each other in entry order from `namesStart`, so together
// they cover the rest of the index once.
static bool namesAreWhole(const PayloadIndex &index, uint64_t namesStart, uint64_t size) {
    uint64_t expectedOffset = namesStart;
    for (size_t k = 0; k < index.count; ++k) {
        const unsigned char *fields = entryFields(index.data, k);
        uint64_t nameLength = readLe32(fields + INDEX_ENTRY_NAME_LENGTH_AT);
        if (readLe32(fields + INDEX_ENTRY_NAME_OFFSET_AT) != expectedOffset || nameLength == 0 ||
            nameLength >= ENTRY_NAME_CAPACITY || expectedOffset + 2 * nameLength > size) {
            return false;
        }
        PayloadIndexEntry entry = payloadIndexEntry(index, k);
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
    return expectedOffset == size;
}

bool openPayloadIndex(const unsigned char *data, uint64_t size, PayloadIndex *index) {
    index->data = nullptr;
    index->count = 0;
    index->frameCount = 0;
    if (size < PAYLOAD_INDEX_HEADER_SIZE ||
        memcmp(data, PAYLOAD_INDEX_MAGIC, sizeof PAYLOAD_INDEX_MAGIC) != 0) {
        return false;
    }
    uint64_t count = readLe32(data + PAYLOAD_INDEX_COUNT_AT);
    uint64_t frameCount = readLe32(data + PAYLOAD_INDEX_FRAME_COUNT_AT);
    // The CRC covers the entries, the frame table and the names alike.
    uint64_t namesStart = PAYLOAD_INDEX_HEADER_SIZE + count * PAYLOAD_INDEX_ENTRY_SIZE +
                          frameCount * PAYLOAD_INDEX_FRAME_SIZE;
    if (frameCount == 0 || namesStart > size ||
        computeCrc32(data + PAYLOAD_INDEX_HEADER_SIZE,
                     static_cast<size_t>(size) - PAYLOAD_INDEX_HEADER_SIZE) !=
            readLe32(data + PAYLOAD_INDEX_CRC_AT)) {
        return false;
    }
    PayloadIndex checked = {data, static_cast<size_t>(count), static_cast<size_t>(frameCount)};
    if (!frameTableIsWhole(checked) || !namesAreWhole(checked, namesStart, size)) {
        return false;
    }
    *index = checked;
    return true;
}
