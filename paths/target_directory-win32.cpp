#include "paths/target_directory.h"

#include "base/wide_append.h"

#include <windows.h>

#include <stdlib.h>

wchar_t TargetDirectory[PATH_CAPACITY];

void resolveTargetDirectory() {
    wchar_t full[PATH_CAPACITY];
    DWORD length = GetFullPathNameW(TargetDirectory, PATH_CAPACITY, full, nullptr);
    if (length == 0 || length >= PATH_CAPACITY) {
        abort();
    }
    for (DWORD i = 0; i <= length; ++i) {
        TargetDirectory[i] = full[i];
    }
}

void buildTargetPath(wchar_t *path, const wchar_t *name) {
    path[0] = 0;
    appendWideString(path, TargetDirectory, PATH_CAPACITY);
    appendWideChar(path, L'\\', PATH_CAPACITY);
    appendWideString(path, name, PATH_CAPACITY);
}
