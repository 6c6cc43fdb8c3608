#include "payload/check/quick_check.h"

#include "base/threads.h"
#include "buildinfo/build_constants.h"
#include "format/constants_section.h"
#include "format/crc/crc32.h"
#include "format/entry_name.h"
#include "format/index/quick_check_record.h"
#include "paths/target_directory.h"
#include "payload/write/temporaries.h"

#include <windows.h>

#include <atomic>
#include <string.h>
#include <wchar.h>

enum : uint64_t {
    RECORD_CAPACITY =
        QUICK_CHECK_HEADER_SIZE + uint64_t{QUICK_CHECK_ENTRY_SIZE} * QUICK_CHECK_MAX_FILES
};

static const wchar_t RECORD_NAME[] = L"" QUICK_CHECK_RECORD_FILE_NAME;
// A listing thread needs a few kilobytes of stack.
enum { LISTING_STACK_SIZE = 64 * 1024 };

// The record read from disk, one byte beyond the largest so that a longer
// file is seen to be longer, and the one this start makes from what it finds.
static unsigned char RecordOnDisk[RECORD_CAPACITY + 1];
static unsigned char FoundRecord[RECORD_CAPACITY];
static bool Passed[QUICK_CHECK_MAX_FILES];
// Entry number plus one per slot, 0 for a free one, by the hash of the name.
static uint32_t NameSlots[QUICK_CHECK_NAME_SLOTS];
// Each listing thread's: entries of FILE_ID_BOTH_DIR_INFO, which start at
// multiples of 8, and the folder's path.
alignas(8) static unsigned char Listings[QUICK_CHECK_MAX_THREADS][DIRECTORY_LISTING_SIZE];
static wchar_t FolderPaths[QUICK_CHECK_MAX_THREADS][PATH_CAPACITY];
static wchar_t FolderNames[QUICK_CHECK_MAX_THREADS][ENTRY_NAME_CAPACITY];
static wchar_t RecordPath[PATH_CAPACITY];

static bool quickCheckOn;
static bool verifiedByContent;
// When this process first looked at its files: every later change of a file
// has a last-write time after it (the granularity aside).
static uint64_t checkStartTime;

static uint64_t now() {
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

// FNV-1a over UTF-16 units, continued from `hash`.
static const uint32_t HASH_START = 2166136261u;
static uint32_t hashUnit(uint32_t hash, uint16_t unit) {
    return (hash ^ unit) * 16777619u;
}

// The hash of the first `length` units of the entry's name.
static uint32_t hashEntryName(const PayloadIndexEntry &entry, size_t length) {
    uint32_t hash = HASH_START;
    for (size_t i = 0; i < length; ++i) {
        hash = hashUnit(hash, indexNameUnit(entry, i));
    }
    return hash;
}

static void fillNameSlots(const PayloadIndex &index) {
    memset(NameSlots, 0, sizeof NameSlots);
    for (size_t k = 0; k < index.count; ++k) {
        PayloadIndexEntry entry = payloadIndexEntry(index, k);
        uint32_t slot = hashEntryName(entry, entry.nameLength) % QUICK_CHECK_NAME_SLOTS;
        while (NameSlots[slot] != 0) {
            slot = (slot + 1) % QUICK_CHECK_NAME_SLOTS;
        }
        NameSlots[slot] = static_cast<uint32_t>(k + 1);
    }
}

// Units of the entry's folder part, its last "\" included; 0 at the top.
static size_t folderPartLength(const PayloadIndexEntry &entry) {
    size_t length = entry.nameLength;
    while (length > 0 && indexNameUnit(entry, length - 1) != u'\\') {
        --length;
    }
    return length;
}

// The entry named `folder` (`folderLength` units of `folderEntry`'s name)
// plus `name`, or index.count when there is none. Names are compared unit by
// unit: a file whose name differs in letter case gets the content check.
static size_t findEntry(const PayloadIndex &index, const PayloadIndexEntry &folderEntry,
                        size_t folderLength, uint32_t folderHash, const wchar_t *name,
                        size_t nameLength) {
    uint32_t hash = folderHash;
    for (size_t i = 0; i < nameLength; ++i) {
        hash = hashUnit(hash, static_cast<uint16_t>(name[i]));
    }
    uint32_t slot = hash % QUICK_CHECK_NAME_SLOTS;
    for (; NameSlots[slot] != 0; slot = (slot + 1) % QUICK_CHECK_NAME_SLOTS) {
        size_t k = NameSlots[slot] - 1;
        PayloadIndexEntry entry = payloadIndexEntry(index, k);
        if (entry.nameLength != folderLength + nameLength) {
            continue;
        }
        bool same = true;
        for (size_t i = 0; same && i < entry.nameLength; ++i) {
            uint16_t unit = i < folderLength ? indexNameUnit(folderEntry, i)
                                             : static_cast<uint16_t>(name[i - folderLength]);
            same = indexNameUnit(entry, i) == unit;
        }
        if (same) {
            return k;
        }
    }
    return index.count;
}

// `path`: TargetDirectory and the folder part (without its "\") of `entry`,
// through `name`; false when it does not fit.
static bool buildFolderPath(wchar_t *path, wchar_t *name, const PayloadIndexEntry &entry,
                            size_t folderLength) {
    size_t units = folderLength > 0 ? folderLength - 1 : 0;
    copyIndexName(entry, units, name);
    return buildTargetPath(path, name, units);
}

// The folders of this pass, in index order, by the hash of their path in
// FolderSlots (folder number plus one, 0 for a free slot): the index entry
// whose name holds the path, the path's length, how many entries follow in
// it, the folder that holds it (NO_FOLDER when that is none of them), and
// what its listing found.
enum : uint32_t { NO_FOLDER = UINT32_MAX };
enum VolumeState : uint8_t { VOLUME_UNSETTLED, VOLUME_KNOWN, VOLUME_UNKNOWN };
static uint32_t FolderSlots[QUICK_CHECK_NAME_SLOTS];
static uint32_t FolderEntries[QUICK_CHECK_MAX_FILES];
static uint32_t FolderLengths[QUICK_CHECK_MAX_FILES];
static uint32_t FolderFiles[QUICK_CHECK_MAX_FILES];
static uint32_t FolderParents[QUICK_CHECK_MAX_FILES];
static uint32_t FolderSlotOf[QUICK_CHECK_MAX_FILES];
static uint32_t FolderVolumes[QUICK_CHECK_MAX_FILES];
static bool FolderListed[QUICK_CHECK_MAX_FILES];
static VolumeState FolderVolumeStates[QUICK_CHECK_MAX_FILES];
static size_t folderCount;
static std::atomic<size_t> nextFolder;

static void forgetFolders() {
    for (size_t f = 0; f < folderCount; ++f) {
        FolderSlots[FolderSlotOf[f]] = 0;
    }
    folderCount = 0;
}

static void addFolder(const PayloadIndexEntry &entry, size_t entryNumber, size_t folderLength,
                      size_t files) {
    uint32_t slot = hashEntryName(entry, folderLength) % QUICK_CHECK_NAME_SLOTS;
    while (FolderSlots[slot] != 0) {
        slot = (slot + 1) % QUICK_CHECK_NAME_SLOTS;
    }
    FolderSlots[slot] = static_cast<uint32_t>(folderCount + 1);
    FolderEntries[folderCount] = static_cast<uint32_t>(entryNumber);
    FolderLengths[folderCount] = static_cast<uint32_t>(folderLength);
    FolderFiles[folderCount] = static_cast<uint32_t>(files);
    FolderListed[folderCount] = false;
    FolderVolumeStates[folderCount] = VOLUME_UNSETTLED;
    FolderSlotOf[folderCount++] = slot;
}

// The folder of this pass that holds folder `f`, or NO_FOLDER when that is
// none of them or `f` is the unpack folder itself.
static uint32_t parentFolder(const PayloadIndex &index, size_t f) {
    PayloadIndexEntry entry = payloadIndexEntry(index, FolderEntries[f]);
    size_t folderLength = FolderLengths[f];
    if (folderLength == 0) {
        return NO_FOLDER;
    }
    size_t parentLength = folderLength - 1;
    while (parentLength > 0 && indexNameUnit(entry, parentLength - 1) != u'\\') {
        --parentLength;
    }
    uint32_t slot = hashEntryName(entry, parentLength) % QUICK_CHECK_NAME_SLOTS;
    for (; FolderSlots[slot] != 0; slot = (slot + 1) % QUICK_CHECK_NAME_SLOTS) {
        size_t parent = FolderSlots[slot] - 1;
        if (FolderLengths[parent] == parentLength &&
            memcmp(payloadIndexEntry(index, FolderEntries[parent]).name, entry.name,
                   2 * parentLength) == 0) {
            return static_cast<uint32_t>(parent);
        }
    }
    return NO_FOLDER;
}

// The folders of `index`: it lists a folder's files together, so a folder
// begins where the folder part changes from one entry to the next.
static void planFolders(const PayloadIndex &index) {
    forgetFolders();
    for (size_t k = 0, next = 0; k < index.count; k = next) {
        PayloadIndexEntry entry = payloadIndexEntry(index, k);
        size_t folderLength = folderPartLength(entry);
        for (next = k + 1; next < index.count; ++next) {
            PayloadIndexEntry following = payloadIndexEntry(index, next);
            if (folderPartLength(following) != folderLength ||
                memcmp(following.name, entry.name, 2 * folderLength) != 0) {
                break;
            }
        }
        addFolder(entry, k, folderLength, next - k);
    }
    for (size_t f = 0; f < folderCount; ++f) {
        FolderParents[f] = parentFolder(index, f);
    }
}

// Opens `path` for listing when it is a plain folder, not a link. With
// `queryVolume`, its volume's serial number into `*volume`; without, the
// system's volume query, a round trip to another process under Wine, is
// left out: a folder listed inside a listed folder is on that one's volume
// (settleVolume).
static HANDLE openPlainFolder(const wchar_t *path, bool queryVolume, uint32_t *volume) {
    HANDLE folder =
        CreateFileW(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return folder;
    }
    DWORD attributes = 0;
    bool known = false;
    if (!queryVolume) {
        FILE_BASIC_INFO basic = {};
        known = GetFileInformationByHandleEx(folder, FileBasicInfo, &basic, sizeof basic);
        attributes = basic.FileAttributes;
    } else {
        BY_HANDLE_FILE_INFORMATION information = {};
        known = GetFileInformationByHandle(folder, &information);
        attributes = information.dwFileAttributes;
        *volume = information.dwVolumeSerialNumber;
    }
    if (!known || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        CloseHandle(folder);
        return INVALID_HANDLE_VALUE;
    }
    return folder;
}

static uint64_t largeValue(LARGE_INTEGER value) {
    return static_cast<uint64_t>(value.QuadPart);
}

// Puts the metadata of every plain file listed in folder `f` into
// FoundRecord, at its index entry, its volume still to settle. The listing
// ends once the folder's files are all found: the rest can name no other
// entry, and the call that would report its end costs as much as a listing.
// A file not found gets the content check.
static void listFolder(const PayloadIndex &index, size_t f, size_t thread) {
    PayloadIndexEntry entry = payloadIndexEntry(index, FolderEntries[f]);
    size_t folderLength = FolderLengths[f];
    wchar_t *path = FolderPaths[thread];
    HANDLE folder = buildFolderPath(path, FolderNames[thread], entry, folderLength)
                        ? openPlainFolder(path, FolderParents[f] == NO_FOLDER, &FolderVolumes[f])
                        : INVALID_HANDLE_VALUE;
    if (folder == INVALID_HANDLE_VALUE) {
        return;
    }
    unsigned char *listing = Listings[thread];
    uint32_t folderHash = hashEntryName(entry, folderLength);
    FILE_INFO_BY_HANDLE_CLASS request = FileIdBothDirectoryRestartInfo;
    size_t found = 0;
    while (found < FolderFiles[f] &&
           GetFileInformationByHandleEx(folder, request, listing, DIRECTORY_LISTING_SIZE)) {
        request = FileIdBothDirectoryInfo;
        for (size_t at = 0;;) {
            const FILE_ID_BOTH_DIR_INFO *listed =
                reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(listing + at);
            DWORD kind = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
            size_t k = (listed->FileAttributes & kind) != 0
                           ? index.count
                           : findEntry(index, entry, folderLength, folderHash, listed->FileName,
                                       listed->FileNameLength / sizeof(wchar_t));
            if (k < index.count) {
                putRecordedFile(FoundRecord, k,
                                {largeValue(listed->EndOfFile), largeValue(listed->LastWriteTime),
                                 largeValue(listed->FileId), 0});
                ++found;
            }
            if (listed->NextEntryOffset == 0) {
                break;
            }
            at += listed->NextEntryOffset;
        }
    }
    CloseHandle(folder);
    FolderListed[f] = true;
}

static const PayloadIndex *listedIndex;

static void listTakenFolders(size_t thread) {
    for (size_t f = nextFolder++; f < folderCount; f = nextFolder++) {
        listFolder(*listedIndex, f, thread);
    }
}

static size_t listingThreadCount() {
    size_t wanted = 1 + folderCount / QUICK_CHECK_FOLDERS_PER_THREAD;
    size_t cores = allowedProcessorCount();
    wanted = wanted < cores ? wanted : cores;
    return wanted < QUICK_CHECK_MAX_THREADS ? wanted : size_t{QUICK_CHECK_MAX_THREADS};
}

// Whether folder `f`'s volume is known: asked of the system, or that of the
// folder holding it, listed as plain itself, whose volume is known (only a
// link leads to another volume). A folder whose chain up is broken, by one
// that was not listed, cannot tell: its files get the content check.
static bool settleVolume(size_t f) {
    while (FolderVolumeStates[f] == VOLUME_UNSETTLED) {
        // The highest unsettled folder on the way up settles first.
        size_t top = f;
        while (FolderParents[top] != NO_FOLDER &&
               FolderVolumeStates[FolderParents[top]] == VOLUME_UNSETTLED) {
            top = FolderParents[top];
        }
        uint32_t parent = FolderParents[top];
        bool known = FolderListed[top] &&
                     (parent == NO_FOLDER || FolderVolumeStates[parent] == VOLUME_KNOWN);
        if (known && parent != NO_FOLDER) {
            FolderVolumes[top] = FolderVolumes[parent];
        }
        FolderVolumeStates[top] = known ? VOLUME_KNOWN : VOLUME_UNKNOWN;
    }
    return FolderVolumeStates[f] == VOLUME_KNOWN;
}

// FoundRecord's entries: what one listing per folder shows of each file,
// the folders listed on as many threads as they are worth.
static void listFolders(const PayloadIndex &index) {
    fillNameSlots(index);
    planFolders(index);
    for (size_t k = 0; k < index.count; ++k) {
        putRecordedFile(FoundRecord, k, NO_FILE_METADATA);
    }
    listedIndex = &index;
    nextFolder = 0;
    runOnThreads(listingThreadCount(), LISTING_STACK_SIZE, listTakenFolders);
    for (size_t f = 0; f < folderCount; ++f) {
        bool known = settleVolume(f);
        for (size_t k = FolderEntries[f]; k < FolderEntries[f] + FolderFiles[f]; ++k) {
            FileMetadata file = recordedFile(FoundRecord, k);
            if (file.size != NO_FILE_METADATA.size) {
                file.volume = FolderVolumes[f];
                putRecordedFile(FoundRecord, k, known ? file : NO_FILE_METADATA);
            }
        }
    }
}

static PayloadIdentity payloadIdentity(const PayloadIndex &index) {
    return {computeCrc32(PayloadIndexData, static_cast<size_t>(PAYLOAD_INDEX_SIZE)),
            static_cast<uint32_t>(index.count)};
}

static bool buildRecordPath() {
    return buildTargetPath(RecordPath, RECORD_NAME, wcslen(RECORD_NAME));
}

// The record on disk into RecordOnDisk, at most `expected` bytes and one
// more, so that a longer file is seen to be longer: the system prepares
// every page a read may fill, and the whole buffer would cost more than the
// record. Its size, 0 when there is none.
static uint64_t readRecord(uint64_t expected) {
    if (!buildRecordPath()) {
        return 0;
    }
    HANDLE file = CreateFileW(RecordPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    uint64_t limit = expected < RECORD_CAPACITY ? expected + 1 : sizeof RecordOnDisk;
    uint64_t size = 0;
    DWORD got = 0;
    while (size < limit &&
           ReadFile(file, RecordOnDisk + size, static_cast<DWORD>(limit - size), &got, nullptr) &&
           got > 0) {
        size += got;
    }
    CloseHandle(file);
    return size;
}

bool quickCheckFiles(const PayloadIndex &index) {
    quickCheckOn =
        (LaunchOptions & LAUNCH_QUICK_CHECK) != 0 && index.count <= QUICK_CHECK_MAX_FILES;
    verifiedByContent = false;
    if (!quickCheckOn) {
        return false;
    }
    if (checkStartTime == 0) {
        checkStartTime = now();
    }
    uint64_t readTime = 0;
    PayloadIdentity identity = payloadIdentity(index);
    bool recordUsable = openQuickCheckRecord(
        RecordOnDisk, readRecord(quickCheckRecordSize(identity.count)), identity, &readTime);
    listFolders(index);
    bool all = true;
    for (size_t k = 0; k < index.count; ++k) {
        Passed[k] = recordUsable && fileIsUnchanged(recordedFile(RecordOnDisk, k),
                                                    recordedFile(FoundRecord, k), readTime);
        all = all && Passed[k];
    }
    verifiedByContent = !all;
    return all;
}

bool quickCheckPassed(size_t k) {
    return quickCheckOn && Passed[k];
}

void saveQuickCheckRecord(const PayloadIndex &index, bool extracted) {
    if (!quickCheckOn || (!extracted && !verifiedByContent) || !buildRecordPath()) {
        return;
    }
    if (extracted) {
        listFolders(index);
    }
    PayloadIdentity identity = payloadIdentity(index);
    sealQuickCheckRecord(FoundRecord, identity, checkStartTime);
    placeOwnFile(RecordPath, RECORD_TEMPORARY_NUMBER, FoundRecord,
                 static_cast<size_t>(quickCheckRecordSize(identity.count)));
}
