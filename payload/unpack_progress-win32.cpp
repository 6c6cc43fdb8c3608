#include "payload/unpack_progress.h"

#include <windows.h>

#include <atomic>

// This start's numbers when it unpacks without the shared block.
alignas(8) static UnpackProgressBlock OwnBlock;
// The mapped shared block, or null. Mapped once and never unmapped, so a
// window may read it at any time.
static UnpackProgressBlock *SharedBlock;

// What addUnpackProgress() adds to, and what readUnpackProgress() shows
// (null: nothing yet).
static std::atomic<UnpackProgressBlock *> writtenBlock{&OwnBlock};
static std::atomic<UnpackProgressBlock *> shownBlock{nullptr};
static std::atomic<bool> waitingForOther{false};

static uint64_t load(uint64_t &field) {
    return std::atomic_ref<uint64_t>(field).load(std::memory_order_relaxed);
}

static void store(uint64_t &field, uint64_t value) {
    std::atomic_ref<uint64_t>(field).store(value, std::memory_order_relaxed);
}

bool readUnpackProgress(UnpackProgress *progress) {
    UnpackProgressBlock *block = shownBlock.load(std::memory_order_acquire);
    if (block == nullptr) {
        return false;
    }
    progress->bytesDone = load(block->bytesDone);
    progress->bytesTotal = load(block->bytesTotal);
    progress->finished = load(block->finished) != 0;
    progress->waiting = waitingForOther.load(std::memory_order_relaxed);
    return true;
}

void addUnpackProgress(uint64_t bytes) {
    std::atomic_ref<uint64_t>(writtenBlock.load(std::memory_order_acquire)->bytesDone)
        .fetch_add(bytes, std::memory_order_relaxed);
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
    }
}

void beginOwnProgress(uint64_t bytesTotal, bool shared) {
    UnpackProgressBlock *block = shared && SharedBlock != nullptr ? SharedBlock : &OwnBlock;
    store(block->finished, 0);
    store(block->bytesDone, 0);
    store(block->bytesTotal, bytesTotal);
    std::atomic_ref<uint64_t>(block->turn).fetch_add(1, std::memory_order_relaxed);
    writtenBlock.store(block, std::memory_order_release);
    waitingForOther.store(false, std::memory_order_relaxed);
    shownBlock.store(block, std::memory_order_release);
}

void finishOwnProgress() {
    UnpackProgressBlock *block = writtenBlock.load(std::memory_order_acquire);
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
    // Byte counts stay below 2^48 (256 TiB); a turn or the end changes the
    // bits above.
    return load(SharedBlock->bytesDone) ^ (load(SharedBlock->turn) << 48) ^
           (load(SharedBlock->finished) << 47);
}
