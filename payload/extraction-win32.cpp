#include "payload/extraction.h"

#include "base/diagnostics.h"
#include "base/wide_append.h"
#include "paths/target_directory.h"
#include "format/attached_data.h"
#include "format/crc32.h"
#include "payload/directories.h"
#include "format/entry_name.h"
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

// The main thread decodes into these; WriterTargetPath and
// WriterTemporaryPath belong to the writer thread, and are read elsewhere
// only once it is idle.
static wchar_t EntryName[ENTRY_NAME_CAPACITY];
static wchar_t TargetFilePath[PATH_CAPACITY];
static wchar_t TemporaryPath[PATH_CAPACITY];
static wchar_t WriterTargetPath[PATH_CAPACITY];
static wchar_t WriterTemporaryPath[PATH_CAPACITY];

// The temporary file being written, if any, the CRC-32 of what was written
// to it and the stored one, or whether the file was in place already
// (writer thread).
static HANDLE openTemporary = INVALID_HANDLE_VALUE;
static uint32_t writtenCrc;
static uint32_t expectedCrc;
static bool reusingFile;
// Written files are opened again by the writer and held, by their place in
// PendingFiles, until they are moved into place: a move by handle is one
// request to Wine's server where a move by name is four, and the moves come
// after the stream, when nothing else overlaps them (by name they took 0.06
// to 0.2 s of a cold start of 0.6 to 1 s). Null: closed, or never held.
// Kept by the writer thread, read elsewhere only once it is idle.
static HANDLE HeldFiles[HELD_FILES_CAPACITY];
// Numbers the temporary files of this process.
static uint32_t temporaryCount;

// Files queued since the stream was last seen to end, one after the other:
// the stored crc (two units), the temporary's number (two units), flags,
// then the name and its terminator. Kept by the main thread, which adds an
// entry when it queues the file; the writer thread marks the ones it found
// in place already, which have no temporary file.
enum { PENDING_HEADER_UNITS = 5 };
enum { PENDING_EMPTY = 1, PENDING_REUSED = 2 };
static wchar_t PendingFiles[PENDING_FILES_CAPACITY];
static size_t pendingLength;
static size_t pendingCount;

// While set, a process end (every failure goes through exit) removes what
// this start has not yet put in place.
static bool extractionUnfinished;

// --- The write queue -----------------------------------------------------------
//
// The main thread decodes straight into pieces of a ring; the writer thread
// checks each file on disk and creates and writes the missing or changed
// ones, in queue order, so a start costs about the longer of decoding and
// checking or writing. The writer never reports: its first failure is kept,
// later pieces are only passed over, and the main thread reports it as the
// sequential order would have.

enum PieceKind { PIECE_OPEN, PIECE_CONTENT, PIECE_CLOSE };
struct Piece {
    PieceKind kind;
    uint32_t size;   // PIECE_CONTENT: bytes in data; PIECE_OPEN: 1 for an empty file
    uint32_t number; // PIECE_OPEN: the temporary's number; data: the name
    uint32_t entry;  // PIECE_OPEN: where the file's entry starts in PendingFiles
    uint32_t slot;   // PIECE_CLOSE: the file's place in PendingFiles
    uint32_t crc;    // PIECE_OPEN: the record's stored CRC-32
    unsigned char data[COPY_PIECE_SIZE];
};
static_assert(ENTRY_NAME_CAPACITY * sizeof(wchar_t) <= COPY_PIECE_SIZE, "a name fits a piece");
static Piece WriteQueue[WRITE_QUEUE_PIECES];
// Under queueLock. Pieces queueTail up to queueHead are the writer's. A
// slim lock and condition variables, because under Wine a kernel semaphore
// or event costs a server round trip per piece, more than the write itself.
static size_t queueHead; // the next piece the main thread fills
static size_t queueTail; // the next piece the writer writes
static SRWLOCK queueLock = SRWLOCK_INIT;
static CONDITION_VARIABLE pieceQueued = CONDITION_VARIABLE_INIT;
static CONDITION_VARIABLE pieceWritten = CONDITION_VARIABLE_INIT;
// Under queueLock: a sleeping side is woken only once a batch of pieces is
// waiting for it (or at the end), not for every piece: each wake-up is a
// system call and a switch of threads.
static bool writerSleeps;
static bool decoderSleeps;
static size_t decoderWaitsForQueued; // wake the decoder at this many queued or fewer

static HANDLE writerThread;

enum WriterFailure { WRITER_OK, WRITER_OPEN_FAILED, WRITER_WRITE_FAILED, WRITER_CONTENT_DAMAGED };
static volatile LONG writerFailure = WRITER_OK;
static DWORD writerErrorCode;

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

// The temporary name of file `number` beside `finalPath`, into `path`.
static void buildTemporaryPath(wchar_t *path, const wchar_t *finalPath, uint32_t number) {
    path[0] = 0;
    appendWideString(path, finalPath, PATH_CAPACITY);
    wchar_t *separator = wcsrchr(path, L'\\');
    if (separator != nullptr) {
        separator[1] = 0;
    }
    appendWideString(path, TEMPORARY_PREFIX, PATH_CAPACITY);
    appendNumber(path, GetCurrentProcessId());
    appendWideChar(path, L'-', PATH_CAPACITY);
    appendNumber(path, number);
    appendWideString(path, TEMPORARY_SUFFIX, PATH_CAPACITY);
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
    // A directory this start made held nothing of a start that had ended.
    if (directoryCreatedHere(pattern, directoryLength - 1)) {
        return;
    }
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

// --- Writing (writer thread) ----------------------------------------------------

static void failWriter(WriterFailure failure, DWORD errorCode) {
    writerErrorCode = errorCode;
    InterlockedExchange(&writerFailure, failure);
}

// Creates the temporary file of the piece's name beside its final name,
// WriterTargetPath.
static void openTemporaryFile(const Piece *piece) {
    if (!mayBeReplaced(WriterTargetPath) || !createParentDirectories(WriterTargetPath)) {
        failWriter(WRITER_OPEN_FAILED, 0);
        return;
    }
    removeStaleTemporaries(WriterTargetPath);
    buildTemporaryPath(WriterTemporaryPath, WriterTargetPath, piece->number);
    // A leftover of an earlier process with the same id goes first; a link
    // planted under this name is removed, not followed.
    DeleteFileW(WriterTemporaryPath);
    // Read sharing only: no other start can remove it while it is written.
    openTemporary = CreateFileW(WriterTemporaryPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (openTemporary == INVALID_HANDLE_VALUE) {
        failWriter(WRITER_OPEN_FAILED, 0);
    }
}

static void writePiece(const Piece *piece) {
    switch (piece->kind) {
    case PIECE_OPEN:
        buildTargetPath(WriterTargetPath, reinterpret_cast<const wchar_t *>(piece->data));
        // Checked here, while the main thread decodes on: its content
        // waits in the queue and is passed over when the file is in place.
        reusingFile = fileMatches(WriterTargetPath, piece->crc, piece->size != 0);
        if (reusingFile) {
            PendingFiles[piece->entry + 4] |= PENDING_REUSED;
            break;
        }
        openTemporaryFile(piece);
        writtenCrc = 0;
        expectedCrc = piece->crc;
        break;
    case PIECE_CONTENT: {
        if (reusingFile) {
            break;
        }
        writtenCrc = continueCrc32(writtenCrc, piece->data, piece->size);
        DWORD written = 0;
        if (!WriteFile(openTemporary, piece->data, piece->size, &written, nullptr)) {
            failWriter(WRITER_WRITE_FAILED, GetLastError());
        }
        break;
    }
    case PIECE_CLOSE:
        if (reusingFile) {
            break;
        }
        // The same 0-to-1 rule as the file checksum. The file stays open
        // for the clean-up at exit.
        if ((writtenCrc == NO_FILE_CHECKSUM ? 1 : writtenCrc) != expectedCrc) {
            failWriter(WRITER_CONTENT_DAMAGED, 0);
            break;
        }
        CloseHandle(openTemporary);
        openTemporary = INVALID_HANDLE_VALUE;
        if (piece->slot < HELD_FILES_CAPACITY) {
            // Held with delete access alone: once the file has its final
            // name, another launcher can still start it (a handle that may
            // write would make that a sharing violation) or replace it.
            HANDLE held =
                CreateFileW(WriterTemporaryPath, DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            HeldFiles[piece->slot] = held == INVALID_HANDLE_VALUE ? nullptr : held;
        }
        break;
    }
}

static DWORD WINAPI writeQueuedPieces(void *) {
    for (;;) {
        AcquireSRWLockExclusive(&queueLock);
        while (queueTail == queueHead) {
            writerSleeps = true;
            SleepConditionVariableSRW(&pieceQueued, &queueLock, INFINITE, 0);
            writerSleeps = false;
        }
        const Piece *piece = &WriteQueue[queueTail % WRITE_QUEUE_PIECES];
        ReleaseSRWLockExclusive(&queueLock);
        if (writerFailure == WRITER_OK) {
            writePiece(piece);
        }
        AcquireSRWLockExclusive(&queueLock);
        ++queueTail;
        bool wake = decoderSleeps && queueHead - queueTail <= decoderWaitsForQueued;
        ReleaseSRWLockExclusive(&queueLock);
        if (wake) {
            WakeConditionVariable(&pieceWritten);
        }
    }
}

// --- Writing (main thread) -------------------------------------------------------

// Under queueLock: sleeps until at most `queued` pieces wait for the writer,
// waking it first if it sleeps on pieces.
static void waitForQueuedAtMost(size_t queued) {
    while (queueHead - queueTail > queued) {
        if (writerSleeps) {
            WakeConditionVariable(&pieceQueued);
        }
        decoderSleeps = true;
        decoderWaitsForQueued = queued;
        SleepConditionVariableSRW(&pieceWritten, &queueLock, INFINITE, 0);
        decoderSleeps = false;
    }
}

// A free piece to fill; it goes to the writer with queuePiece(). When the
// queue is full, waits until a batch of pieces is free.
static Piece *claimPiece() {
    AcquireSRWLockExclusive(&queueLock);
    if (queueHead - queueTail == WRITE_QUEUE_PIECES) {
        waitForQueuedAtMost(size_t{WRITE_QUEUE_PIECES} - WAKE_BATCH_PIECES);
    }
    ReleaseSRWLockExclusive(&queueLock);
    return &WriteQueue[queueHead % WRITE_QUEUE_PIECES];
}

static void queuePiece() {
    AcquireSRWLockExclusive(&queueLock);
    ++queueHead;
    bool wake = writerSleeps && queueHead - queueTail >= WAKE_BATCH_PIECES;
    ReleaseSRWLockExclusive(&queueLock);
    if (wake) {
        WakeConditionVariable(&pieceQueued);
    }
}

// Returns once the writer has handled every piece queued so far. A piece
// claimed but not queued (a failure while decoding into it) is left out.
static void waitForWriter() {
    AcquireSRWLockExclusive(&queueLock);
    waitForQueuedAtMost(0);
    ReleaseSRWLockExclusive(&queueLock);
}

// After waitForWriter(): the writer's failure, reported as if the
// extraction had met it on this thread.
static void reportWriterFailure() {
    switch (writerFailure) {
    case WRITER_OK:
        return;
    case WRITER_OPEN_FAILED:
        fatalOpenError(WriterTargetPath);
    case WRITER_WRITE_FAILED:
        fatalSystemError("Error, couldn't unpack file to target path.", writerErrorCode);
    case WRITER_CONTENT_DAMAGED:
        fatalError(DECODE_FAILURE);
    }
}

static void reportEarlierFailure() {
    waitForWriter();
    reportWriterFailure();
}

static void startWriter() {
    writerThread = CreateThread(nullptr, 0, writeQueuedPieces, nullptr, 0, nullptr);
    if (writerThread == nullptr) {
        fatalError("Error, couldn't allocate memory.");
    }
}

// Ends when the writer has failed, at the failure it met first.
static void checkWriter() {
    if (writerFailure != WRITER_OK) {
        reportEarlierFailure();
    }
}

// The 32-bit number stored in two units of a pending entry.
static uint32_t pendingNumber(const wchar_t *units) {
    return static_cast<uint32_t>(units[0]) | static_cast<uint32_t>(units[1]) << 16;
}

static void closeHeldFiles() {
    for (HANDLE &file : HeldFiles) {
        if (file != nullptr) {
            CloseHandle(file);
            file = nullptr;
        }
    }
}

// Runs at exit, when the writer is idle (see reportEarlierFailure).
static void discardUnfinishedFiles() {
    if (!extractionUnfinished) {
        return;
    }
    if (openTemporary != INVALID_HANDLE_VALUE) {
        CloseHandle(openTemporary);
    }
    closeHeldFiles();
    for (size_t at = 0; at < pendingLength;) {
        const wchar_t *entry = PendingFiles + at;
        if ((entry[4] & PENDING_REUSED) == 0) {
            buildTargetPath(TargetFilePath, entry + PENDING_HEADER_UNITS);
            buildTemporaryPath(TemporaryPath, TargetFilePath, pendingNumber(entry + 2));
            DeleteFileW(TemporaryPath);
        }
        at += PENDING_HEADER_UNITS + wcslen(entry + PENDING_HEADER_UNITS) + 1;
    }
    removeCreatedDirectories();
}

// A rename request with room for any target path.
static union {
    FILE_RENAME_INFO info;
    unsigned char bytes[sizeof(FILE_RENAME_INFO) + PATH_CAPACITY * sizeof(wchar_t)];
} RenameRequest;

// Moves a held file to `finalPath`, replacing what is there; closes it.
static bool moveHeldFile(HANDLE file, const wchar_t *finalPath) {
    size_t length = wcslen(finalPath);
    RenameRequest.info.ReplaceIfExists = TRUE;
    RenameRequest.info.RootDirectory = nullptr;
    RenameRequest.info.FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
    wmemcpy(RenameRequest.info.FileName, finalPath, length + 1);
    bool moved = SetFileInformationByHandle(file, FileRenameInfo, &RenameRequest.info,
                                            sizeof RenameRequest) != 0;
    CloseHandle(file);
    return moved;
}

// Moves every pending file to its final name, once the writer is idle. A
// move that fails is fine when the file there now matches (another launcher
// put it in place and may be running it); anything else is the open failure.
static void commitPendingFiles() {
    size_t slot = 0;
    for (size_t at = 0; at < pendingLength; ++slot) {
        const wchar_t *entry = PendingFiles + at;
        at += PENDING_HEADER_UNITS + wcslen(entry + PENDING_HEADER_UNITS) + 1;
        if ((entry[4] & PENDING_REUSED) != 0) {
            continue;
        }
        uint32_t storedCrc = pendingNumber(entry);
        buildTargetPath(TargetFilePath, entry + PENDING_HEADER_UNITS);
        buildTemporaryPath(TemporaryPath, TargetFilePath, pendingNumber(entry + 2));
        HANDLE held = slot < HELD_FILES_CAPACITY ? HeldFiles[slot] : nullptr;
        if (held != nullptr) {
            HeldFiles[slot] = nullptr;
        }
        bool moved = held != nullptr ? moveHeldFile(held, TargetFilePath) : false;
        if (!moved && !MoveFileExW(TemporaryPath, TargetFilePath, MOVEFILE_REPLACE_EXISTING)) {
            if (!fileMatches(TargetFilePath, storedCrc, (entry[4] & PENDING_EMPTY) != 0)) {
                fatalOpenError(TargetFilePath);
            }
            DeleteFileW(TemporaryPath);
        }
    }
    pendingLength = 0;
    pendingCount = 0;
}

// Returns the file's place in PendingFiles; `*at`, where its entry starts.
static size_t addPendingFile(uint32_t storedCrc, uint32_t number, bool empty, size_t *at) {
    size_t nameLength = wcslen(EntryName);
    if (pendingLength + PENDING_HEADER_UNITS + nameLength + 1 > PENDING_FILES_CAPACITY) {
        reportEarlierFailure();
        commitPendingFiles();
    }
    *at = pendingLength;
    wchar_t *entry = PendingFiles + pendingLength;
    entry[0] = static_cast<wchar_t>(storedCrc & 0xFFFF);
    entry[1] = static_cast<wchar_t>(storedCrc >> 16);
    entry[2] = static_cast<wchar_t>(number & 0xFFFF);
    entry[3] = static_cast<wchar_t>(number >> 16);
    entry[4] = empty ? PENDING_EMPTY : 0;
    wmemcpy(entry + PENDING_HEADER_UNITS, EntryName, nameLength + 1);
    pendingLength += PENDING_HEADER_UNITS + nameLength + 1;
    return pendingCount++;
}

// Decodes the record's content into the write queue. The writer leaves a
// file that matches in place and passes over its content; any other it
// puts in a new temporary file beside its final name, checking its CRC-32
// on the way.
static void queueFile(uint64_t size, uint32_t storedCrc) {
    if (writerThread == nullptr) {
        startWriter();
    }
    checkWriter();
    uint32_t number = temporaryCount++;
    size_t at = 0;
    uint32_t slot = static_cast<uint32_t>(addPendingFile(storedCrc, number, size == 0, &at));
    Piece *piece = claimPiece();
    piece->kind = PIECE_OPEN;
    piece->size = size == 0 ? 1 : 0;
    piece->number = number;
    piece->entry = static_cast<uint32_t>(at);
    piece->crc = storedCrc;
    wmemcpy(reinterpret_cast<wchar_t *>(piece->data), EntryName, wcslen(EntryName) + 1);
    queuePiece();
    while (size > 0) {
        checkWriter();
        size_t n = nextPieceSize(size);
        piece = claimPiece();
        readPayloadBytes(piece->data, n);
        piece->kind = PIECE_CONTENT;
        piece->size = static_cast<uint32_t>(n);
        queuePiece();
        size -= n;
    }
    piece = claimPiece();
    piece->kind = PIECE_CLOSE;
    piece->slot = slot;
    queuePiece();
}

void extractPayloadFiles() {
    extractionUnfinished = true;
    atexit(discardUnfinishedFiles);
    // A failure of this thread is reported only once the writer is idle, and
    // only when the writer met none earlier in the stream.
    setBeforeFatalReport(reportEarlierFailure);
    while (readEntryName()) {
        if (!isContainedEntryName(EntryName)) {
            fatalError(DECODE_FAILURE);
        }
        if (ChildProgramPath[0] == 0) {
            buildTargetPath(ChildProgramPath, EntryName);
        }
        uint64_t size = readLittleEndian(8);
        uint32_t storedCrc = static_cast<uint32_t>(readLittleEndian(4));
        checkRecordAgainstIndex(EntryName, size, storedCrc);
        // No content has a stored crc of 0; it would pass for a missing file.
        if (storedCrc == NO_FILE_CHECKSUM) {
            fatalError(DECODE_FAILURE);
        }
        queueFile(size, storedCrc);
    }
    checkIndexComplete();
    finishPayloadStream();
    closePayloadStream();
    reportEarlierFailure();
    commitPendingFiles();
    setBeforeFatalReport(nullptr);
    extractionUnfinished = false;
}
