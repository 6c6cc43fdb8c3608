// Reading one record's header from the decoded record stream (layout in
// format/attached_data.h): the one parser behind the launcher's sequential
// path, its lanes and the packer's block reader. Each feeds it from its own
// decoder through `read` and maps the outcome to its own messages.
#pragma once

#include "base/wide_text.h"
#include "format/attached_data.h"

#include <stddef.h>
#include <stdint.h>

struct RecordHeader {
    // Terminated; what was read of it when the result is not
    // RECORD_HEADER_READ, empty at the end marker.
    WideUnit name[ENTRY_NAME_CAPACITY];
    size_t nameLength;
    uint64_t size;
    uint32_t crc;
};

enum RecordHeaderResult {
    RECORD_HEADER_READ,   // name, size and CRC-32 read
    RECORD_END_MARKER,    // a lone 0x0000 unit: the stream's end
    RECORD_NAME_CUT,      // `read` failed inside the name
    RECORD_NAME_TOO_LONG, // ENTRY_NAME_CAPACITY units without a terminator
    RECORD_FIELDS_CUT     // `read` failed inside the size or the CRC-32
};

// Fills `destination` with the stream's next `count` bytes; false when the
// stream cannot give them (its own failure reports stay the caller's).
typedef bool (*RecordByteRead)(void *source, unsigned char *destination, size_t count);

// Reads the next record's header into `header`. The name is read unit by
// unit, so nothing past its terminator is asked for before the size and
// CRC-32; a name with no terminator within ENTRY_NAME_CAPACITY units stops
// after that unit, the rest of the stream unread.
RecordHeaderResult readRecordHeader(RecordByteRead read, void *source, RecordHeader *header);
