#include "payload/turn/unpack_lock.h"

#include "base/wide_text.h"
#include "buildinfo/build_constants.h"
#include "format/crc/crc32.h"
#include "format/little_endian.h"
#include "paths/target_directory.h"
#include "payload/turn/unpack_progress.h"

#include <windows.h>

#include <stdio.h>
#include <wchar.h>

static const wchar_t LONG_PATH_PREFIX[] = L"\\\\?\\";
static const wchar_t LONG_UNC_PREFIX[] = L"\\\\?\\UNC\\";
enum { LONG_PATH_PREFIX_UNITS = 4, LONG_UNC_PREFIX_UNITS = 8 };
// "C:\": a root keeps its separator.
enum { DRIVE_ROOT_UNITS = 3 };

// The mutex while this start holds the turn; null otherwise.
static HANDLE turnMutex;

// Scratch for the folder's spellings on the way to its hash.
static wchar_t PlainFolder[PATH_CAPACITY];
static wchar_t FullFolder[PATH_CAPACITY];
static wchar_t FoldedFolder[PATH_CAPACITY];

// The folder without a long-path prefix into PlainFolder; false when too long.
static bool dropLongPathPrefix(const wchar_t *folder) {
    size_t length = wcslen(folder);
    size_t skip = 0;
    size_t keep = 0; // units of "\\" put back for a UNC path
    if (wcsncmp(folder, LONG_UNC_PREFIX, LONG_UNC_PREFIX_UNITS) == 0) {
        skip = LONG_UNC_PREFIX_UNITS;
        keep = 2;
    } else if (wcsncmp(folder, LONG_PATH_PREFIX, LONG_PATH_PREFIX_UNITS) == 0) {
        skip = LONG_PATH_PREFIX_UNITS;
    }
    if (keep + length - skip >= PATH_CAPACITY) {
        return false;
    }
    wmemcpy(PlainFolder, L"\\\\", keep);
    wmemcpy(PlainFolder + keep, folder + skip, length - skip + 1);
    return true;
}

// The normalised folder (see the header) into FoldedFolder; its length, or 0.
static size_t normaliseFolder(const wchar_t *folder) {
    if (!dropLongPathPrefix(folder)) {
        return 0;
    }
    DWORD length = GetFullPathNameW(PlainFolder, PATH_CAPACITY, FullFolder, nullptr);
    if (length == 0 || length >= PATH_CAPACITY) {
        return 0;
    }
    while (length > DRIVE_ROOT_UNITS &&
           (FullFolder[length - 1] == L'\\' || FullFolder[length - 1] == L'/')) {
        FullFolder[--length] = 0;
    }
    int folded =
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, FullFolder, static_cast<int>(length),
                      FoldedFolder, PATH_CAPACITY - 1, nullptr, nullptr, 0);
    if (folded <= 0) {
        return 0;
    }
    FoldedFolder[folded] = 0;
    return static_cast<size_t>(folded);
}

// 64-bit FNV-1a over the units' bytes, low byte first.
static uint64_t hashUnits(const wchar_t *units, size_t count) {
    const uint64_t FNV_OFFSET_BASIS = 0xcbf29ce484222325u;
    const uint64_t FNV_PRIME = 0x100000001b3u;
    uint64_t hash = FNV_OFFSET_BASIS;
    for (size_t i = 0; i < count; ++i) {
        hash = (hash ^ (units[i] & 0xffu)) * FNV_PRIME;
        hash = (hash ^ (units[i] >> 8)) * FNV_PRIME;
    }
    return hash;
}

bool formatUnpackObjectName(wchar_t *name, const wchar_t *kind, const wchar_t *folder,
                            uint32_t identity) {
    size_t length = normaliseFolder(folder);
    if (length == 0) {
        return false;
    }
    uint64_t hash = hashUnits(FoldedFolder, length);
    int written = _snwprintf(
        name, UNPACK_OBJECT_NAME_CAPACITY, L"Local\\tallix-onefile-2-%ls-%08lx%08lx-%08lx", kind,
        static_cast<unsigned long>(hash >> 32), static_cast<unsigned long>(hash & 0xffffffffu),
        static_cast<unsigned long>(identity));
    return written > 0 && written < UNPACK_OBJECT_NAME_CAPACITY;
}

uint32_t payloadIdentity() {
    if (PAYLOAD_INDEX_SIZE > 0) {
        return computeCrc32(PayloadIndexData, static_cast<size_t>(PAYLOAD_INDEX_SIZE));
    }
    uint64_t tail = ATTACHED_DATA_SIZE < IDENTITY_TAIL_BYTES ? ATTACHED_DATA_SIZE
                                                             : uint64_t{IDENTITY_TAIL_BYTES};
    uint32_t crc =
        computeCrc32(AttachedData + (ATTACHED_DATA_SIZE - tail), static_cast<size_t>(tail));
    unsigned char size[8];
    writeLittleEndian(size, ATTACHED_DATA_SIZE, sizeof size);
    return continueCrc32(crc, size, sizeof size);
}

// Waits for the holder to end its turn: WAIT_OBJECT_0 or WAIT_ABANDONED once
// this start holds it, WAIT_TIMEOUT when the holder is no longer waited for,
// WAIT_FAILED when the system fails.
static DWORD waitForTurn() {
    ULONGLONG started = GetTickCount64();
    ULONGLONG lastChange = started;
    uint64_t seen = sharedProgressStamp();
    for (;;) {
        DWORD result = WaitForSingleObject(turnMutex, UNPACK_WAIT_SLICE_MS);
        if (result != WAIT_TIMEOUT) {
            return result;
        }
        noteUnpackWait();
        ULONGLONG now = GetTickCount64();
        uint64_t stamp = sharedProgressStamp();
        if (stamp != seen) {
            seen = stamp;
            lastChange = now;
        }
        if (now - lastChange >= UNPACK_STALL_LIMIT_MS || now - started >= UNPACK_WAIT_LIMIT_MS) {
            return WAIT_TIMEOUT;
        }
    }
}

static void giveBackTurn() {
    ReleaseMutex(turnMutex);
    CloseHandle(turnMutex);
    turnMutex = nullptr;
}

// The turn's mutex and progress block for this start's folder and build;
// false when there is no mutex.
static bool openTurn() {
    uint32_t identity = payloadIdentity();
    wchar_t name[UNPACK_OBJECT_NAME_CAPACITY];
    if (!formatUnpackObjectName(name, L"unpack", TargetDirectory, identity)) {
        return false;
    }
    turnMutex = CreateMutexW(nullptr, FALSE, name);
    if (turnMutex == nullptr) {
        return false;
    }
    formatUnpackObjectName(name, L"progress", TargetDirectory, identity);
    openSharedProgress(name);
    return true;
}

bool takeUnpackTurn(bool (*filesMatch)()) {
    if (!openTurn()) {
        beginOwnProgress(false);
        return true;
    }
    DWORD result = WaitForSingleObject(turnMutex, 0);
    if (result == WAIT_TIMEOUT) {
        showSharedProgress();
        result = waitForTurn();
        if (result == WAIT_OBJECT_0 && filesMatch()) {
            giveBackTurn();
            return false;
        }
    }
    bool held = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    if (!held) {
        CloseHandle(turnMutex);
        turnMutex = nullptr;
    }
    beginOwnProgress(held);
    return true;
}

void endUnpackTurn() {
    finishOwnProgress();
    if (turnMutex != nullptr) {
        giveBackTurn();
    }
}
