#include "paths/target_directory.h"

#include "base/path_form.h"
#include "base/wide_append.h"

#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

// "\\?\UNC\" replaces the "\\" of a UNC path: 6 units more.
static const size_t EXTENDED_PREFIX_ROOM = 6;

wchar_t TargetDirectory[PATH_CAPACITY];

bool makeExtendedFullPath(wchar_t *path) {
    wchar_t full[PATH_CAPACITY];
    DWORD length = GetFullPathNameW(path, PATH_CAPACITY, full, nullptr);
    if (length == 0 || length >= PATH_CAPACITY) {
        return false;
    }
    // Room for the longest prefix, so that a result too long is seen here.
    wchar_t extended[PATH_CAPACITY + EXTENDED_PREFIX_ROOM];
    extended[0] = 0;
    appendExtendedPath(extended, full, PATH_CAPACITY + EXTENDED_PREFIX_ROOM);
    size_t end = wcslen(extended);
    // "\\?\C:\x\" would name an entry "" in x; the root keeps its "\".
    size_t root = pathRootLength(extended);
    while (end > root + 1 && extended[end - 1] == L'\\') {
        extended[--end] = 0;
    }
    if (end >= PATH_CAPACITY) {
        return false;
    }
    wmemcpy(path, extended, end + 1);
    return true;
}

void resolveTargetDirectory() {
    if (TargetDirectory[0] == 0 || !makeExtendedFullPath(TargetDirectory)) {
        abort();
    }
}

bool buildTargetPath(wchar_t *path, const wchar_t *name, size_t nameLength) {
    size_t length = wcslen(TargetDirectory);
    size_t separator =
        nameLength > 0 && (length == 0 || TargetDirectory[length - 1] != L'\\') ? 1 : 0;
    if (length + separator + nameLength >= PATH_CAPACITY) {
        path[0] = 0;
        return false;
    }
    wmemcpy(path, TargetDirectory, length);
    if (separator != 0) {
        path[length++] = L'\\';
    }
    wmemcpy(path + length, name, nameLength);
    path[length + nameLength] = 0;
    return true;
}
