#include "payload/plan/older_version.h"

#include "base/path_form.h"
#include "buildinfo/build_constants.h"
#include "format/attached_data.h"
#include "format/constants_section.h"
#include "format/crc/crc32.h"
#include "paths/target_directory.h"
#include "payload/check/file_checksum.h"
#include "payload/turn/folder_marker.h"
#include "payload/write/safe_delete.h"

#include <windows.h>
#include <winternl.h>

#include <string.h>
#include <wchar.h>
#include <wctype.h>

static const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The older folder as found (TargetDirectory's form, no trailing "\"), and
// as the system resolves it: a file below it must resolve to this plus its
// own name, or a link lies on its way.
static wchar_t OlderFolder[PATH_CAPACITY];
static size_t olderFolderLength;
static wchar_t ResolvedOlder[PATH_CAPACITY];
static size_t resolvedOlderLength;

static wchar_t SiblingPath[PATH_CAPACITY];
static unsigned char MarkerBytes[FOLDER_MARKER_CAPACITY * sizeof(wchar_t)];

// "\\?\UNC\" is the longest prefix the system's form of a path adds.
enum { NT_PATH_CAPACITY = PATH_CAPACITY + 8 };

// One taking thread's own room.
struct TakerRoom {
    wchar_t olderFilePath[PATH_CAPACITY];
    wchar_t resolvedFile[PATH_CAPACITY];
    // A link request with room for any temporary's path in the system's form.
    union {
        FILE_LINK_INFORMATION info;
        unsigned char bytes[sizeof(FILE_LINK_INFORMATION) + NT_PATH_CAPACITY * sizeof(wchar_t)];
    } link;
    // Cache-line aligned, as the check's buffers (payload/check/file_checksum.h).
    alignas(64) unsigned char copyBuffer[FILE_CHECKSUM_PIECE_SIZE];
};
static TakerRoom Rooms[OLDER_TAKERS_MAX];
// Takers remove what they made one at a time: the removal's own buffers
// are shared (payload/write/safe_delete.h).
static SRWLOCK deleteLock = SRWLOCK_INIT;

static bool resolve(HANDLE handle, wchar_t *target, size_t *length) {
    DWORD got = GetFinalPathNameByHandleW(handle, target, PATH_CAPACITY,
                                          FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (got == 0 || got >= PATH_CAPACITY) {
        return false;
    }
    *length = got;
    while (*length > 0 && target[*length - 1] == L'\\') {
        --*length;
    }
    return true;
}

// The last-write time of the marker of folder SiblingPath (`length` units)
// when it is an older version's, else 0.
static uint64_t olderMarkerTime(size_t length) {
    size_t markerLength = wcslen(FOLDER_MARKER_NAME);
    if (length + 1 + markerLength >= PATH_CAPACITY) {
        return 0;
    }
    SiblingPath[length] = L'\\';
    wmemcpy(SiblingPath + length + 1, FOLDER_MARKER_NAME, markerLength + 1);
    // Read sharing for the launcher that runs from it and holds it so.
    HANDLE marker = CreateFileW(SiblingPath, GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION information;
    DWORD read = 0;
    bool older =
        marker != INVALID_HANDLE_VALUE && isPlainEntryHandle(marker, SiblingPath) &&
        GetFileInformationByHandle(marker, &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        ReadFile(marker, MarkerBytes, sizeof MarkerBytes, &read, nullptr) &&
        read % sizeof(wchar_t) == 0 &&
        isOlderFolderMarker(reinterpret_cast<const wchar_t *>(MarkerBytes), read / sizeof(wchar_t),
                            BUILD_COMPANY, BUILD_PRODUCT, BUILD_VERSION);
    if (marker != INVALID_HANDLE_VALUE) {
        CloseHandle(marker);
    }
    SiblingPath[length] = 0;
    if (!older) {
        return 0;
    }
    uint64_t time = (uint64_t{information.ftLastWriteTime.dwHighDateTime} << 32) |
                    information.ftLastWriteTime.dwLowDateTime;
    return time > 0 ? time : 1;
}

// Resolves the folder found; false (and no folder) when it is no plain
// folder of its name.
static bool resolveOlderFolder() {
    HANDLE folder =
        CreateFileW(OlderFolder, FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        OlderFolder[0] = 0;
        return false;
    }
    bool resolved =
        isPlainEntry(OlderFolder, true) && resolve(folder, ResolvedOlder, &resolvedOlderLength);
    CloseHandle(folder);
    if (!resolved) {
        OlderFolder[0] = 0;
    }
    return resolved;
}

static bool isSibling(const WIN32_FIND_DATAW &entry, const wchar_t *own, size_t ownLength) {
    const wchar_t *name = entry.cFileName;
    bool plainFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                       (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    bool dots = wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
    bool isOwn = wcslen(name) == ownLength && _wcsnicmp(name, own, ownLength) == 0;
    return plainFolder && !dots && !isOwn;
}

bool findOlderVersionFolder() {
    OlderFolder[0] = 0;
    size_t length = wcslen(TargetDirectory);
    while (length > 0 && TargetDirectory[length - 1] == L'\\') {
        --length;
    }
    size_t root = pathRootLength(TargetDirectory);
    size_t parent = length; // up to and with the separator before the own name
    while (parent > root && TargetDirectory[parent - 1] != L'\\') {
        --parent;
    }
    if (parent <= root || parent + 2 > PATH_CAPACITY) {
        return false; // a root has no siblings
    }
    wmemcpy(SiblingPath, TargetDirectory, parent);
    wmemcpy(SiblingPath + parent, L"*", 2);
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(SiblingPath, &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    uint64_t newest = 0;
    size_t looked = 0;
    do {
        size_t nameLength = wcslen(entry.cFileName);
        if (!isSibling(entry, TargetDirectory + parent, length - parent) ||
            parent + nameLength >= PATH_CAPACITY) {
            continue;
        }
        wmemcpy(SiblingPath + parent, entry.cFileName, nameLength + 1);
        uint64_t time = olderMarkerTime(parent + nameLength);
        if (time > newest) {
            newest = time;
            olderFolderLength = parent + nameLength;
            wmemcpy(OlderFolder, SiblingPath, olderFolderLength + 1);
        }
    } while (++looked < OLDER_VERSION_MAX_SIBLINGS && FindNextFileW(search, &entry));
    FindClose(search);
    return newest > 0 && resolveOlderFolder();
}

const wchar_t *olderVersionFolder() {
    return OlderFolder;
}

// The room's olderFilePath for `entry`; false when it does not fit or there
// is no folder.
static bool buildOlderPath(TakerRoom *room, const PayloadIndexEntry &entry) {
    wchar_t *path = room->olderFilePath;
    if (OlderFolder[0] == 0 || olderFolderLength + 1 + entry.nameLength >= PATH_CAPACITY) {
        return false;
    }
    wmemcpy(path, OlderFolder, olderFolderLength);
    path[olderFolderLength] = L'\\';
    for (size_t i = 0; i < entry.nameLength; ++i) {
        path[olderFolderLength + 1 + i] = static_cast<wchar_t>(indexNameUnit(entry, i));
    }
    path[olderFolderLength + 1 + entry.nameLength] = 0;
    return true;
}

// The plan asks on one thread, before any file is taken.
bool olderFileMayMatch(const PayloadIndexEntry &entry) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return buildOlderPath(&Rooms[0], entry) &&
           GetFileAttributesExW(Rooms[0].olderFilePath, GetFileExInfoStandard, &data) &&
           (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
               0 &&
           ((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow) == entry.size;
}

// Whether `file` resolves to the older folder's resolved path plus the
// entry's name: no link, junction or Wine link to a file on the way.
static bool resolvesBelowOlderFolder(TakerRoom *room, HANDLE file, const PayloadIndexEntry &entry) {
    const wchar_t *resolved = room->resolvedFile;
    size_t length;
    if (!resolve(file, room->resolvedFile, &length) ||
        length != resolvedOlderLength + 1 + entry.nameLength ||
        resolved[resolvedOlderLength] != L'\\' ||
        CompareStringOrdinal(resolved, static_cast<int>(resolvedOlderLength), ResolvedOlder,
                             static_cast<int>(resolvedOlderLength), TRUE) != CSTR_EQUAL) {
        return false;
    }
    return CompareStringOrdinal(resolved + resolvedOlderLength + 1,
                                static_cast<int>(entry.nameLength),
                                room->olderFilePath + olderFolderLength + 1,
                                static_cast<int>(entry.nameLength), TRUE) == CSTR_EQUAL;
}

// Whether `file` is a plain file (no folder, no reparse point), with its
// size and link count. GetFileInformationByHandle would also ask for the
// volume's serial number, which under Wine costs 0.8 ms a file.
static bool plainFileFacts(HANDLE file, FILE_STANDARD_INFO *facts) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    return GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) &&
           (tag.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
           GetFileInformationByHandleEx(file, FileStandardInfo, facts, sizeof *facts) &&
           !facts->Directory;
}

// The source as the plan needs it: a plain file of the entry's size whose
// content has the entry's CRC-32 (an empty one: no content to check).
static bool sourceMatches(TakerRoom *room, HANDLE source, const PayloadIndexEntry &entry,
                          FILE_STANDARD_INFO *facts) {
    if (!resolvesBelowOlderFolder(room, source, entry) || !plainFileFacts(source, facts) ||
        static_cast<uint64_t>(facts->EndOfFile.QuadPart) != entry.size) {
        return false;
    }
    return entry.size == 0 || computeHandleChecksum(source, room->copyBuffer) == entry.crc;
}

// The file's index on its volume. FileIdInfo would also ask for the
// volume's serial number, which under Wine costs about a millisecond a
// query; the two handles compared are on one volume anyway, since a hard
// link never crosses volumes.
static bool fileIndex(HANDLE file, LONGLONG *index) {
    IO_STATUS_BLOCK status;
    FILE_INTERNAL_INFORMATION info;
    if (NtQueryInformationFile(file, &status, &info, sizeof info, FileInternalInformation) < 0) {
        return false;
    }
    *index = info.IndexNumber.QuadPart;
    return true;
}

static bool sameFile(HANDLE a, HANDLE b) {
    LONGLONG first, second;
    return fileIndex(a, &first) && fileIndex(b, &second) && first == second;
}

// Whether the new name is the file `source` held while it was checked: the
// same file, one name more than before (a link to a link would leave the
// count as it was), and no reparse point. The handle on the new name, kept
// in *held then, may move it into place (payload/write/file_writer.h).
static bool linkedToSource(const wchar_t *temporaryPath, HANDLE source,
                           const FILE_STANDARD_INFO &before, void **held) {
    HANDLE linked = CreateFileW(temporaryPath, DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (linked == INVALID_HANDLE_VALUE) {
        return false;
    }
    FILE_STANDARD_INFO link, now;
    bool same = plainFileFacts(linked, &link) && plainFileFacts(source, &now) &&
                now.NumberOfLinks == before.NumberOfLinks + 1 && sameFile(linked, source);
    if (same) {
        *held = linked;
    } else {
        CloseHandle(linked);
    }
    return same;
}

// Copies the held source into a new file at `temporaryPath`, its CRC-32
// checked on the way.
static bool copyFromSource(TakerRoom *room, HANDLE source, const PayloadIndexEntry &entry,
                           const wchar_t *temporaryPath) {
    unsigned char *buffer = room->copyBuffer;
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(source, start, nullptr, FILE_BEGIN)) {
        return false;
    }
    HANDLE copy = CreateFileW(temporaryPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (copy == INVALID_HANDLE_VALUE) {
        return false;
    }
    uint32_t crc = 0;
    uint64_t copied = 0;
    bool ok = true;
    for (;;) {
        DWORD got = 0;
        DWORD written = 0;
        if (!ReadFile(source, buffer, FILE_CHECKSUM_PIECE_SIZE, &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0) {
            break;
        }
        crc = continueCrc32(crc, buffer, got);
        copied += got;
        if (!WriteFile(copy, buffer, got, &written, nullptr) || written != got) {
            ok = false;
            break;
        }
    }
    ok = ok && copied == entry.size && (entry.size == 0 || storedCrc(crc) == entry.crc);
    CloseHandle(copy);
    if (!ok) {
        DeleteFileW(temporaryPath); // made by CREATE_NEW just now: ours
        SetLastError(ERROR_INVALID_DATA);
    }
    return ok;
}

// A program or library: while it runs, the system refuses to delete any
// name of its file, so where older folders are cleaned
// (--clean-old-versions) a link would keep them as long as this version
// runs. Elsewhere linking it too is what saves the disk.
static bool isProgramEntry(const PayloadIndexEntry &entry) {
    static const char16_t *const SUFFIXES[] = {u".exe", u".dll"};
    if (entry.nameLength <= 4) {
        return false;
    }
    for (const char16_t *suffix : SUFFIXES) {
        size_t i = 0;
        while (i < 4 && towlower(indexNameUnit(entry, entry.nameLength - 4 + i)) ==
                            static_cast<wint_t>(suffix[i])) {
            ++i;
        }
        if (i == 4) {
            return true;
        }
    }
    return false;
}

// The room's link request for `temporaryPath`, in the system's own form
// ("\??\C:\...", "\??\UNC\server\share\..."); false for a path of another
// form, which is then linked by name.
static bool prepareLinkRequest(TakerRoom *room, const wchar_t *temporaryPath) {
    wchar_t *name = room->link.info.FileName;
    name[0] = 0;
    if (wcslen(temporaryPath) >= PATH_CAPACITY) {
        return false;
    }
    appendExtendedPath(name, temporaryPath, NT_PATH_CAPACITY);
    // "\\?\" and "\\.\" both stand for the system's "\??\".
    if (name[0] != L'\\' || name[1] != L'\\' || (name[2] != L'?' && name[2] != L'.') ||
        name[3] != L'\\') {
        return false;
    }
    name[1] = L'?';
    name[2] = L'?';
    room->link.info.ReplaceIfExists = FALSE;
    room->link.info.RootDirectory = nullptr;
    room->link.info.FileNameLength = static_cast<ULONG>(wcslen(name) * sizeof(wchar_t));
    return true;
}

// A handle on the new link, to move it into place by (the move by name
// costs more under Wine than this open does); null when it cannot be had.
static HANDLE openLinkForMove(const wchar_t *temporaryPath) {
    HANDLE held = CreateFileW(temporaryPath, DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return held == INVALID_HANDLE_VALUE ? nullptr : held;
}

enum LinkOutcome { LINK_MADE, LINK_REFUSED, LINK_NAME_TAKEN, LINK_NOT_SOURCE };

static const NTSTATUS NAME_COLLISION_STATUS = static_cast<NTSTATUS>(0xC0000035);

// Links the temporary to the held source itself: on Windows the new name
// is then the file checked, wherever its own name went meanwhile. Wine's
// server links by the file's Unix name, so the source must count one name
// more afterwards: a file swapped in under the older name would leave its
// count as it was or lower. Refused: the handle lacks the access, or the
// system the request; the caller then links by name.
static LinkOutcome linkFromHandle(TakerRoom *room, HANDLE source, const wchar_t *temporaryPath,
                                  const FILE_STANDARD_INFO &before, void **held) {
    if (!prepareLinkRequest(room, temporaryPath)) {
        return LINK_REFUSED;
    }
    IO_STATUS_BLOCK status;
    NTSTATUS result = NtSetInformationFile(source, &status, &room->link.info, sizeof room->link,
                                           FileLinkInformation);
    if (result == NAME_COLLISION_STATUS) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return LINK_NAME_TAKEN;
    }
    if (result < 0) {
        return LINK_REFUSED;
    }
    FILE_STANDARD_INFO now;
    if (!GetFileInformationByHandleEx(source, FileStandardInfo, &now, sizeof now) ||
        now.NumberOfLinks != before.NumberOfLinks + 1 || now.DeletePending) {
        return LINK_NOT_SOURCE;
    }
    *held = openLinkForMove(temporaryPath);
    return LINK_MADE;
}

// Links by name, for a handle the system would not link from: the new
// name is opened and compared with the source.
static LinkOutcome linkByName(TakerRoom *room, HANDLE source, const wchar_t *temporaryPath,
                              const FILE_STANDARD_INFO &before, void **held) {
    if (!CreateHardLinkW(temporaryPath, room->olderFilePath, nullptr)) {
        DWORD error = GetLastError();
        return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? LINK_NAME_TAKEN
                                                                           : LINK_REFUSED;
    }
    return linkedToSource(temporaryPath, source, before, held) ? LINK_MADE : LINK_NOT_SOURCE;
}

static TakenHow linkOrCopy(TakerRoom *room, HANDLE source, const PayloadIndexEntry &entry,
                           const FILE_STANDARD_INFO &before, const wchar_t *temporaryPath,
                           void **held) {
    if ((LaunchOptions & LAUNCH_CLEAN_OLD_VERSIONS) != 0 && isProgramEntry(entry)) {
        return copyFromSource(room, source, entry, temporaryPath) ? TAKEN_AS_COPY : NOT_TAKEN;
    }
    LinkOutcome outcome = linkFromHandle(room, source, temporaryPath, before, held);
    TakenHow linked = TAKEN_AS_LINK;
    if (outcome == LINK_REFUSED) {
        outcome = linkByName(room, source, temporaryPath, before, held);
        linked = TAKEN_AS_LINK_BY_NAME;
    }
    switch (outcome) {
    case LINK_MADE:
        return linked;
    case LINK_NAME_TAKEN:
        return NOT_TAKEN;
    case LINK_NOT_SOURCE:
        // Something else was swapped in under the older name: removed if
        // it is a plain file, else left alone (never what a link names).
        AcquireSRWLockExclusive(&deleteLock);
        deletePlainFile(temporaryPath);
        ReleaseSRWLockExclusive(&deleteLock);
        SetLastError(ERROR_INVALID_DATA);
        return NOT_TAKEN;
    case LINK_REFUSED:
        break;
    }
    return copyFromSource(room, source, entry, temporaryPath) ? TAKEN_AS_COPY : NOT_TAKEN;
}

// The source for reading, held against writes. Attribute access too where
// it is granted: Windows may want it to link from the handle (it conflicts
// with no other program's sharing).
static HANDLE openSource(const wchar_t *path) {
    // No write sharing: the content cannot change between its check and
    // the link. Delete sharing: another start's clean-up may still remove
    // the folder (the link then fails, or keeps the content alive).
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_DELETE;
    const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN;
    HANDLE source = CreateFileW(path, GENERIC_READ | FILE_WRITE_ATTRIBUTES, share, nullptr,
                                OPEN_EXISTING, flags, nullptr);
    if (source == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        source = CreateFileW(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, flags, nullptr);
    }
    return source;
}

TakenHow takeOlderFile(size_t taker, const PayloadIndexEntry &entry, const wchar_t *temporaryPath,
                       void **held) {
    *held = nullptr;
    TakerRoom *room = &Rooms[taker];
    if (!buildOlderPath(room, entry)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return NOT_TAKEN;
    }
    HANDLE source = openSource(room->olderFilePath);
    if (source == INVALID_HANDLE_VALUE) {
        return NOT_TAKEN;
    }
    FILE_STANDARD_INFO before;
    TakenHow how = NOT_TAKEN;
    if (sourceMatches(room, source, entry, &before)) {
        how = linkOrCopy(room, source, entry, before, temporaryPath, held);
    } else {
        SetLastError(ERROR_INVALID_DATA);
    }
    DWORD error = GetLastError();
    CloseHandle(source);
    SetLastError(error);
    return how;
}
