#include "payload/extraction.h"

#include "base/diagnostics.h"
#include "base/wide_append.h"
#include "paths/target_directory.h"
#include "payload/attached_data_format.h"
#include "payload/crc32.h"
#include "payload/directories.h"
#include "payload/entry_name.h"
#include "payload/file_checksum.h"
#include "payload/index_check.h"
#include "payload/payload_stream.h"

#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static const char DECODE_FAILURE[] = "Error, couldn't decode attached data.";
// Temporary files are "~tallix-<process id>-<number>.tmp" beside their final name.
static const wchar_t TEMPORARY_PREFIX[] = L"~tallix-";
static const wchar_t TEMPORARY_SUFFIX[] = L".tmp";

wchar_t ChildProgramPath[PATH_CAPACITY];

static wchar_t EntryName[ENTRY_NAME_CAPACITY];
static wchar_t TargetFilePath[PATH_CAPACITY];
static wchar_t TemporaryPath[PATH_CAPACITY];
static unsigned char CopyBuffer[COPY_PIECE_SIZE];

// The temporary file being written, if any.
static HANDLE openTemporary = INVALID_HANDLE_VALUE;
// Numbers the temporary files of this process.
static uint32_t temporaryCount;

// Files written under temporary names whose stream has not been seen to end
// yet, one after the other: the stored crc (two units), the temporary's
// number (two units), 1 for an empty file, then the name and its terminator.
enum { PENDING_HEADER_UNITS = 5 };
static wchar_t PendingFiles[PENDING_FILES_CAPACITY];
static size_t pendingLength;

// While set, a process end (every failure goes through exit) removes what
// this start has not yet put in place.
static bool extractionUnfinished;

// --- Reading records --------------------------------------------------------

// Reads the next name into EntryName; false at the end marker. No packer
// writes a name that leaves no room for its terminator: damaged data.
static bool readEntryName() {
    for (size_t i = 0;; ++i) {
        if (i == ENTRY_NAME_CAPACITY) {
            fatalError(DECODE_FAILURE);
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

static size_t nextPieceSize(uint64_t remaining) {
    return remaining < COPY_PIECE_SIZE ? static_cast<size_t>(remaining) : size_t{COPY_PIECE_SIZE};
}

static void skipContent(uint64_t size) {
    while (size > 0) {
        size_t n = nextPieceSize(size);
        readPayloadBytes(CopyBuffer, n);
        size -= n;
    }
}

// --- Paths -------------------------------------------------------------------

static void buildTargetPath(wchar_t *path, const wchar_t *name) {
    path[0] = 0;
    appendWideString(path, TargetDirectory, PATH_CAPACITY);
    appendWideChar(path, L'\\', PATH_CAPACITY);
    appendWideString(path, name, PATH_CAPACITY);
}

static void appendNumber(wchar_t *path, uint32_t number) {
    char text[16];
    snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(number));
    appendNarrowString(path, text, PATH_CAPACITY);
}

// The temporary name of file `number` beside `finalPath`.
static void buildTemporaryPath(const wchar_t *finalPath, uint32_t number) {
    TemporaryPath[0] = 0;
    appendWideString(TemporaryPath, finalPath, PATH_CAPACITY);
    wchar_t *separator = wcsrchr(TemporaryPath, L'\\');
    if (separator != nullptr) {
        separator[1] = 0;
    }
    appendWideString(TemporaryPath, TEMPORARY_PREFIX, PATH_CAPACITY);
    appendNumber(TemporaryPath, GetCurrentProcessId());
    appendWideChar(TemporaryPath, L'-', PATH_CAPACITY);
    appendNumber(TemporaryPath, number);
    appendWideString(TemporaryPath, TEMPORARY_SUFFIX, PATH_CAPACITY);
}

// --- What is on disk -----------------------------------------------------------

static bool isPlainEmptyFile(const wchar_t *path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) {
        return false;
    }
    return (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
               0 &&
           data.nFileSizeHigh == 0 && data.nFileSizeLow == 0;
}

static bool fileMatches(const wchar_t *path, uint32_t storedCrc, bool empty) {
    return empty ? isPlainEmptyFile(path) : computeFileChecksum(path) == storedCrc;
}

// A folder, link or junction where the file must go is never replaced.
static bool mayBeReplaced(const wchar_t *path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes == INVALID_FILE_ATTRIBUTES ||
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

static bool processHasEnded(DWORD processId) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (process == nullptr) {
        // Another user's process may refuse to be opened; it is left alone.
        return GetLastError() == ERROR_INVALID_PARAMETER;
    }
    bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

// Removes the temporary files that starts which have ended (killed, or
// failed without their clean-up) left in the directory of `finalPath`.
static void removeStaleTemporaries(const wchar_t *finalPath) {
    static wchar_t pattern[PATH_CAPACITY];
    static wchar_t sweptDirectory[PATH_CAPACITY];
    pattern[0] = 0;
    appendWideString(pattern, finalPath, PATH_CAPACITY);
    wchar_t *separator = wcsrchr(pattern, L'\\');
    if (separator == nullptr) {
        return;
    }
    separator[1] = 0;
    // Records come directory by directory; one sweep each is enough.
    if (wcscmp(pattern, sweptDirectory) == 0) {
        return;
    }
    sweptDirectory[0] = 0;
    appendWideString(sweptDirectory, pattern, PATH_CAPACITY);
    size_t directoryLength = wcslen(pattern);
    appendWideString(pattern, TEMPORARY_PREFIX, PATH_CAPACITY);
    appendWideString(pattern, L"*", PATH_CAPACITY);
    appendWideString(pattern, TEMPORARY_SUFFIX, PATH_CAPACITY);

    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    size_t prefixLength = wcslen(TEMPORARY_PREFIX);
    do {
        if (wcsncmp(found.cFileName, TEMPORARY_PREFIX, prefixLength) != 0) {
            continue;
        }
        wchar_t *end = nullptr;
        unsigned long owner = wcstoul(found.cFileName + prefixLength, &end, 10);
        if (end == nullptr || *end != L'-' || owner == GetCurrentProcessId() ||
            !processHasEnded(owner)) {
            continue;
        }
        pattern[directoryLength] = 0;
        appendWideString(pattern, found.cFileName, PATH_CAPACITY);
        DeleteFileW(pattern);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// --- Writing -----------------------------------------------------------------

// The 32-bit number stored in two units of a pending entry.
static uint32_t pendingNumber(const wchar_t *units) {
    return static_cast<uint32_t>(units[0]) | static_cast<uint32_t>(units[1]) << 16;
}

static void discardUnfinishedFiles() {
    if (!extractionUnfinished) {
        return;
    }
    if (openTemporary != INVALID_HANDLE_VALUE) {
        CloseHandle(openTemporary);
        DeleteFileW(TemporaryPath);
    }
    for (size_t at = 0; at < pendingLength;) {
        const wchar_t *entry = PendingFiles + at;
        buildTargetPath(TargetFilePath, entry + PENDING_HEADER_UNITS);
        buildTemporaryPath(TargetFilePath, pendingNumber(entry + 2));
        DeleteFileW(TemporaryPath);
        at += PENDING_HEADER_UNITS + wcslen(entry + PENDING_HEADER_UNITS) + 1;
    }
    removeCreatedDirectories();
}

// Moves every pending file to its final name. A move that fails is fine when
// the file there now matches (another launcher put it in place and may be
// running it); anything else is the open failure.
static void commitPendingFiles() {
    for (size_t at = 0; at < pendingLength;) {
        const wchar_t *entry = PendingFiles + at;
        uint32_t storedCrc = pendingNumber(entry);
        buildTargetPath(TargetFilePath, entry + PENDING_HEADER_UNITS);
        buildTemporaryPath(TargetFilePath, pendingNumber(entry + 2));
        if (!MoveFileExW(TemporaryPath, TargetFilePath, MOVEFILE_REPLACE_EXISTING)) {
            if (!fileMatches(TargetFilePath, storedCrc, entry[4] != 0)) {
                fatalOpenError(TargetFilePath);
            }
            DeleteFileW(TemporaryPath);
        }
        at += PENDING_HEADER_UNITS + wcslen(entry + PENDING_HEADER_UNITS) + 1;
    }
    pendingLength = 0;
}

static void addPendingFile(uint32_t storedCrc, uint32_t number, bool empty) {
    size_t nameLength = wcslen(EntryName);
    if (pendingLength + PENDING_HEADER_UNITS + nameLength + 1 > PENDING_FILES_CAPACITY) {
        commitPendingFiles();
    }
    wchar_t *entry = PendingFiles + pendingLength;
    entry[0] = static_cast<wchar_t>(storedCrc & 0xFFFF);
    entry[1] = static_cast<wchar_t>(storedCrc >> 16);
    entry[2] = static_cast<wchar_t>(number & 0xFFFF);
    entry[3] = static_cast<wchar_t>(number >> 16);
    entry[4] = empty ? 1 : 0;
    wmemcpy(entry + PENDING_HEADER_UNITS, EntryName, nameLength + 1);
    pendingLength += PENDING_HEADER_UNITS + nameLength + 1;
}

// Writes the record's content to a new temporary file beside TargetFilePath,
// checking its CRC-32 on the way, and queues it for its final name.
static void writeTemporaryFile(uint64_t size, uint32_t storedCrc) {
    if (!mayBeReplaced(TargetFilePath) || !createParentDirectories(TargetFilePath)) {
        fatalOpenError(TargetFilePath);
    }
    removeStaleTemporaries(TargetFilePath);
    uint32_t number = temporaryCount++;
    buildTemporaryPath(TargetFilePath, number);
    // A leftover of an earlier process with the same id goes first; a link
    // planted under this name is removed, not followed.
    DeleteFileW(TemporaryPath);
    // Read sharing only: no other start can remove it while it is written.
    openTemporary = CreateFileW(TemporaryPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (openTemporary == INVALID_HANDLE_VALUE) {
        fatalOpenError(TargetFilePath);
    }
    const bool empty = size == 0;
    uint32_t crc = 0;
    while (size > 0) {
        size_t n = nextPieceSize(size);
        readPayloadBytes(CopyBuffer, n);
        crc = continueCrc32(crc, CopyBuffer, n);
        DWORD written = 0;
        if (!WriteFile(openTemporary, CopyBuffer, static_cast<DWORD>(n), &written, nullptr)) {
            fatalSystemError("Error, couldn't unpack file to target path.", GetLastError());
        }
        size -= n;
    }
    CloseHandle(openTemporary);
    openTemporary = INVALID_HANDLE_VALUE;
    // The same 0-to-1 rule as the file checksum.
    if ((crc == NO_FILE_CHECKSUM ? 1 : crc) != storedCrc) {
        DeleteFileW(TemporaryPath);
        fatalError(DECODE_FAILURE);
    }
    addPendingFile(storedCrc, number, empty);
}

void extractPayloadFiles() {
    extractionUnfinished = true;
    atexit(discardUnfinishedFiles);
    while (readEntryName()) {
        if (!isContainedEntryName(EntryName)) {
            fatalError(DECODE_FAILURE);
        }
        buildTargetPath(TargetFilePath, EntryName);
        if (ChildProgramPath[0] == 0) {
            appendWideString(ChildProgramPath, TargetFilePath, PATH_CAPACITY);
        }
        uint64_t size = readLittleEndian(8);
        uint32_t storedCrc = static_cast<uint32_t>(readLittleEndian(4));
        checkRecordAgainstIndex(EntryName, size, storedCrc);
        // No content has a stored crc of 0; it would pass for a missing file.
        if (storedCrc == NO_FILE_CHECKSUM) {
            fatalError(DECODE_FAILURE);
        }
        if (fileMatches(TargetFilePath, storedCrc, size == 0)) {
            skipContent(size);
        } else {
            writeTemporaryFile(size, storedCrc);
        }
    }
    checkIndexComplete();
    finishPayloadStream();
    closePayloadStream();
    commitPendingFiles();
    extractionUnfinished = false;
}
