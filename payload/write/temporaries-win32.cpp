#include "payload/write/temporaries.h"

#include "base/wide_append.h"
#include "base/wide_text.h"
#include "payload/write/file_writer.h"
#include "payload/write/safe_delete.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static const wchar_t TEMPORARY_PREFIX[] = L"~tallix-";
static const wchar_t TEMPORARY_SUFFIX[] = L".tmp";
// The launcher's own files are compared in pieces of this size.
enum { OWN_FILE_COMPARE_PIECE = 4096 };

static void appendNumber(wchar_t *path, uint32_t number) {
    char text[16];
    snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(number));
    appendNarrowString(path, text, PATH_CAPACITY);
}

void buildTemporaryPath(wchar_t *path, const wchar_t *finalPath, uint32_t number) {
    path[0] = 0;
    appendWideString(path, finalPath, PATH_CAPACITY);
    wchar_t *separator = wcsrchr(path, L'\\');
    if (separator != nullptr) {
        separator[1] = 0;
    }
    appendWideString(path, TEMPORARY_PREFIX, PATH_CAPACITY);
    appendNumber(path, GetCurrentProcessId());
    appendWideChar(path, L'-', PATH_CAPACITY);
    appendNumber(path, number);
    appendWideString(path, TEMPORARY_SUFFIX, PATH_CAPACITY);
}

static bool processHasEnded(DWORD processId) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (process == nullptr) {
        // Another user's process may refuse to be opened; it is left alone.
        return GetLastError() == ERROR_INVALID_PARAMETER;
    }
    bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

// Whether `name`, found by the sweep's pattern, is a temporary of a start
// that has ended.
static bool isStaleTemporary(const wchar_t *name) {
    size_t prefixLength = wcslen(TEMPORARY_PREFIX);
    if (wcsncmp(name, TEMPORARY_PREFIX, prefixLength) != 0) {
        return false;
    }
    wchar_t *end = nullptr;
    unsigned long owner = wcstoul(name + prefixLength, &end, 10);
    return end != nullptr && *end == L'-' && owner != GetCurrentProcessId() &&
           processHasEnded(owner);
}

void removeStaleTemporaries(const wchar_t *directory, ApplicationFileTest isApplicationFile) {
    static wchar_t pattern[PATH_CAPACITY];
    pattern[0] = 0;
    appendWideString(pattern, directory, PATH_CAPACITY);
    size_t directoryLength = wcslen(pattern);
    appendWideString(pattern, TEMPORARY_PREFIX, PATH_CAPACITY);
    appendWideString(pattern, L"*", PATH_CAPACITY);
    appendWideString(pattern, TEMPORARY_SUFFIX, PATH_CAPACITY);

    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if (isStaleTemporary(found.cFileName)) {
            pattern[directoryLength] = 0;
            appendWideString(pattern, found.cFileName, PATH_CAPACITY);
            if (!isApplicationFile(pattern)) {
                deletePlainFile(pattern);
            }
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Access denied is not waited for: that is no program holding the file.
static bool waitOutHolder(uint16_t *waitedMs) {
    return GetLastError() != ERROR_ACCESS_DENIED && waitOutLockedFile(waitedMs);
}

// Whether the plain file at `path` holds exactly `size` bytes of `data`:
// another start placed the same file first.
static bool holdsContent(const wchar_t *path, const void *data, size_t size) {
    static unsigned char piece[OWN_FILE_COMPARE_PIECE];
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const unsigned char *expected = static_cast<const unsigned char *>(data);
    size_t left = size;
    DWORD got = 0;
    bool same = true;
    // One byte more than should remain, so that the last read proves the end.
    while (same &&
           ReadFile(file, piece, static_cast<DWORD>(left < sizeof piece ? left + 1 : sizeof piece),
                    &got, nullptr) &&
           got > 0) {
        same = got <= left && memcmp(piece, expected, got) == 0;
        expected += got;
        left -= got;
    }
    CloseHandle(file);
    return same && left == 0;
}

bool placeOwnFile(const wchar_t *path, uint32_t number, const void *data, size_t size) {
    static wchar_t temporary[PATH_CAPACITY];
    buildTemporaryPath(temporary, path, number);
    uint16_t waitedMs = 0;
    HANDLE file;
    // A file under the temporary's name (an earlier process with this id
    // left it) stays, and this start places nothing.
    do {
        file = CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    } while (file == INVALID_HANDLE_VALUE && waitOutHolder(&waitedMs));
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    bool placed =
        WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
    CloseHandle(file);
    // A move replaces a name, never writes through it: a link that appears
    // after the check is replaced itself, and what it names stays as it was.
    // A move that fails is fine when another start placed the same file.
    while (placed) {
        if (isLinkedEntry(path)) {
            placed = false;
        } else if (MoveFileExW(temporary, path, MOVEFILE_REPLACE_EXISTING)) {
            return true;
        } else {
            DWORD error = GetLastError();
            if (holdsContent(path, data, size)) {
                break;
            }
            SetLastError(error);
            placed = waitOutHolder(&waitedMs);
        }
    }
    while (!DeleteFileW(temporary) && waitOutLockedFile(&waitedMs)) {
    }
    return placed;
}
