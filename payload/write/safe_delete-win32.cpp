#include "payload/write/safe_delete.h"

#include "base/wide_text.h"

#include <string.h>
#include <wchar.h>

static wchar_t folderPath[PATH_CAPACITY];
static wchar_t resolvedFolder[PATH_CAPACITY];
static wchar_t resolvedEntry[PATH_CAPACITY];

static const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A handle on the entry itself, never on what a reparse point names.
static const DWORD OPEN_ENTRY_FLAGS = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

static bool resolve(HANDLE handle, wchar_t *target) {
    DWORD length = GetFinalPathNameByHandleW(handle, target, PATH_CAPACITY,
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return length > 0 && length < PATH_CAPACITY;
}

static bool sameText(const wchar_t *a, size_t aLength, const wchar_t *b, size_t bLength) {
    return CompareStringOrdinal(a, static_cast<int>(aLength), b, static_cast<int>(bLength), TRUE) ==
           CSTR_EQUAL;
}

// Whether the handle resolves to folderPath's resolved path plus `name`.
static bool resolvesInsideFolder(HANDLE handle, const wchar_t *name) {
    // The folder may be reached through a link: it is resolved like the entry.
    HANDLE folder = CreateFileW(folderPath, FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool resolved = resolve(folder, resolvedFolder) && resolve(handle, resolvedEntry);
    CloseHandle(folder);
    if (!resolved) {
        return false;
    }
    size_t folderLength = wcslen(resolvedFolder);
    while (folderLength > 0 && resolvedFolder[folderLength - 1] == L'\\') {
        --folderLength; // a drive's root resolves with its separator
    }
    size_t entryLength = wcslen(resolvedEntry);
    return entryLength > folderLength + 1 && resolvedEntry[folderLength] == L'\\' &&
           sameText(resolvedEntry, folderLength, resolvedFolder, folderLength) &&
           sameText(resolvedEntry + folderLength + 1, entryLength - folderLength - 1, name,
                    wcslen(name));
}

// The handle's attributes if it is the plain entry of `path`, else
// INVALID_FILE_ATTRIBUTES.
static DWORD plainAttributes(HANDLE handle, const wchar_t *path) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) ||
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return INVALID_FILE_ATTRIBUTES;
    }
    const wchar_t *name = path + wcslen(path);
    while (name > path && name[-1] != L'\\' && name[-1] != L'/') {
        --name;
    }
    size_t folderLength = static_cast<size_t>(name - path);
    if (folderLength == 0 || *name == 0 || folderLength >= PATH_CAPACITY) {
        return INVALID_FILE_ATTRIBUTES;
    }
    memcpy(folderPath, path, folderLength * sizeof(wchar_t));
    folderPath[folderLength] = 0;
    return resolvesInsideFolder(handle, name) ? tag.FileAttributes : INVALID_FILE_ATTRIBUTES;
}

static bool isKind(DWORD attributes, bool folder) {
    return attributes != INVALID_FILE_ATTRIBUTES &&
           ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folder;
}

bool isPlainEntryHandle(HANDLE handle, const wchar_t *path) {
    return plainAttributes(handle, path) != INVALID_FILE_ATTRIBUTES;
}

bool isPlainEntry(const wchar_t *path, bool folder) {
    HANDLE handle = CreateFileW(path, FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                                OPEN_ENTRY_FLAGS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool plain = isKind(plainAttributes(handle, path), folder);
    CloseHandle(handle);
    return plain;
}

bool isLinkedEntry(const wchar_t *path) {
    HANDLE handle = CreateFileW(path, FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                                OPEN_ENTRY_FLAGS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    bool linked = !GetFileInformationByHandle(handle, &information) ||
                  information.nNumberOfLinks > 1 ||
                  plainAttributes(handle, path) == INVALID_FILE_ATTRIBUTES;
    CloseHandle(handle);
    return linked;
}

// The checked handle removes the entry, so nothing can be swapped in between.
static bool removePlainEntry(const wchar_t *path, bool folder) {
    HANDLE handle = CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                                OPEN_EXISTING, OPEN_ENTRY_FLAGS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    bool removed =
        isKind(plainAttributes(handle, path), folder) &&
        SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
    CloseHandle(handle);
    return removed;
}

bool deletePlainFile(const wchar_t *path) {
    return removePlainEntry(path, false);
}

bool removePlainFolder(const wchar_t *path) {
    return removePlainEntry(path, true);
}
