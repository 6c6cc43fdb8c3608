#include "payload/extract/extraction.h"

#include "base/diagnostics.h"
#include "format/attached_data.h"
#include "format/entry_name.h"
#include "format/little_endian.h"
#include "paths/target_directory.h"
#include "payload/stream/payload_stream.h"
#include "payload/write/write_queue.h"

#include <stdint.h>

static const char DECODE_FAILURE[] = "Error, couldn't decode attached data.";

wchar_t ChildProgramPath[PATH_CAPACITY];

static wchar_t EntryName[ENTRY_NAME_CAPACITY];

// Reads the next name into EntryName; false at the end marker. No packer
// writes a name that leaves no room for its terminator: damaged data.
static bool readEntryName() {
    for (size_t i = 0;; ++i) {
        if (i == ENTRY_NAME_CAPACITY) {
            fatalError(DECODE_FAILURE);
        }
        unsigned char unit[2];
        readPayloadBytes(unit, sizeof unit);
        EntryName[i] = static_cast<wchar_t>(readLe16(unit));
        if (EntryName[i] == 0) {
            return i > 0;
        }
    }
}

static uint64_t readPayloadNumber(size_t bytes) {
    unsigned char data[8];
    readPayloadBytes(data, bytes);
    return readLittleEndian(data, bytes);
}

// Decodes the record's content into the write queue, piece by piece.
static void queueFile(uint64_t size, uint32_t crc) {
    queueFileStart(EntryName, size == 0, crc);
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
    while (readEntryName()) {
        if (!isContainedEntryName(EntryName)) {
            fatalError(DECODE_FAILURE);
        }
        if (ChildProgramPath[0] == 0) {
            buildTargetPath(ChildProgramPath, EntryName);
        }
        uint64_t size = readPayloadNumber(8);
        uint32_t crc = static_cast<uint32_t>(readPayloadNumber(4));
        if (check != nullptr) {
            check->checkRecord(EntryName, size, crc);
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
