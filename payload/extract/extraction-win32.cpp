#include "payload/extract/extraction.h"

#include "base/diagnostics.h"
#include "format/attached_data.h"
#include "format/entry_name.h"
#include "format/record_header.h"
#include "paths/target_directory.h"
#include "payload/stream/payload_stream.h"
#include "payload/write/write_queue.h"

#include <stdint.h>
#include <stdlib.h>

static const char DECODE_FAILURE[] = "Error, couldn't decode attached data.";

wchar_t ChildProgramPath[PATH_CAPACITY];

static RecordHeader Record;

// The payload stream ends the process itself where it cannot give bytes.
static bool readFromPayload(void *, unsigned char *destination, size_t count) {
    readPayloadBytes(destination, count);
    return true;
}

// Reads the next record's header into Record; false at the end marker. No
// packer writes a name that leaves no room for its terminator: damaged data.
static bool readEntryHeader() {
    RecordHeaderResult result = readRecordHeader(readFromPayload, nullptr, &Record);
    if (result != RECORD_HEADER_READ && result != RECORD_END_MARKER) {
        fatalError(DECODE_FAILURE);
    }
    return result == RECORD_HEADER_READ;
}

// Decodes the record's content into the write queue, piece by piece.
static void queueFile(uint64_t size, uint32_t crc) {
    queueFileStart(Record.name, size == 0, crc);
    while (size > 0) {
        size_t piece = size < COPY_PIECE_SIZE ? static_cast<size_t>(size) : size_t{COPY_PIECE_SIZE};
        readPayloadBytes(claimContentPiece(), piece);
        queueContentPiece(piece);
        size -= piece;
    }
    queueFileEnd();
}

void extractPayloadFiles(const RecordCheck *check) {
    setFrameStartCheck(check != nullptr ? check->checkFrameStart : nullptr);
    beginQueuedFiles();
    while (readEntryHeader()) {
        if (!isContainedEntryName(Record.name)) {
            fatalError(DECODE_FAILURE);
        }
        // A path that does not fit ends the process (abort), as its file's would.
        if (ChildProgramPath[0] == 0 &&
            !buildTargetPath(ChildProgramPath, Record.name, Record.nameLength)) {
            abort();
        }
        uint64_t size = Record.size;
        uint32_t crc = Record.crc;
        if (check != nullptr) {
            check->checkRecord(Record.name, size, crc);
        }
        // No record stores a crc of 0 (storedCrc(), format/attached_data.h):
        // it would pass for a missing file.
        if (crc == 0) {
            fatalError(DECODE_FAILURE);
        }
        queueFile(size, crc);
    }
    if (check != nullptr) {
        check->checkEnd();
    }
    finishPayloadStream();
    closePayloadStream();
    finishQueuedFiles();
}
