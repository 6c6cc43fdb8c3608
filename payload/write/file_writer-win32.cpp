#include "payload/write/file_writer.h"

#include "base/diagnose.h"
#include "base/diagnostics.h"
#include "buildinfo/build_constants.h"
#include "format/attached_data.h"
#include "format/crc/crc32.h"
#include "format/index/payload_index.h"
#include "paths/target_directory.h"
#include "payload/check/file_checksum.h"
#include "payload/turn/unpack_progress.h"
#include "payload/write/directories.h"
#include "payload/write/safe_delete.h"
#include "payload/write/temporaries.h"

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
    uint32_t nameAt; // where its name starts, over all name chunks
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
// The table in chunks that never move: a FileWriter reads its file while
// the table thread adds others. The first chunks are static, so that a
// usual start allocates nothing for it; later ones are allocated as the
// table grows and kept for the process.
static PendingFile FirstFileChunk[PENDING_CHUNK_FILES];
static wchar_t FirstNameChunk[PENDING_CHUNK_NAME_UNITS];
// Zero-initialised, so that they take no room in the image; the first
// entries get the static chunks as the first file is added.
static PendingFile *FileChunks[PENDING_MAX_CHUNKS];
static wchar_t *NameChunks[PENDING_MAX_CHUNKS];
static size_t pendingCount;
static size_t pendingNameUnits; // a position over all name chunks
// Numbers the temporary files of this process; FileWriters take more when
// a name is taken.
static std::atomic<uint32_t> temporaryCount{0};

static PendingFile &pendingFile(size_t place) {
    return FileChunks[place / PENDING_CHUNK_FILES][place % PENDING_CHUNK_FILES];
}

static const wchar_t *pendingName(const PendingFile &file) {
    return NameChunks[file.nameAt / PENDING_CHUNK_NAME_UNITS] +
           file.nameAt % PENDING_CHUNK_NAME_UNITS;
}

// A name whose path does not fit ends the process here (abort): the check
// counts such a file as differing, so it always comes to be written.
static void buildPendingPath(wchar_t *path, const wchar_t *name) {
    if (!buildTargetPath(path, name, wcslen(name))) {
        abort();
    }
}
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
// The progress window's watcher (payload/turn/unpack_progress.h) runs on one
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

// Its directories made, and the file's place free for it. A folder this
// process made held nothing where the file goes (and the unpack turn keeps
// other starts of this build out), so only elsewhere is the place looked at:
// a first start saves a query per file.
static bool prepareFreePlace(FileWriter *writer) {
    AcquireSRWLockExclusive(&placeLock);
    bool prepared = createParentDirectories(writer->targetPath);
    const wchar_t *separator = wcsrchr(writer->targetPath, L'\\');
    bool madeHere = prepared && separator != nullptr &&
                    directoryCreatedHere(writer->targetPath,
                                         static_cast<size_t>(separator - writer->targetPath));
    ReleaseSRWLockExclusive(&placeLock);
    return prepared && (madeHere || mayBeReplaced(writer->targetPath));
}

// Creates the file's temporary beside its final name.
static void openTemporaryFile(FileWriter *writer, PendingFile *file) {
    if (!prepareFreePlace(writer)) {
        failWrite(writer, WRITE_OPEN_FAILED, 0);
        return;
    }
    // Read sharing only: no other start can remove it while it is written.
    // A name that is taken (an earlier process with this id left it, or it
    // is a file of the application) is kept, and the next number tried.
    HANDLE created;
    for (;;) {
        buildTemporaryPath(writer->temporaryPath, writer->targetPath, file->number);
        created = CreateFileW(writer->temporaryPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created != INVALID_HANDLE_VALUE) {
            break;
        }
        DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
            file->number = temporaryCount.fetch_add(1, std::memory_order_relaxed);
        } else if (!waitOutLockedFile(&file->waitedMs)) {
            break;
        }
    }
    if (created == INVALID_HANDLE_VALUE) {
        failWrite(writer, WRITE_OPEN_FAILED, 0);
        return;
    }
    file->handle = created;
}

void startFileWrite(FileWriter *writer, uint32_t place) {
    PendingFile *file = &pendingFile(place);
    writer->file = place;
    writer->writtenCrc = 0;
    file->started = true;
    buildPendingPath(writer->targetPath, pendingName(*file));
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
    PendingFile *file = &pendingFile(writer->file);
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
    PendingFile *file = &pendingFile(writer->file);
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
        buildPendingPath(TargetFilePath, pendingName(pendingFile(writer->file)));
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
        PendingFile &file = pendingFile(i);
        if (file.handle != nullptr) {
            CloseHandle(file.handle);
            file.handle = nullptr;
        }
    }
    // A scanner holding a temporary is waited out, within one budget for
    // all: their holds overlap.
    uint16_t waitedMs = 0;
    for (size_t i = 0; i < pendingCount; ++i) {
        const PendingFile &file = pendingFile(i);
        if (file.started && !file.reused) {
            buildPendingPath(TargetFilePath, pendingName(file));
            buildTemporaryPath(TemporaryPath, TargetFilePath, file.number);
            while (!DeleteFileW(TemporaryPath) && waitOutLockedFile(&waitedMs)) {
            }
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

// Chunk `chunk` of `chunks`, `items` long: `first` for the first, else
// allocated when missing.
template <typename Item>
static bool haveChunk(Item **chunks, Item *first, size_t chunk, size_t items) {
    if (chunk >= PENDING_MAX_CHUNKS) {
        return false;
    }
    if (chunks[chunk] == nullptr) {
        chunks[chunk] = chunk == 0 ? first : static_cast<Item *>(malloc(items * sizeof(Item)));
    }
    return chunks[chunk] != nullptr;
}

bool addPendingFile(const wchar_t *name, bool empty, uint32_t crc, uint32_t *place) {
    size_t nameUnits = wcslen(name) + 1;
    // A name never spans two chunks.
    size_t nameAt = pendingNameUnits;
    if (nameAt % PENDING_CHUNK_NAME_UNITS + nameUnits > PENDING_CHUNK_NAME_UNITS) {
        nameAt += PENDING_CHUNK_NAME_UNITS - nameAt % PENDING_CHUNK_NAME_UNITS;
    }
    if (nameUnits > PENDING_CHUNK_NAME_UNITS ||
        !haveChunk(FileChunks, FirstFileChunk, pendingCount / PENDING_CHUNK_FILES,
                   PENDING_CHUNK_FILES) ||
        !haveChunk(NameChunks, FirstNameChunk, nameAt / PENDING_CHUNK_NAME_UNITS,
                   PENDING_CHUNK_NAME_UNITS)) {
        return false;
    }
    PendingFile file = {crc,
                        runRecords++,
                        temporaryCount.fetch_add(1, std::memory_order_relaxed),
                        static_cast<uint32_t>(nameAt),
                        empty,
                        false,
                        false,
                        0,
                        nullptr};
    pendingFile(pendingCount) = file;
    wmemcpy(NameChunks[nameAt / PENDING_CHUNK_NAME_UNITS] + nameAt % PENDING_CHUNK_NAME_UNITS, name,
            nameUnits);
    pendingNameUnits = nameAt + nameUnits;
    *place = static_cast<uint32_t>(pendingCount++);
    return true;
}

size_t pendingFileCount() {
    return pendingCount;
}

void keepPendingFileInPlace(uint32_t place) {
    pendingFile(place).reused = true;
}

// Keeps `held` for the move by handle while the budget allows.
static void holdForMove(PendingFile *file, void *held) {
    if (held == nullptr) {
        return;
    }
    if (heldFiles.load(std::memory_order_relaxed) < HELD_FILES_CAPACITY &&
        heldFiles.fetch_add(1, std::memory_order_relaxed) < HELD_FILES_CAPACITY) {
        file->handle = held;
    } else {
        CloseHandle(held);
    }
}

void countTakenFile(uint64_t size) {
    countContent(size, true);
    countFinishedFile();
}

bool makePendingFile(FileWriter *maker, uint32_t place, MakeTemporaryFile make, void *context) {
    PendingFile *file = &pendingFile(place);
    const wchar_t *name = pendingName(*file);
    if (!buildTargetPath(maker->targetPath, name, wcslen(name)) || !prepareFreePlace(maker)) {
        return false;
    }
    for (;;) {
        buildTemporaryPath(maker->temporaryPath, maker->targetPath, file->number);
        void *held = nullptr;
        if (make(maker->temporaryPath, context, &held)) {
            file->started = true;
            holdForMove(file, held);
            return true;
        }
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            return false;
        }
        file->number = temporaryCount.fetch_add(1, std::memory_order_relaxed);
    }
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
    buildPendingPath(TargetFilePath, pendingName(*file));
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

// --- Temporaries left by starts that have ended ------------------------------------

// Slots of the run's names by hash, place plus one, 0 for a free one; made
// only when a sweep meets a temporary of an ended start.
static uint32_t *RunNameSlots;
static size_t runNameSlotCount;

static uint32_t hashName(const wchar_t *name) {
    uint32_t hash = 2166136261u; // FNV-1a over UTF-16 units
    for (; *name != 0; ++name) {
        hash = (hash ^ static_cast<uint16_t>(*name)) * 16777619u;
    }
    return hash;
}

static bool fillRunNameSlots() {
    for (runNameSlotCount = 2; runNameSlotCount < 2 * pendingCount;) {
        runNameSlotCount *= 2;
    }
    RunNameSlots = static_cast<uint32_t *>(calloc(runNameSlotCount, sizeof *RunNameSlots));
    if (RunNameSlots == nullptr) {
        return false;
    }
    for (size_t i = 0; i < pendingCount; ++i) {
        size_t slot = hashName(pendingName(pendingFile(i))) & (runNameSlotCount - 1);
        while (RunNameSlots[slot] != 0) {
            slot = (slot + 1) & (runNameSlotCount - 1);
        }
        RunNameSlots[slot] = static_cast<uint32_t>(i + 1);
    }
    return true;
}

// Whether the full path is that of a file of this run: the payload's
// records are all in the table by the commit. When that cannot be told,
// every name counts as the application's.
static bool isRunFile(const wchar_t *path) {
    if (RunNameSlots == nullptr && !fillRunNameSlots()) {
        return true;
    }
    size_t top = wcslen(TargetDirectory);
    const wchar_t *name = path + top + (TargetDirectory[top - 1] == L'\\' ? 0 : 1);
    for (size_t slot = hashName(name) & (runNameSlotCount - 1); RunNameSlots[slot] != 0;
         slot = (slot + 1) & (runNameSlotCount - 1)) {
        if (wcscmp(pendingName(pendingFile(RunNameSlots[slot] - 1)), name) == 0) {
            return true;
        }
    }
    return false;
}

// Sweeps the directory of `path` (cut after its last "\") unless this
// start made it, or it was the last one swept.
static void sweepDirectoryOf(wchar_t *path, wchar_t *lastSwept) {
    wchar_t *separator = wcsrchr(path, L'\\');
    if (separator == nullptr) {
        return;
    }
    separator[1] = 0;
    size_t length = static_cast<size_t>(separator - path);
    if (wcscmp(path, lastSwept) == 0 || directoryCreatedHere(path, length)) {
        return;
    }
    wmemcpy(lastSwept, path, length + 2);
    removeStaleTemporaries(path, isRunFile);
}

// After a run's files are in place: the temporaries that ended starts left
// in its folders and at the top of the unpack folder (the launcher's own
// files' too) go, and none of the run's files. Only folders where files
// were written: a start that wrote nothing there made no temporaries there.
// Records come folder by folder, so each folder is swept about once.
static void sweepRunDirectories() {
    static wchar_t lastSwept[PATH_CAPACITY];
    lastSwept[0] = 0;
    buildPendingPath(TargetFilePath, L"-");
    sweepDirectoryOf(TargetFilePath, lastSwept);
    for (size_t i = 0; i < pendingCount; ++i) {
        if (!pendingFile(i).reused) {
            buildPendingPath(TargetFilePath, pendingName(pendingFile(i)));
            sweepDirectoryOf(TargetFilePath, lastSwept);
        }
    }
    free(RunNameSlots);
    RunNameSlots = nullptr;
}

void commitPendingFiles() {
    for (size_t i = 0; i < pendingCount; ++i) {
        countPlacedFile();
        if (!pendingFile(i).reused) {
            ++DiagnosedFilesWritten;
            commitPendingFile(&pendingFile(i));
        }
    }
    sweepRunDirectories();
    pendingCount = 0;
    pendingNameUnits = 0;
    heldFiles.store(0, std::memory_order_relaxed);
}
