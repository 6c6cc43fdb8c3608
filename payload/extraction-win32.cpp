#include "payload/extraction.h"

#include "launcher/diagnostics.h"
#include "paths/target_directory.h"
#include "paths/wide_append.h"
#include "payload/attached_data_format.h"
#include "payload/directories.h"
#include "payload/file_checksum.h"
#include "payload/index_check.h"
#include "payload/payload_stream.h"

#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

wchar_t ChildProgramPath[PATH_CAPACITY];

static wchar_t EntryName[ENTRY_NAME_CAPACITY];
static wchar_t TargetFilePath[PATH_CAPACITY];
static unsigned char CopyBuffer[COPY_PIECE_SIZE];

// Reads the next name into EntryName; false at the end marker. A name that
// would not leave room for its terminator ends the process.
static bool readEntryName() {
    for (size_t i = 0;; ++i) {
        if (i == ENTRY_NAME_CAPACITY) {
            abort();
        }
        unsigned char unit[2];
        readPayloadBytes(unit, sizeof unit);
        EntryName[i] = static_cast<wchar_t>(unit[0] | unit[1] << 8);
        if (EntryName[i] == 0) {
            return i > 0;
        }
    }
}

static uint64_t readLittleEndian(size_t bytes) {
    unsigned char data[8];
    readPayloadBytes(data, bytes);
    uint64_t value = 0;
    for (size_t i = bytes; i > 0; --i) {
        value = value << 8 | data[i - 1];
    }
    return value;
}

static void skipContent(uint64_t size) {
    while (size > 0) {
        size_t n = size < COPY_PIECE_SIZE ? static_cast<size_t>(size) : size_t{COPY_PIECE_SIZE};
        readPayloadBytes(CopyBuffer, n);
        size -= n;
    }
}

static void writeContent(uint64_t size) {
    createParentDirectories(TargetFilePath);
    HANDLE file = CreateFileW(TargetFilePath, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "Error, failed to open '%ls' for writing.\n", TargetFilePath);
        exit(FATAL_EXIT_STATUS);
    }
    while (size > 0) {
        size_t n = size < COPY_PIECE_SIZE ? static_cast<size_t>(size) : size_t{COPY_PIECE_SIZE};
        readPayloadBytes(CopyBuffer, n);
        DWORD written = 0;
        if (!WriteFile(file, CopyBuffer, static_cast<DWORD>(n), &written, nullptr)) {
            printSystemError("Error, couldn't unpack file to target path.", GetLastError());
            exit(FATAL_EXIT_STATUS);
        }
        size -= n;
    }
    CloseHandle(file);
}

void extractPayloadFiles() {
    while (readEntryName()) {
        TargetFilePath[0] = 0;
        appendWideString(TargetFilePath, TargetDirectory, PATH_CAPACITY);
        appendWideChar(TargetFilePath, L'\\', PATH_CAPACITY);
        appendWideString(TargetFilePath, EntryName, PATH_CAPACITY);
        if (ChildProgramPath[0] == 0) {
            appendWideString(ChildProgramPath, TargetFilePath, PATH_CAPACITY);
        }
        uint64_t size = readLittleEndian(8);
        uint32_t storedCrc = static_cast<uint32_t>(readLittleEndian(4));
        checkRecordAgainstIndex(EntryName, size, storedCrc);
        if (computeFileChecksum(TargetFilePath) == storedCrc) {
            skipContent(size);
        } else {
            writeContent(size);
        }
    }
    checkIndexComplete();
    closePayloadStream();
}
