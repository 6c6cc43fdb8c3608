#include "format/record_header.h"

#include "format/little_endian.h"

static RecordHeaderResult readRecordFields(RecordByteRead read, void *source,
                                           RecordHeader *header) {
    unsigned char fields[RECORD_SIZE_BYTES + RECORD_CRC_BYTES];
    if (!read(source, fields, sizeof fields)) {
        return RECORD_FIELDS_CUT;
    }
    header->size = readLe64(fields);
    header->crc = readLe32(fields + RECORD_SIZE_BYTES);
    return RECORD_HEADER_READ;
}

RecordHeaderResult readRecordHeader(RecordByteRead read, void *source, RecordHeader *header) {
    header->nameLength = 0;
    header->size = 0;
    header->crc = 0;
    for (size_t i = 0;; ++i) {
        unsigned char unit[2];
        if (!read(source, unit, sizeof unit)) {
            header->name[i] = 0;
            header->nameLength = i;
            return RECORD_NAME_CUT;
        }
        header->name[i] = static_cast<WideUnit>(readLe16(unit));
        if (header->name[i] == 0) {
            header->nameLength = i;
            return i == 0 ? RECORD_END_MARKER : readRecordFields(read, source, header);
        }
        // The last unit of the buffer is the terminator's.
        if (i + 1 == ENTRY_NAME_CAPACITY) {
            header->name[i] = 0;
            header->nameLength = i;
            return RECORD_NAME_TOO_LONG;
        }
    }
}
