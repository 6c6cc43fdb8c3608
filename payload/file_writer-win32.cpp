#include "payload/file_writer.h"

#include "base/diagnostics.h"
#include "buildinfo/build_constants.h"
#include "format/attached_data.h"
#include "format/crc32.h"
#include "format/payload_index.h"
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

// A file added since the run last put files into place. Filled before any
// FileWriter sees it; then its FileWriter sets `reused`, `waitedMs` and
// `handle`, which the table's thread reads only once no FileWriter works.
struct PendingFile {
    uint32_t crc;    // the record's stored CRC-32
    uint32_t record; // its number in the record stream
    uint32_t number; // its temporary's number
    uint32_t nameAt; // where its name starts in PendingNames
    bool empty;
    bool started; // seen by a FileWriter: it may have a temporary file
    bool reused;  // found in place: it has no temporary file
    // Paused so far for programs holding it (LOCKED_FILE_WAIT_MS): while it
    // is checked and written, then as it goes into place.
    uint16_t waitedMs;
    // The temporary while it is written; then, for the first
    // HELD_FILES_CAPACITY written, a handle held until the move: a move by
    // handle is one request to Wine's server where a move by name is four,
    // and the moves come at the end, when nothing else overlaps them (by
    // name they take 0.06 to 0.2 s of a cold start of 0.6 to 1 s). Null:
    // closed, or never held.
    HANDLE handle;
};
static PendingFile PendingFiles[PENDING_FILES_CAPACITY];
static wchar_t PendingNames[PENDING_NAME_UNITS_CAPACITY];
static size_t pendingCount;
static size_t pendingNameUnits;
// Numbers the temporary files of this process.
static uint32_t temporaryCount;
// Files added since the run began: the next one's record number.
static uint32_t runRecords;
// The payload index, for the branch filter's facts; none when it is not
// whole, and then no content is taken as filtered (a filtered file then
// fails its CRC-32 check: damage, never a wrong file).
static PayloadIndex FilterIndex;
// Handles held since the last commit; may run past the capacity, which
// only means no more are held.
static std::atomic<uint32_t> heldFiles{0};

// The table thread's paths, for moving and removing pending files.
static wchar_t TargetFilePath[PATH_CAPACITY];
static wchar_t TemporaryPath[PATH_CAPACITY];

// While set, a process end removes what this run has not yet put in place.
static bool runUnfinished;

// The list of directories this process created or saw and the sweep of
// stale temporaries keep one state for the process: one FileWriter at a
// time prepares the place of its file.
static SRWLOCK placeLock = SRWLOCK_INIT;
// The progress window's watcher (payload/unpack_progress.h) runs on one
// thread at a time; a lane that finds it busy counts without telling it.
static SRWLOCK progressHookLock = SRWLOCK_INIT;

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
static bool fileMatches(const wchar_t *path, const PendingFile &file, unsigned char *buffer,
                        uint16_t *waitedMs) {
    if (file.empty) {
        return isPlainEmptyFile(path);
    }
    for (;;) {
        uint32_t found = computeFileChecksum(path, buffer);
        if (found != NO_FILE_CHECKSUM) {
            return found == file.crc;
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

// --- One FileWriter's file -------------------------------------------------------

static void failWrite(FileWriter *writer, WriteFailure failure, DWORD errorCode) {
    writer->failure = failure;
    writer->errorCode = errorCode;
}

// Its directories, and the directory swept of stale temporaries; false
// when something else stands where a folder must be.
static bool preparePlace(FileWriter *writer, PendingFile *file) {
    AcquireSRWLockExclusive(&placeLock);
    bool prepared = createParentDirectories(writer->targetPath);
    if (prepared) {
        removeStaleTemporaries(writer->targetPath, writer->sweptDirectory);
        // A leftover of an earlier process with the same id goes first,
        // unless it is a link: that stays, and creating the file then fails.
        buildTemporaryPath(writer->temporaryPath, writer->targetPath, file->number);
        deletePlainFile(writer->temporaryPath);
    }
    ReleaseSRWLockExclusive(&placeLock);
    return prepared;
}

// Creates the file's temporary beside its final name.
static void openTemporaryFile(FileWriter *writer, PendingFile *file) {
    if (!mayBeReplaced(writer->targetPath) || !preparePlace(writer, file)) {
        failWrite(writer, WRITE_OPEN_FAILED, 0);
        return;
    }
    // Read sharing only: no other start can remove it while it is written.
    HANDLE created;
    do {
        created = CreateFileW(writer->temporaryPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    } while (created == INVALID_HANDLE_VALUE && waitOutLockedFile(&file->waitedMs));
    if (created == INVALID_HANDLE_VALUE) {
        failWrite(writer, WRITE_OPEN_FAILED, 0);
        return;
    }
    file->handle = created;
}

void startFileWrite(FileWriter *writer, uint32_t place) {
    PendingFile *file = &PendingFiles[place];
    writer->file = place;
    writer->writtenCrc = 0;
    file->started = true;
    buildTargetPath(writer->targetPath, PendingNames + file->nameAt);
    BranchFilterRange range;
    writer->filtered = findBranchFilter(FilterIndex, file->record, &range);
    if (writer->filtered) {
        startBranchFilter(&writer->filter, range, false);
    }
    writer->reusing =
        fileMatches(writer->targetPath, *file, writer->checksumBuffer, &file->waitedMs);
    if (writer->reusing) {
        file->reused = true;
        return;
    }
    openTemporaryFile(writer, file);
}

static void countContent(size_t size, bool written) {
    if (written && TryAcquireSRWLockExclusive(&progressHookLock)) {
        countUnpackedContent(size, written);
        ReleaseSRWLockExclusive(&progressHookLock);
    } else {
        countUnpackedContent(size, false);
    }
}

static void writeChecked(FileWriter *writer, const unsigned char *data, size_t size);

void writeFileContent(FileWriter *writer, const unsigned char *data, size_t size) {
    countContent(size, !writer->reusing);
    if (writer->reusing) {
        return;
    }
    if (!writer->filtered) {
        writeChecked(writer, data, size);
        return;
    }
    while (size > 0 && writer->failure == WRITE_OK) {
        size_t used;
        size_t done = filterBranchPiece(&writer->filter, data, size, writer->checksumBuffer,
                                        FILE_CHECKSUM_PIECE_SIZE, &used);
        writeChecked(writer, writer->checksumBuffer, done);
        data += used;
        size -= used;
    }
}

// Content as the file holds it: into its CRC-32 and onto the disk.
static void writeChecked(FileWriter *writer, const unsigned char *data, size_t size) {
    PendingFile *file = &PendingFiles[writer->file];
    writer->writtenCrc = continueCrc32(writer->writtenCrc, data, size);
    while (size > 0) {
        DWORD wanted = static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file->handle, data, wanted, &written, nullptr)) {
            if (!waitOutLockedFile(&file->waitedMs)) {
                failWrite(writer, WRITE_WRITE_FAILED, GetLastError());
                return;
            }
            continue;
        }
        data += written;
        size -= written;
    }
}

// A damaged file stays open for the clean-up at exit.
void endFileWrite(FileWriter *writer) {
    countFinishedFile();
    if (writer->reusing) {
        return;
    }
    if (writer->filtered) {
        writeChecked(writer, writer->checksumBuffer,
                     finishBranchFilter(&writer->filter, writer->checksumBuffer));
        if (writer->failure != WRITE_OK) {
            return;
        }
    }
    PendingFile *file = &PendingFiles[writer->file];
    if (storedCrc(writer->writtenCrc) != file->crc) {
        failWrite(writer, WRITE_CONTENT_DAMAGED, 0);
        return;
    }
    CloseHandle(file->handle);
    file->handle = nullptr;
    if (heldFiles.load(std::memory_order_relaxed) < HELD_FILES_CAPACITY &&
        heldFiles.fetch_add(1, std::memory_order_relaxed) < HELD_FILES_CAPACITY) {
        // Held with delete access alone: once the file has its final name,
        // another launcher can still start it (a handle that may write
        // would make that a sharing violation) or replace it. Not waited
        // for when a scanner holds it: that would stall the writer for each
        // file's hold, while by the end most holds are over and the move by
        // name waits out the rest.
        HANDLE held =
            CreateFileW(writer->temporaryPath, DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        file->handle = held == INVALID_HANDLE_VALUE ? nullptr : held;
    }
}

void reportWriteFailure(const FileWriter *writer) {
    switch (writer->failure) {
    case WRITE_OPEN_FAILED:
        buildTargetPath(TargetFilePath, PendingNames + PendingFiles[writer->file].nameAt);
        fatalOpenError(TargetFilePath);
    case WRITE_WRITE_FAILED:
        fatalSystemError("Error, couldn't unpack file to target path.", writer->errorCode);
    case WRITE_OK:
    case WRITE_CONTENT_DAMAGED:
        break;
    }
    fatalError(DECODE_FAILURE);
}

// --- The pending table -------------------------------------------------------------

// Runs at exit, when no FileWriter works. This run's own temporaries go by
// name, as they were made (CREATE_NEW): deletePlainFile refuses paths
// longer than MAX_PATH under Wine, whose GetFinalPathNameByHandleW fails
// on them.
static void discardUnfinishedFiles() {
    if (!runUnfinished) {
        return;
    }
    for (size_t i = 0; i < pendingCount; ++i) {
        if (PendingFiles[i].handle != nullptr) {
            CloseHandle(PendingFiles[i].handle);
            PendingFiles[i].handle = nullptr;
        }
    }
    for (size_t i = 0; i < pendingCount; ++i) {
        const PendingFile &file = PendingFiles[i];
        if (file.started && !file.reused) {
            buildTargetPath(TargetFilePath, PendingNames + file.nameAt);
            buildTemporaryPath(TemporaryPath, TargetFilePath, file.number);
            DeleteFileW(TemporaryPath);
        }
    }
    removeCreatedDirectories();
}

void beginPendingRun() {
    static bool cleanUpRegistered;
    runUnfinished = true;
    runRecords = 0;
    if (!openPayloadIndex(PayloadIndexData, PAYLOAD_INDEX_SIZE, &FilterIndex)) {
        FilterIndex = PayloadIndex{nullptr, 0, 0, nullptr, 0};
    }
    if (!cleanUpRegistered) {
        cleanUpRegistered = true;
        atexit(discardUnfinishedFiles);
    }
}

void finishPendingRun() {
    runUnfinished = false;
}

bool addPendingFile(const wchar_t *name, bool empty, uint32_t crc, uint32_t *place) {
    size_t nameUnits = wcslen(name) + 1;
    if (pendingCount == PENDING_FILES_CAPACITY ||
        pendingNameUnits + nameUnits > PENDING_NAME_UNITS_CAPACITY) {
        return false;
    }
    wmemcpy(PendingNames + pendingNameUnits, name, nameUnits);
    PendingFiles[pendingCount] = {crc,
                                  runRecords++,
                                  temporaryCount++,
                                  static_cast<uint32_t>(pendingNameUnits),
                                  empty,
                                  false,
                                  false,
                                  0,
                                  nullptr};
    pendingNameUnits += nameUnits;
    *place = static_cast<uint32_t>(pendingCount++);
    return true;
}

size_t pendingFileCount() {
    return pendingCount;
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
    static unsigned char checksumBuffer[FILE_CHECKSUM_PIECE_SIZE];
    buildTargetPath(TargetFilePath, PendingNames + file->nameAt);
    buildTemporaryPath(TemporaryPath, TargetFilePath, file->number);
    HANDLE held = file->handle;
    file->handle = nullptr;
    if (held != nullptr && moveHeldFile(held, TargetFilePath)) {
        return;
    }
    while (!MoveFileExW(TemporaryPath, TargetFilePath, MOVEFILE_REPLACE_EXISTING)) {
        DWORD error = GetLastError();
        if (fileMatches(TargetFilePath, *file, checksumBuffer, nullptr)) {
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

void commitPendingFiles() {
    for (size_t i = 0; i < pendingCount; ++i) {
        countPlacedFile();
        if (!PendingFiles[i].reused) {
            commitPendingFile(&PendingFiles[i]);
        }
    }
    pendingCount = 0;
    pendingNameUnits = 0;
    heldFiles.store(0, std::memory_order_relaxed);
}
