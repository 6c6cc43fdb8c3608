#include "payload/check/index_check.h"

#include "base/diagnostics.h"
#include "base/threads.h"
#include "buildinfo/build_constants.h"
#include "format/attached_data.h"
#include "format/crc/crc32.h"
#include "format/index/payload_index.h"
#include "paths/target_directory.h"
#include "payload/check/quick_check.h"
#include "payload/extract/extraction.h"
#include "payload/stream/payload_stream.h"

#include <windows.h>

#include <atomic>
#include <wchar.h>

// A worker needs a few hundred bytes of stack, not the main thread's reserve.
enum { WORKER_STACK_SIZE = 64 * 1024 };

static PayloadIndex WholeIndex;
static bool indexIsWhole;
static size_t nextRecord;
// Where the record after the last checked one starts in the decoded stream.
static uint64_t nextRecordStart;

// Workers take entries from one counter; the first mismatch stops them all
// unless each entry's state is asked for.
static std::atomic<size_t> nextEntry;
static std::atomic<bool> mismatchSeen;
static bool *EntryDiffers;
// Cache-line aligned: the system's copy into a misaligned buffer was
// measured at half the speed.
alignas(64) static unsigned char ReadBuffers[INDEX_CHECK_MAX_THREADS][INDEX_READ_PIECE_SIZE];
static wchar_t WorkerPaths[INDEX_CHECK_MAX_THREADS][PATH_CAPACITY];
static wchar_t WorkerNames[INDEX_CHECK_MAX_THREADS][ENTRY_NAME_CAPACITY];

// The entry's path, through `name`; false when it does not fit: the file
// then counts as differing, and the extraction, meeting the same name, ends
// the process there.
static bool buildIndexedPath(const PayloadIndexEntry &entry, wchar_t *path, wchar_t *name) {
    copyIndexName(entry, entry.nameLength, name);
    return buildTargetPath(path, name, entry.nameLength);
}

// Open, reads into the reused buffer, close: under Wine this beat a mapping
// by a third, and it takes the whole 64-bit size. Each read asks for one
// byte more than should remain, so the last one also proves the file ends.
static bool fileMatchesEntry(const PayloadIndexEntry &entry, size_t worker) {
    wchar_t *path = WorkerPaths[worker];
    unsigned char *buffer = ReadBuffers[worker];
    if (!buildIndexedPath(entry, path, WorkerNames[worker])) {
        return false;
    }
    HANDLE file = CreateFileW(
        path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    uint64_t remaining = entry.size;
    uint32_t crc = 0;
    bool sizeMatches = false;
    for (;;) {
        DWORD wanted = remaining >= INDEX_READ_PIECE_SIZE ? DWORD{INDEX_READ_PIECE_SIZE}
                                                          : static_cast<DWORD>(remaining) + 1;
        DWORD got = 0;
        if (!ReadFile(file, buffer, wanted, &got, nullptr) || got > remaining) {
            break;
        }
        crc = continueCrc32(crc, buffer, got);
        remaining -= got;
        if (got < wanted) {
            sizeMatches = remaining == 0;
            break;
        }
    }
    CloseHandle(file);
    if (!sizeMatches) {
        return false;
    }
    // An empty file has no CRC-32 to compare.
    return entry.size == 0 || storedCrc(crc) == entry.crc;
}

static void checkEntries(size_t worker) {
    while (EntryDiffers != nullptr || !mismatchSeen.load(std::memory_order_relaxed)) {
        size_t k = nextEntry.fetch_add(1, std::memory_order_relaxed);
        if (k >= WholeIndex.count) {
            return;
        }
        if (quickCheckPassed(k)) {
            continue;
        }
        if (!fileMatchesEntry(payloadIndexEntry(WholeIndex, k), worker)) {
            mismatchSeen.store(true, std::memory_order_relaxed);
            if (EntryDiffers != nullptr) {
                EntryDiffers[k] = true;
            }
        }
    }
}

static size_t chooseThreadCount(size_t maxThreads) {
    uint64_t bytes = 0;
    for (size_t k = 0; k < WholeIndex.count; ++k) {
        bytes += payloadIndexEntry(WholeIndex, k).size;
    }
    uint64_t worth =
        1 + bytes / INDEX_CHECK_BYTES_PER_THREAD + WholeIndex.count / INDEX_CHECK_FILES_PER_THREAD;
    uint64_t threads = allowedProcessorCount();
    threads = threads < worth ? threads : worth;
    threads = threads < maxThreads ? threads : maxThreads;
    threads = threads < INDEX_CHECK_MAX_THREADS ? threads : uint64_t{INDEX_CHECK_MAX_THREADS};
    threads = threads < WholeIndex.count ? threads : WholeIndex.count;
    return threads > 0 ? static_cast<size_t>(threads) : 1;
}

// A target folder that is not there holds no file: each entry differs,
// without a failed open for each.
static bool targetFolderMissing() {
    if (GetFileAttributesW(TargetDirectory) != INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool indexedFilesMatch(size_t maxThreads, size_t *threadsUsed) {
    return checkIndexedFiles(maxThreads, threadsUsed, nullptr, 0);
}

bool checkIndexedFiles(size_t maxThreads, size_t *threadsUsed, bool *differs, size_t capacity) {
    indexIsWhole = openPayloadIndex(PayloadIndexData, PAYLOAD_INDEX_SIZE, &WholeIndex);
    nextRecord = 0;
    nextRecordStart = 0;
    if (threadsUsed != nullptr) {
        *threadsUsed = 0;
    }
    if (!indexIsWhole) {
        return false;
    }
    if (WholeIndex.count > capacity) {
        differs = nullptr;
    }
    EntryDiffers = differs;
    bool missing = differs != nullptr && targetFolderMissing();
    for (size_t k = 0; differs != nullptr && k < WholeIndex.count; ++k) {
        differs[k] = missing;
    }
    if (quickCheckFiles(WholeIndex)) {
        if (threadsUsed != nullptr) {
            *threadsUsed = 1;
        }
        return true;
    }
    if (missing) {
        return false;
    }
    nextEntry = 0;
    mismatchSeen = false;
    size_t ran = runOnThreads(chooseThreadCount(maxThreads), WORKER_STACK_SIZE, checkEntries);
    if (threadsUsed != nullptr) {
        *threadsUsed = ran;
    }
    return !mismatchSeen.load();
}

// With a whole index, the extraction's records must be its entries, in order.
static void checkRecordAgainstIndex(const WideUnit *name, uint64_t size, uint32_t crc) {
    if (nextRecord >= WholeIndex.count ||
        !recordMatchesIndexEntry(payloadIndexEntry(WholeIndex, nextRecord), name, size, crc)) {
        fatalError("Error, couldn't decode attached data.");
    }
    ++nextRecord;
    // Its content follows its header, just read.
    nextRecordStart = payloadBytesRead() + size;
}

static void checkIndexComplete() {
    if (nextRecord != WholeIndex.count || payloadFramesBegun() != WholeIndex.frameCount) {
        fatalError("Error, couldn't decode attached data.");
    }
}

// The rule the lanes follow (payload/extract/parallel_extraction.h): frame j starts
// at its table offset, right where record firstRecord begins; so one core
// and several refuse the same forged tables.
static void checkFrameAgainstTable(size_t frame, uint64_t blockAt, uint64_t decodedAt) {
    if (frame >= WholeIndex.frameCount) {
        fatalError("Error, couldn't decode attached data.");
    }
    PayloadIndexFrame where = payloadIndexFrame(WholeIndex, frame);
    if (where.offset != blockAt || where.firstRecord != nextRecord ||
        decodedAt != nextRecordStart) {
        fatalError("Error, couldn't decode attached data.");
    }
}

static const RecordCheck INDEX_RECORD_CHECK = {checkRecordAgainstIndex, checkIndexComplete,
                                               checkFrameAgainstTable};

const PayloadIndex *wholePayloadIndex() {
    return indexIsWhole ? &WholeIndex : nullptr;
}

const RecordCheck *indexRecordCheck() {
    return indexIsWhole ? &INDEX_RECORD_CHECK : nullptr;
}

void setChildProgramFromIndex() {
    if (indexIsWhole && WholeIndex.count > 0) {
        // The check's workers have ended: their buffers are free.
        buildIndexedPath(payloadIndexEntry(WholeIndex, 0), ChildProgramPath, WorkerNames[0]);
    }
}
