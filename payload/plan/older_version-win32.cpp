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
static wchar_t OlderFilePath[PATH_CAPACITY];
static wchar_t ResolvedFile[PATH_CAPACITY];
static unsigned char MarkerBytes[FOLDER_MARKER_CAPACITY * sizeof(wchar_t)];
// Cache-line aligned, as the check's buffers (payload/check/file_checksum.h).
alignas(64) static unsigned char CopyBuffer[FILE_CHECKSUM_PIECE_SIZE];

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

// OlderFilePath for `entry`; false when it does not fit or there is no folder.
static bool buildOlderPath(const PayloadIndexEntry &entry) {
    if (OlderFolder[0] == 0 || olderFolderLength + 1 + entry.nameLength >= PATH_CAPACITY) {
        return false;
    }
    wmemcpy(OlderFilePath, OlderFolder, olderFolderLength);
    OlderFilePath[olderFolderLength] = L'\\';
    for (size_t i = 0; i < entry.nameLength; ++i) {
        OlderFilePath[olderFolderLength + 1 + i] = static_cast<wchar_t>(indexNameUnit(entry, i));
    }
    OlderFilePath[olderFolderLength + 1 + entry.nameLength] = 0;
    return true;
}

bool olderFileMayMatch(const PayloadIndexEntry &entry) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return buildOlderPath(entry) &&
           GetFileAttributesExW(OlderFilePath, GetFileExInfoStandard, &data) &&
           (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
               0 &&
           ((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow) == entry.size;
}

// Whether `file` resolves to the older folder's resolved path plus the
// entry's name: no link, junction or Wine link to a file on the way.
static bool resolvesBelowOlderFolder(HANDLE file, const PayloadIndexEntry &entry) {
    size_t length;
    if (!resolve(file, ResolvedFile, &length) ||
        length != resolvedOlderLength + 1 + entry.nameLength ||
        ResolvedFile[resolvedOlderLength] != L'\\' ||
        CompareStringOrdinal(ResolvedFile, static_cast<int>(resolvedOlderLength), ResolvedOlder,
                             static_cast<int>(resolvedOlderLength), TRUE) != CSTR_EQUAL) {
        return false;
    }
    return CompareStringOrdinal(ResolvedFile + resolvedOlderLength + 1,
                                static_cast<int>(entry.nameLength),
                                OlderFilePath + olderFolderLength + 1,
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
static bool sourceMatches(HANDLE source, const PayloadIndexEntry &entry,
                          FILE_STANDARD_INFO *facts) {
    if (!resolvesBelowOlderFolder(source, entry) || !plainFileFacts(source, facts) ||
        static_cast<uint64_t>(facts->EndOfFile.QuadPart) != entry.size) {
        return false;
    }
    return entry.size == 0 || computeHandleChecksum(source, CopyBuffer) == entry.crc;
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
static bool copyFromSource(HANDLE source, const PayloadIndexEntry &entry,
                           const wchar_t *temporaryPath) {
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
        if (!ReadFile(source, CopyBuffer, sizeof CopyBuffer, &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0) {
            break;
        }
        crc = continueCrc32(crc, CopyBuffer, got);
        copied += got;
        if (!WriteFile(copy, CopyBuffer, got, &written, nullptr) || written != got) {
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

static TakenHow linkOrCopy(HANDLE source, const PayloadIndexEntry &entry,
                           const FILE_STANDARD_INFO &before, const wchar_t *temporaryPath,
                           void **held) {
    if ((LaunchOptions & LAUNCH_CLEAN_OLD_VERSIONS) != 0 && isProgramEntry(entry)) {
        return copyFromSource(source, entry, temporaryPath) ? TAKEN_AS_COPY : NOT_TAKEN;
    }
    if (CreateHardLinkW(temporaryPath, OlderFilePath, nullptr)) {
        if (linkedToSource(temporaryPath, source, before, held)) {
            return TAKEN_AS_LINK;
        }
        // Something else was swapped in under the older name: removed if
        // it is a plain file, else left alone (never what a link names).
        deletePlainFile(temporaryPath);
        SetLastError(ERROR_INVALID_DATA);
        return NOT_TAKEN;
    }
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
        return NOT_TAKEN;
    }
    return copyFromSource(source, entry, temporaryPath) ? TAKEN_AS_COPY : NOT_TAKEN;
}

TakenHow takeOlderFile(const PayloadIndexEntry &entry, const wchar_t *temporaryPath, void **held) {
    *held = nullptr;
    if (!buildOlderPath(entry)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return NOT_TAKEN;
    }
    // No write sharing: the content cannot change between its check and
    // the link. Delete sharing: another start's clean-up may still remove
    // the folder (the link then fails, or keeps the content alive).
    HANDLE source = CreateFileW(OlderFilePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (source == INVALID_HANDLE_VALUE) {
        return NOT_TAKEN;
    }
    FILE_STANDARD_INFO before;
    TakenHow how = NOT_TAKEN;
    if (sourceMatches(source, entry, &before)) {
        how = linkOrCopy(source, entry, before, temporaryPath, held);
    } else {
        SetLastError(ERROR_INVALID_DATA);
    }
    DWORD error = GetLastError();
    CloseHandle(source);
    SetLastError(error);
    return how;
}
