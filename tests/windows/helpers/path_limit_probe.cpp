// Tries each file call that tallix_path_limit_shim limits on entries below
// FOLDER (a folder whose full path is long), once plainly and once through
// the \\?\ prefix, and prints a line for each: "plain" or "prefixed" and
// the error code of each call in turn, 0 for success: CreateDirectoryW,
// CreateFileW, GetFileAttributesW, GetFileAttributesExW, MoveFileExW,
// FindFirstFileW, FindFirstFileExW, DeleteFileW, RemoveDirectoryW.
// Built with and without the shim.
//   path_limit_probe FOLDER
#include <windows.h>

#include <stdio.h>
#include <string>

static DWORD outcome(bool succeeded) {
    return succeeded ? 0 : GetLastError();
}

static DWORD findFirst(const std::wstring &pattern, bool extended) {
    WIN32_FIND_DATAW found;
    HANDLE search = extended ? FindFirstFileExW(pattern.c_str(), FindExInfoStandard, &found,
                                                FindExSearchNameMatch, nullptr, 0)
                             : FindFirstFileW(pattern.c_str(), &found);
    DWORD error = outcome(search != INVALID_HANDLE_VALUE);
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    return error;
}

static void probe(const char *form, const std::wstring &folder) {
    std::wstring file = folder + L"\\file", moved = folder + L"\\moved";
    DWORD codes[9];
    codes[0] = outcome(CreateDirectoryW(folder.c_str(), nullptr));
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    codes[1] = outcome(handle != INVALID_HANDLE_VALUE);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
    codes[2] = outcome(GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES);
    WIN32_FILE_ATTRIBUTE_DATA data;
    codes[3] = outcome(GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data));
    codes[4] = outcome(MoveFileExW(file.c_str(), moved.c_str(), 0));
    codes[5] = findFirst(folder + L"\\*", false);
    codes[6] = findFirst(folder + L"\\*", true);
    codes[7] = outcome(DeleteFileW(moved.c_str()));
    codes[8] = outcome(RemoveDirectoryW(folder.c_str()));
    printf("%s", form);
    for (DWORD code : codes) {
        printf(" %lu", static_cast<unsigned long>(code));
    }
    printf("\n");
}

int wmain(int argc, wchar_t **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: path_limit_probe FOLDER\n");
        return 2;
    }
    probe("plain", std::wstring(argv[1]) + L"\\plain");
    probe("prefixed", L"\\\\?\\" + std::wstring(argv[1]) + L"\\prefixed");
    return 0;
}
