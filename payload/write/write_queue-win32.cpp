#include "payload/write/write_queue.h"

#include "base/diagnostics.h"
#include "base/threads.h"
#include "payload/check/file_checksum.h"

#include <windows.h>

#include <atomic>
#include <stdint.h>

// The file whose pieces the main thread queues.
static uint32_t queuedFile;

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
static bool writerStops; // set at the run's end, once the queue is empty
static bool decoderSleeps;
static size_t decoderWaitsForQueued; // wake the decoder at this many queued or fewer

static Thread WriterThread;

// --- The writer thread ---------------------------------------------------------

// Read elsewhere only once the writer is idle.
static FileWriter Writer;
alignas(64) static unsigned char WriterChecksumBuffer[FILE_CHECKSUM_PIECE_SIZE];
// Set once, after Writer's failure, by the writer; the main thread looks at
// it before each piece and reports it once the writer is idle.
static std::atomic<bool> writerFailed{false};

static void writePiece(const Piece *piece) {
    switch (piece->kind) {
    case PIECE_OPEN:
        startFileWrite(&Writer, piece->file);
        break;
    case PIECE_CONTENT:
        writeFileContent(&Writer, piece->data, piece->size);
        break;
    case PIECE_CLOSE:
        endFileWrite(&Writer);
        break;
    }
    if (Writer.failure != WRITE_OK) {
        writerFailed.store(true, std::memory_order_release);
    }
}

static void writeQueuedPieces() {
    for (;;) {
        AcquireSRWLockExclusive(&queueLock);
        while (queueTail == queueHead && !writerStops) {
            writerSleeps = true;
            SleepConditionVariableSRW(&pieceQueued, &queueLock, INFINITE, 0);
            writerSleeps = false;
        }
        if (queueTail == queueHead) {
            ReleaseSRWLockExclusive(&queueLock);
            return;
        }
        const Piece *piece = &WriteQueue[queueTail % WRITE_QUEUE_PIECES];
        ReleaseSRWLockExclusive(&queueLock);
        // Once failed, later pieces are only passed over.
        if (!writerFailed.load(std::memory_order_relaxed)) {
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
    if (writerFailed.load(std::memory_order_acquire)) {
        reportWriteFailure(&Writer);
    }
}

static void reportEarlierFailure() {
    waitForWriter();
    reportWriterFailure();
}

static void startWriter() {
    Writer.checksumBuffer = WriterChecksumBuffer;
    if (!startThread(&WriterThread, writeQueuedPieces, 0)) {
        fatalError("Error, couldn't allocate memory.");
    }
}

// After waitForWriter(): the writer ends, and the next run starts another.
static void stopWriter() {
    AcquireSRWLockExclusive(&queueLock);
    writerStops = true;
    ReleaseSRWLockExclusive(&queueLock);
    WakeConditionVariable(&pieceQueued);
    joinThread(&WriterThread, JOIN_WAIT_FOREVER);
    writerStops = false;
}

// Ends when the writer has failed, at the failure it met first.
static void checkWriter() {
    if (writerFailed.load(std::memory_order_relaxed)) {
        reportEarlierFailure();
    }
}

// Returns the file's place in the pending table, which holds every file of
// the run: none goes into place before the stream has ended cleanly.
static uint32_t addQueuedFile(const wchar_t *name, bool empty, uint32_t crc) {
    uint32_t place;
    if (!addPendingFile(name, empty, crc, &place)) {
        fatalError("Error, couldn't allocate memory.");
    }
    return place;
}

void beginQueuedFiles() {
    beginPendingRun();
    setBeforeFatalReport(reportEarlierFailure);
}

void queueFileStart(const wchar_t *name, bool empty, uint32_t crc) {
    if (WriterThread.handle == nullptr) {
        startWriter();
    }
    checkWriter();
    queuedFile = addQueuedFile(name, empty, crc);
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
    stopWriter();
    commitPendingFiles();
    setBeforeFatalReport(nullptr);
    finishPendingRun();
}
