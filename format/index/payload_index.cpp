#include "format/index/payload_index.h"

#include "format/attached_data.h"
#include "format/crc/crc32.h"
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

static const unsigned char *filterFields(const PayloadIndex &index, size_t j) {
    return index.filters + j * size_t{PAYLOAD_INDEX_FILTER_SIZE};
}

// Entry numbers strictly increase and stay below the count; every range
// holds an instruction and lies inside its entry's content.
static bool filterTableIsWhole(const PayloadIndex &index) {
    for (size_t j = 0; j < index.filterCount; ++j) {
        const unsigned char *fields = filterFields(index, j);
        uint64_t entry = readLe32(fields + INDEX_FILTER_ENTRY_AT);
        uint64_t start = readLe64(fields + INDEX_FILTER_START_AT);
        uint64_t end = readLe64(fields + INDEX_FILTER_END_AT);
        if (entry >= index.count || readLe32(fields + INDEX_FILTER_ENTRY_AT + 4) != 0 ||
            (j > 0 && entry <= readLe32(filterFields(index, j - 1) + INDEX_FILTER_ENTRY_AT)) ||
            end < BRANCH_INSTRUCTION_SIZE || start > end - BRANCH_INSTRUCTION_SIZE ||
            end > payloadIndexEntry(index, static_cast<size_t>(entry)).size) {
            return false;
        }
    }
    return true;
}

bool findBranchFilter(const PayloadIndex &index, size_t k, BranchFilterRange *range) {
    size_t low = 0;
    size_t high = index.filterCount;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        const unsigned char *fields = filterFields(index, middle);
        size_t entry = readLe32(fields + INDEX_FILTER_ENTRY_AT);
        if (entry == k) {
            range->start = readLe64(fields + INDEX_FILTER_START_AT);
            range->end = readLe64(fields + INDEX_FILTER_END_AT);
            return true;
        }
        if (entry < k) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return false;
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
    *index = PayloadIndex{nullptr, 0, 0, nullptr, 0};
    if (size < PAYLOAD_INDEX_HEADER_SIZE) {
        return false;
    }
    bool filtered = memcmp(data, PAYLOAD_INDEX_FILTERED_MAGIC, sizeof PAYLOAD_INDEX_MAGIC) == 0;
    if (!filtered && memcmp(data, PAYLOAD_INDEX_MAGIC, sizeof PAYLOAD_INDEX_MAGIC) != 0) {
        return false;
    }
    uint64_t count = readLe32(data + PAYLOAD_INDEX_COUNT_AT);
    uint64_t frameCount = readLe32(data + PAYLOAD_INDEX_FRAME_COUNT_AT);
    // The CRC covers the entries, the frame and filter tables and the names.
    uint64_t filtersAt = PAYLOAD_INDEX_HEADER_SIZE + count * PAYLOAD_INDEX_ENTRY_SIZE +
                         frameCount * PAYLOAD_INDEX_FRAME_SIZE;
    uint64_t namesStart = filtersAt + (filtered ? INDEX_FILTER_HEAD_SIZE : 0);
    if (frameCount == 0 || namesStart > size ||
        computeCrc32(data + PAYLOAD_INDEX_HEADER_SIZE,
                     static_cast<size_t>(size) - PAYLOAD_INDEX_HEADER_SIZE) !=
            readLe32(data + PAYLOAD_INDEX_CRC_AT)) {
        return false;
    }
    uint64_t filterCount = 0;
    if (filtered) {
        filterCount = readLe32(data + filtersAt + INDEX_FILTER_COUNT_AT);
        namesStart += filterCount * PAYLOAD_INDEX_FILTER_SIZE;
        if (readLe32(data + filtersAt + INDEX_FILTER_COUNT_AT + 4) != 0 || namesStart > size) {
            return false;
        }
    }
    PayloadIndex checked = {data, static_cast<size_t>(count), static_cast<size_t>(frameCount),
                            filtered ? data + filtersAt + INDEX_FILTER_HEAD_SIZE : nullptr,
                            static_cast<size_t>(filterCount)};
    if (!frameTableIsWhole(checked) || !filterTableIsWhole(checked) ||
        !namesAreWhole(checked, namesStart, size)) {
        return false;
    }
    *index = checked;
    return true;
}
