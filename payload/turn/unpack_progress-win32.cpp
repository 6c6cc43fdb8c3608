#include "payload/turn/unpack_progress.h"

#include "buildinfo/build_constants.h"
#include "format/index/payload_index.h"

#include <windows.h>

// This start's numbers when it unpacks without the shared block.
alignas(8) static UnpackProgressBlock OwnBlock;
// The mapped shared block, or null. Mapped once and never unmapped, so a
// window may read it at any time.
static UnpackProgressBlock *SharedBlock;

// What the counts go to, and what readUnpackProgress() shows (null: nothing
// yet).
static std::atomic<UnpackProgressBlock *> countedBlock{&OwnBlock};
static std::atomic<UnpackProgressBlock *> shownBlock{nullptr};
static std::atomic<bool> waitingForOther{false};
// Set by the writer; read by the unpacking thread once the writer is idle.
static bool writeSeen;

static uint64_t load(uint64_t &field) {
    return std::atomic_ref<uint64_t>(field).load(std::memory_order_relaxed);
}

static void store(uint64_t &field, uint64_t value) {
    std::atomic_ref<uint64_t>(field).store(value, std::memory_order_relaxed);
}

static void add(uint64_t &field, uint64_t value) {
    std::atomic_ref<uint64_t>(field).fetch_add(value, std::memory_order_relaxed);
}

static void tellWatcher(UnpackEvent event) {
    if (void (*watcher)(UnpackEvent) = onUnpackEvent.load(std::memory_order_relaxed)) {
        watcher(event);
    }
}

bool readUnpackProgress(UnpackProgress *progress) {
    UnpackProgressBlock *block = shownBlock.load(std::memory_order_acquire);
    if (block == nullptr) {
        return false;
    }
    progress->bytesDone = load(block->bytesDone);
    progress->bytesTotal = load(block->bytesTotal);
    progress->fileStepsDone = load(block->fileStepsDone);
    progress->filesTotal = load(block->filesTotal);
    progress->finished = load(block->finished) != 0;
    progress->waiting = waitingForOther.load(std::memory_order_relaxed);
    return true;
}

void countUnpackedContent(uint64_t bytes, bool written) {
    add(countedBlock.load(std::memory_order_relaxed)->bytesDone, bytes);
    if (written) {
        writeSeen = true;
        tellWatcher(UNPACK_WRITTEN);
    }
}

void countFinishedFile() {
    add(countedBlock.load(std::memory_order_relaxed)->fileStepsDone, 1);
}

void countPlacedFile() {
    add(countedBlock.load(std::memory_order_relaxed)->fileStepsDone, 1);
    if (writeSeen) {
        tellWatcher(UNPACK_WRITTEN);
    }
}

bool openSharedProgress(const wchar_t *name) {
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(UnpackProgressBlock), name);
    if (mapping == nullptr) {
        return false;
    }
    // The handle stays open with the view, for the rest of the process.
    void *view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(UnpackProgressBlock));
    if (view == nullptr) {
        CloseHandle(mapping);
        return false;
    }
    SharedBlock = static_cast<UnpackProgressBlock *>(view);
    return true;
}

void showSharedProgress() {
    if (SharedBlock != nullptr) {
        waitingForOther.store(true, std::memory_order_relaxed);
        shownBlock.store(SharedBlock, std::memory_order_release);
        tellWatcher(UNPACK_WAIT_BEGINS);
    }
}

void noteUnpackWait() {
    if (SharedBlock != nullptr) {
        tellWatcher(UNPACK_WAITING);
    }
}

void beginOwnProgress(bool shared) {
    uint64_t bytesTotal = 0;
    uint64_t filesTotal = 0;
    PayloadIndex index;
    if (openPayloadIndex(PayloadIndexData, PAYLOAD_INDEX_SIZE, &index)) {
        filesTotal = index.count;
        for (size_t k = 0; k < index.count; ++k) {
            bytesTotal += payloadIndexEntry(index, k).size;
        }
    }
    UnpackProgressBlock *block = shared && SharedBlock != nullptr ? SharedBlock : &OwnBlock;
    store(block->finished, 0);
    store(block->bytesDone, 0);
    store(block->fileStepsDone, 0);
    store(block->bytesTotal, bytesTotal);
    store(block->filesTotal, filesTotal);
    add(block->turn, 1);
    countedBlock.store(block, std::memory_order_release);
    waitingForOther.store(false, std::memory_order_relaxed);
    shownBlock.store(block, std::memory_order_release);
}

void finishOwnProgress() {
    UnpackProgressBlock *block = countedBlock.load(std::memory_order_acquire);
    // Without an index the total is known only now.
    if (load(block->bytesTotal) == 0) {
        store(block->bytesTotal, load(block->bytesDone));
    }
    store(block->finished, 1);
}

uint64_t sharedProgressStamp() {
    if (SharedBlock == nullptr) {
        return 0;
    }
    // Counts only grow and stay below 2^47 (128 TiB); a turn or the end
    // changes the bits above. Placing many small files moves only the steps.
    return (load(SharedBlock->bytesDone) + load(SharedBlock->fileStepsDone)) ^
           (load(SharedBlock->turn) << 48) ^ (load(SharedBlock->finished) << 47);
}
