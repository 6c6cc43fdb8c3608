// Windows' path length limit for a program linked with this object, under
// Wine, which has none: Windows without LongPathsEnabled refuses a path
// without the \\?\ (or \\.\) prefix whose full form is MAX_PATH (260) units
// or longer, and a folder to create from MAX_PATH - 12 (248) on. Test-only.
//
// Before main, a static initializer replaces the program's own import
// address table entries for the kernel32 functions below by wrappers that
// fail such a path the way Windows does (ERROR_PATH_NOT_FOUND, for a folder
// or a program to start ERROR_FILENAME_EXCED_RANGE) and otherwise call the
// function. Only functions the program imports are replaced; calls made
// inside system DLLs and msvcrt keep Wine's behaviour. GetFullPathNameW
// stays as it is: it takes long paths on Windows too.
#include "import_patch-win32.h"

#include <windows.h>

#include <string.h>
#include <wchar.h>

namespace {

enum : DWORD {
    // Units, terminator excluded, from which a path is refused.
    PATH_LIMIT = MAX_PATH,
    // CreateDirectoryW leaves room for an 8.3 name in the folder.
    FOLDER_PATH_LIMIT = MAX_PATH - 12,
};

bool refused(const wchar_t *path, DWORD limit, DWORD error) {
    if (path == nullptr || wcsncmp(path, L"\\\\?\\", 4) == 0 || wcsncmp(path, L"\\\\.\\", 4) == 0) {
        return false;
    }
    // The length of the full form, terminator included.
    DWORD full = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (full == 0 || full - 1 < limit) {
        return false;
    }
    SetLastError(error);
    return true;
}

bool refusedFile(const wchar_t *path) {
    return refused(path, PATH_LIMIT, ERROR_PATH_NOT_FOUND);
}

decltype(&CreateFileW) realCreateFileW;
decltype(&CreateDirectoryW) realCreateDirectoryW;
decltype(&RemoveDirectoryW) realRemoveDirectoryW;
decltype(&DeleteFileW) realDeleteFileW;
decltype(&MoveFileExW) realMoveFileExW;
decltype(&GetFileAttributesW) realGetFileAttributesW;
decltype(&GetFileAttributesExW) realGetFileAttributesExW;
decltype(&FindFirstFileW) realFindFirstFileW;
decltype(&FindFirstFileExW) realFindFirstFileExW;
decltype(&CreateProcessW) realCreateProcessW;

HANDLE WINAPI limitedCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                 LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                 HANDLE model) {
    return refusedFile(path)
               ? INVALID_HANDLE_VALUE
               : realCreateFileW(path, access, share, security, disposition, flags, model);
}

BOOL WINAPI limitedCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
    return !refused(path, FOLDER_PATH_LIMIT, ERROR_FILENAME_EXCED_RANGE) &&
           realCreateDirectoryW(path, security);
}

BOOL WINAPI limitedRemoveDirectoryW(LPCWSTR path) {
    return !refusedFile(path) && realRemoveDirectoryW(path);
}

BOOL WINAPI limitedDeleteFileW(LPCWSTR path) {
    return !refusedFile(path) && realDeleteFileW(path);
}

BOOL WINAPI limitedMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    return !refusedFile(from) && !refusedFile(to) && realMoveFileExW(from, to, flags);
}

DWORD WINAPI limitedGetFileAttributesW(LPCWSTR path) {
    return refusedFile(path) ? INVALID_FILE_ATTRIBUTES : realGetFileAttributesW(path);
}

BOOL WINAPI limitedGetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data) {
    return !refusedFile(path) && realGetFileAttributesExW(path, level, data);
}

HANDLE WINAPI limitedFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    return refusedFile(pattern) ? INVALID_HANDLE_VALUE : realFindFirstFileW(pattern, data);
}

HANDLE WINAPI limitedFindFirstFileExW(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID data,
                                      FINDEX_SEARCH_OPS search, LPVOID filter, DWORD flags) {
    return refusedFile(pattern) ? INVALID_HANDLE_VALUE
                                : realFindFirstFileExW(pattern, level, data, search, filter, flags);
}

// The program and the current folder are checked; the command line's first
// word only names the program when there is no application name.
BOOL WINAPI limitedCreateProcessW(LPCWSTR application, LPWSTR commandLine,
                                  LPSECURITY_ATTRIBUTES processSecurity,
                                  LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit, DWORD flags,
                                  LPVOID environment, LPCWSTR folder, LPSTARTUPINFOW startup,
                                  LPPROCESS_INFORMATION process) {
    return !refused(application, PATH_LIMIT, ERROR_FILENAME_EXCED_RANGE) &&
           !refused(folder, PATH_LIMIT, ERROR_FILENAME_EXCED_RANGE) &&
           realCreateProcessW(application, commandLine, processSecurity, threadSecurity, inherit,
                              flags, environment, folder, startup, process);
}

// The casts only change how the addresses are stored.
#define PATCH(function)                                                                            \
    ImportPatch {                                                                                  \
#function, reinterpret_cast < void *>(&limited##function),                                 \
            reinterpret_cast < void **>(&real##function)                                           \
    }

const ImportPatch PATCHES[] = {
    PATCH(CreateFileW),          PATCH(CreateDirectoryW), PATCH(RemoveDirectoryW),
    PATCH(DeleteFileW),          PATCH(MoveFileExW),      PATCH(GetFileAttributesW),
    PATCH(GetFileAttributesExW), PATCH(FindFirstFileW),   PATCH(FindFirstFileExW),
    PATCH(CreateProcessW),
};

bool installShim() {
    patchKernel32Imports(PATCHES, sizeof PATCHES / sizeof PATCHES[0]);
    return true;
}

[[maybe_unused]] const bool installed = installShim();

} // namespace
