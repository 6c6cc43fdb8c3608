#include "payload/write_queue.h"

#include "base/diagnostics.h"
#include "format/attached_data.h"
#include "format/crc32.h"
#include "paths/target_directory.h"
#include "payload/directories.h"
#include "payload/file_checksum.h"
#include "payload/safe_delete.h"
#include "payload/temporaries.h"
#include "payload/unpack_progress.h"

#include <windows.h>

#include <atomic>
#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>

static const char DECODE_FAILURE[] = "Error, couldn't decode attached data.";

// --- Pending files -----------------------------------------------------------

// A file queued since the run last put files into place. The main thread
// fills it before it queues the file; the writer then sets `reused` and
// `held`, which the main thread reads only once the writer is idle.
struct PendingFile {
    uint32_t crc;    // the record's stored CRC-32
    uint32_t number; // its temporary's number
    uint32_t nameAt; // where its name starts in PendingNames
    bool empty;
    bool reused; // found in place by the writer: it has no temporary file
    // Paused so far for programs holding it (LOCKED_FILE_WAIT_MS): by the
    // writer, then by the main thread as it goes into place.
    uint16_t waitedMs;
    // Written files are opened again by the writer and held, the first
    // HELD_FILES_CAPACITY of a batch, until they are moved into place: a move
    // by handle is one request to Wine's server where a move by name is four,
    // and the moves come after the stream, when nothing else overlaps them
    // (by name they take 0.06 to 0.2 s of a cold start of 0.6 to 1 s).
    // Null: closed, or never held.
    HANDLE held;
};
static PendingFile PendingFiles[PENDING_FILES_CAPACITY];
static wchar_t PendingNames[PENDING_NAME_UNITS_CAPACITY];
static size_t pendingCount;
static size_t pendingNameUnits;

// The main thread's paths, for moving and removing pending files.
static wchar_t TargetFilePath[PATH_CAPACITY];
static wchar_t TemporaryPath[PATH_CAPACITY];

// Numbers the temporary files of this process.
static uint32_t temporaryCount;
// The file whose pieces the main thread queues.
static uint32_t queuedFile;

// While set, a process end (every failure goes through exit) removes what
// this run has not yet put in place.
static bool runUnfinished;

// --- The queue -----------------------------------------------------------------
//
// The main thread decodes straight into pieces of a ring; the writer thread
// checks each file on disk and creates and writes the missing or changed
// ones, in queue order, so a start costs about the longer of decoding and
// checking or writing.

enum PieceKind { PIECE_OPEN, PIECE_CONTENT, PIECE_CLOSE };
struct Piece {
    PieceKind kind;
    uint32_t size; // PIECE_CONTENT: bytes in data
    uint32_t file; // PIECE_OPEN, PIECE_CLOSE: the file's place in PendingFiles
    // Cache-line aligned, for the copy out of the decoder's window and the
    // CRC-32 over it.
    alignas(64) unsigned char data[COPY_PIECE_SIZE];
};
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

// --- The writer thread ---------------------------------------------------------

// Its paths, read elsewhere only once it is idle.
static wchar_t WriterTargetPath[PATH_CAPACITY];
static wchar_t WriterTemporaryPath[PATH_CAPACITY];
// The temporary file being written, if any, and the CRC-32 of what was
// written to it, or whether the file is in place already.
static HANDLE openTemporary = INVALID_HANDLE_VALUE;
static uint32_t writtenCrc;
static bool reusingFile;
static PendingFile *writtenFile; // the file those are of

enum WriterFailure { WRITER_OK, WRITER_OPEN_FAILED, WRITER_WRITE_FAILED, WRITER_CONTENT_DAMAGED };
// Set once, after writerErrorCode, by the writer; the main thread looks at
// it before each piece and reports it once the writer is idle.
static std::atomic<WriterFailure> writerFailure{WRITER_OK};
static DWORD writerErrorCode;

static void failWriter(WriterFailure failure, DWORD errorCode) {
    writerErrorCode = errorCode;
    writerFailure.store(failure, std::memory_order_release);
}

// --- Files held by others for a moment -----------------------------------------

static bool isLockedFileError(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED;
}

bool waitOutLockedFile(uint16_t *waitedMs) {
    if (!isLockedFileError(GetLastError()) || *waitedMs >= LOCKED_FILE_WAIT_MS) {
        return false;
    }
    // Doubling: the next pause is all paused so far plus the first.
    DWORD pause = *waitedMs + DWORD{FIRST_LOCK_PAUSE_MS};
    pause = pause < LONGEST_LOCK_PAUSE_MS ? pause : DWORD{LONGEST_LOCK_PAUSE_MS};
    DWORD left = LOCKED_FILE_WAIT_MS - *waitedMs;
    pause = pause < left ? pause : left;
    Sleep(pause);
    *waitedMs = static_cast<uint16_t>(*waitedMs + pause);
    return true;
}

static bool isPlainEmptyFile(const wchar_t *path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) {
        return false;
    }
    return (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
               0 &&
           data.nFileSizeHigh == 0 && data.nFileSizeLow == 0;
}

// Whether the file at `path` has the record's content. With `waitedMs`, a
// file held without read sharing is waited for (waitOutLockedFile), so that
// it is not taken for a missing one; access denied is not waited for when
// reading: that is a folder, or a file being deleted.
static bool fileMatches(const wchar_t *path, uint32_t crc, bool empty, uint16_t *waitedMs) {
    if (empty) {
        return isPlainEmptyFile(path);
    }
    for (;;) {
        uint32_t found = computeFileChecksum(path);
        if (found != NO_FILE_CHECKSUM) {
            return found == crc;
        }
        if (waitedMs == nullptr || GetLastError() == ERROR_ACCESS_DENIED ||
            !waitOutLockedFile(waitedMs)) {
            return false;
        }
    }
}

// A folder, link or junction where the file must go is never replaced.
static bool mayBeReplaced(const wchar_t *path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes == INVALID_FILE_ATTRIBUTES ||
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// Creates the file's temporary beside its final name, WriterTargetPath.
static void openTemporaryFile(PendingFile *file) {
    if (!mayBeReplaced(WriterTargetPath) || !createParentDirectories(WriterTargetPath)) {
        failWriter(WRITER_OPEN_FAILED, 0);
        return;
    }
    removeStaleTemporaries(WriterTargetPath);
    buildTemporaryPath(WriterTemporaryPath, WriterTargetPath, file->number);
    // A leftover of an earlier process with the same id goes first, unless
    // it is a link: that stays, and creating the file then fails.
    deletePlainFile(WriterTemporaryPath);
    // Read sharing only: no other start can remove it while it is written.
    do {
        openTemporary = CreateFileW(WriterTemporaryPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    } while (openTemporary == INVALID_HANDLE_VALUE && waitOutLockedFile(&file->waitedMs));
    if (openTemporary == INVALID_HANDLE_VALUE) {
        failWriter(WRITER_OPEN_FAILED, 0);
    }
}

// Checked here, while the main thread decodes on: the file's content waits
// in the queue and is passed over when the file is in place.
static void startFile(PendingFile *file) {
    writtenFile = file;
    buildTargetPath(WriterTargetPath, PendingNames + file->nameAt);
    reusingFile = fileMatches(WriterTargetPath, file->crc, file->empty, &file->waitedMs);
    if (reusingFile) {
        file->reused = true;
        return;
    }
    openTemporaryFile(file);
    writtenCrc = 0;
}

static void writeContent(const Piece *piece) {
    countUnpackedContent(piece->size, !reusingFile);
    if (reusingFile) {
        return;
    }
    writtenCrc = continueCrc32(writtenCrc, piece->data, piece->size);
    DWORD written = 0;
    while (!WriteFile(openTemporary, piece->data, piece->size, &written, nullptr)) {
        if (!waitOutLockedFile(&writtenFile->waitedMs)) {
            failWriter(WRITER_WRITE_FAILED, GetLastError());
            return;
        }
    }
}

// A damaged file stays open for the clean-up at exit.
static void endFile(PendingFile *file, uint32_t slot) {
    countFinishedFile();
    if (reusingFile) {
        return;
    }
    if (storedCrc(writtenCrc) != file->crc) {
        failWriter(WRITER_CONTENT_DAMAGED, 0);
        return;
    }
    CloseHandle(openTemporary);
    openTemporary = INVALID_HANDLE_VALUE;
    if (slot < HELD_FILES_CAPACITY) {
        // Held with delete access alone: once the file has its final name,
        // another launcher can still start it (a handle that may write
        // would make that a sharing violation) or replace it. Not waited
        // for when a scanner holds it: that would stall the writer for each
        // file's hold, while by the end most holds are over and the move by
        // name waits out the rest.
        HANDLE held = CreateFileW(WriterTemporaryPath, DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        file->held = held == INVALID_HANDLE_VALUE ? nullptr : held;
    }
}

static void writePiece(const Piece *piece) {
    switch (piece->kind) {
    case PIECE_OPEN:
        startFile(&PendingFiles[piece->file]);
        break;
    case PIECE_CONTENT:
        writeContent(piece);
        break;
    case PIECE_CLOSE:
        endFile(&PendingFiles[piece->file], piece->file);
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
        // Once failed, later pieces are only passed over.
        if (writerFailure.load(std::memory_order_relaxed) == WRITER_OK) {
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

// --- The main thread's side ----------------------------------------------------

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
    switch (writerFailure.load(std::memory_order_acquire)) {
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
    if (writerFailure.load(std::memory_order_relaxed) != WRITER_OK) {
        reportEarlierFailure();
    }
}

// Runs at exit, when the writer is idle (see reportEarlierFailure). This
// run's own temporaries go by name, as they were made (CREATE_NEW):
// deletePlainFile refuses paths longer than MAX_PATH under Wine, whose
// GetFinalPathNameByHandleW fails on them.
static void discardUnfinishedFiles() {
    if (!runUnfinished) {
        return;
    }
    if (openTemporary != INVALID_HANDLE_VALUE) {
        CloseHandle(openTemporary);
    }
    for (size_t i = 0; i < pendingCount; ++i) {
        if (PendingFiles[i].held != nullptr) {
            CloseHandle(PendingFiles[i].held);
            PendingFiles[i].held = nullptr;
        }
    }
    for (size_t i = 0; i < pendingCount; ++i) {
        const PendingFile &file = PendingFiles[i];
        if (!file.reused) {
            buildTargetPath(TargetFilePath, PendingNames + file.nameAt);
            buildTemporaryPath(TemporaryPath, TargetFilePath, file.number);
            DeleteFileW(TemporaryPath);
        }
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

// Moves a written file to its final name, by handle while held, else by
// name. A move that fails is fine when the file there now matches (another
// launcher put it in place and may be running it): the temporary goes
// instead, waited for as the move is. Else the move is made again while
// the file or its final name is held for a moment, and then it is the open
// failure.
static void commitPendingFile(PendingFile *file) {
    buildTargetPath(TargetFilePath, PendingNames + file->nameAt);
    buildTemporaryPath(TemporaryPath, TargetFilePath, file->number);
    HANDLE held = file->held;
    file->held = nullptr;
    if (held != nullptr && moveHeldFile(held, TargetFilePath)) {
        return;
    }
    while (!MoveFileExW(TemporaryPath, TargetFilePath, MOVEFILE_REPLACE_EXISTING)) {
        DWORD error = GetLastError();
        if (fileMatches(TargetFilePath, file->crc, file->empty, nullptr)) {
            while (!DeleteFileW(TemporaryPath) && waitOutLockedFile(&file->waitedMs)) {
            }
            return;
        }
        SetLastError(error);
        if (!waitOutLockedFile(&file->waitedMs)) {
            fatalOpenError(TargetFilePath);
        }
    }
}

// Moves every pending file to its final name, once the writer is idle.
static void commitPendingFiles() {
    for (size_t i = 0; i < pendingCount; ++i) {
        countPlacedFile();
        if (!PendingFiles[i].reused) {
            commitPendingFile(&PendingFiles[i]);
        }
    }
    pendingCount = 0;
    pendingNameUnits = 0;
}

// Returns the file's place in PendingFiles. When they are full, the files
// written so far go into place first.
static uint32_t addPendingFile(const wchar_t *name, bool empty, uint32_t crc, uint32_t number) {
    size_t nameUnits = wcslen(name) + 1;
    if (pendingCount == PENDING_FILES_CAPACITY ||
        pendingNameUnits + nameUnits > PENDING_NAME_UNITS_CAPACITY) {
        reportEarlierFailure();
        commitPendingFiles();
    }
    wmemcpy(PendingNames + pendingNameUnits, name, nameUnits);
    PendingFiles[pendingCount] = {
        crc, number, static_cast<uint32_t>(pendingNameUnits), empty, false, 0, nullptr};
    pendingNameUnits += nameUnits;
    return static_cast<uint32_t>(pendingCount++);
}

void beginQueuedFiles() {
    runUnfinished = true;
    atexit(discardUnfinishedFiles);
    setBeforeFatalReport(reportEarlierFailure);
}

void queueFileStart(const wchar_t *name, bool empty, uint32_t crc) {
    if (writerThread == nullptr) {
        startWriter();
    }
    checkWriter();
    queuedFile = addPendingFile(name, empty, crc, temporaryCount++);
    Piece *piece = claimPiece();
    piece->kind = PIECE_OPEN;
    piece->file = queuedFile;
    queuePiece();
}

unsigned char *claimContentPiece() {
    checkWriter();
    return claimPiece()->data;
}

void queueContentPiece(size_t size) {
    Piece *piece = &WriteQueue[queueHead % WRITE_QUEUE_PIECES];
    piece->kind = PIECE_CONTENT;
    piece->size = static_cast<uint32_t>(size);
    queuePiece();
}

void queueFileEnd() {
    Piece *piece = claimPiece();
    piece->kind = PIECE_CLOSE;
    piece->file = queuedFile;
    queuePiece();
}

void finishQueuedFiles() {
    reportEarlierFailure();
    commitPendingFiles();
    setBeforeFatalReport(nullptr);
    runUnfinished = false;
}
