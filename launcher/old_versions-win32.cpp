#include "launcher/old_versions.h"

#include "base/path_form.h"
#include "buildinfo/build_constants.h"
#include "paths/target_directory.h"
#include "payload/turn/folder_marker.h"
#include "payload/write/safe_delete.h"

#include <windows.h>

#include <string.h>
#include <wchar.h>

// The folder being worked on: grown by one name per level, cut back after.
static wchar_t workPath[PATH_CAPACITY];
static unsigned char siblingMarker[FOLDER_MARKER_CAPACITY * sizeof(wchar_t)];

// Appends "\name" to workPath of `length` units; false when it does not fit.
static bool enterName(size_t length, const wchar_t *name) {
    size_t nameLength = wcslen(name);
    if (length + 1 + nameLength + 1 > PATH_CAPACITY) {
        return false;
    }
    workPath[length] = L'\\';
    memcpy(workPath + length + 1, name, (nameLength + 1) * sizeof(wchar_t));
    return true;
}

static bool isDotEntry(const wchar_t *name) {
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

static bool isProgramFile(const wchar_t *name) {
    size_t length = wcslen(name);
    return length > 4 &&
           (_wcsicmp(name + length - 4, L".exe") == 0 || _wcsicmp(name + length - 4, L".dll") == 0);
}

// Which entries a pass over a folder removes: programs first, as a running
// application holds them, so that its data files are never reached.
enum RemovalPass { PASS_PROGRAMS, PASS_FILES, PASS_FOLDERS, PASS_COUNT };

static bool removeTree(size_t length, bool top);

// Removes one entry of workPath (already entered). A link is neither removed
// nor entered (payload/write/safe_delete.h): it keeps its folder, like a file in use.
static bool removeEntry(size_t length, const WIN32_FIND_DATAW &entry) {
    DWORD attributes = entry.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return isPlainEntry(workPath, true) && removeTree(length, false);
    }
    return deletePlainFile(workPath);
}

static bool belongsToPass(const WIN32_FIND_DATAW &entry, int pass) {
    bool folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                  (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    if (pass == PASS_FOLDERS) {
        return folder;
    }
    return !folder && isProgramFile(entry.cFileName) == (pass == PASS_PROGRAMS);
}

// Empties the folder workPath (`length` units) and, unless it is the top,
// removes it. The top folder's marker stays. False at the first failure.
static bool removeTree(size_t length, bool top) {
    for (int pass = 0; pass < PASS_COUNT; ++pass) {
        if (!enterName(length, L"*")) {
            return false;
        }
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW(workPath, &entry);
        workPath[length] = 0;
        if (search == INVALID_HANDLE_VALUE) {
            return false;
        }
        bool removed = true;
        do {
            if (isDotEntry(entry.cFileName) || !belongsToPass(entry, pass) ||
                (top && _wcsicmp(entry.cFileName, FOLDER_MARKER_NAME) == 0)) {
                continue;
            }
            removed = enterName(length, entry.cFileName) && removeEntry(wcslen(workPath), entry);
            workPath[length] = 0;
        } while (removed && FindNextFileW(search, &entry));
        FindClose(search);
        if (!removed) {
            return false;
        }
    }
    return top || removePlainFolder(workPath);
}

// The sibling folder in workPath (`length` units), if it is an older
// version's and nobody holds its marker open: emptied, marker last.
static void removeIfOlderVersion(size_t length) {
    if (!enterName(length, FOLDER_MARKER_NAME)) {
        return;
    }
    // Exclusive: fails while a launcher of that folder runs.
    HANDLE marker = CreateFileW(workPath, GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (marker == INVALID_HANDLE_VALUE) {
        workPath[length] = 0;
        return;
    }
    // The marker is deleted through this handle: never a link's target.
    bool plain = isPlainEntryHandle(marker, workPath);
    workPath[length] = 0;
    BY_HANDLE_FILE_INFORMATION information;
    DWORD read = 0;
    bool older =
        plain && GetFileInformationByHandle(marker, &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        ReadFile(marker, siblingMarker, sizeof siblingMarker, &read, nullptr) &&
        read % sizeof(wchar_t) == 0 &&
        isOlderFolderMarker(reinterpret_cast<const wchar_t *>(siblingMarker),
                            read / sizeof(wchar_t), BUILD_COMPANY, BUILD_PRODUCT, BUILD_VERSION);
    if (older && removeTree(length, true)) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        SetFileInformationByHandle(marker, FileDispositionInfo, &disposition, sizeof disposition);
        CloseHandle(marker);
        removePlainFolder(workPath);
        return;
    }
    CloseHandle(marker);
}

void removeOldVersions() {
    size_t length = wcslen(TargetDirectory);
    while (length > 0 && TargetDirectory[length - 1] == L'\\') {
        --length;
    }
    // A root has no siblings.
    size_t root = pathRootLength(TargetDirectory);
    size_t parentLength = length;
    while (parentLength > root && TargetDirectory[parentLength - 1] != L'\\') {
        --parentLength;
    }
    if (parentLength <= root) {
        return;
    }
    const wchar_t *ownName = TargetDirectory + parentLength;
    size_t ownLength = length - parentLength;
    --parentLength; // without its separator
    memcpy(workPath, TargetDirectory, parentLength * sizeof(wchar_t));
    workPath[parentLength] = 0;
    if (!enterName(parentLength, L"*")) {
        return;
    }
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(workPath, &entry);
    workPath[parentLength] = 0;
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        bool plainFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                           (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        bool own = wcslen(entry.cFileName) == ownLength &&
                   _wcsnicmp(entry.cFileName, ownName, ownLength) == 0;
        if (!plainFolder || own || isDotEntry(entry.cFileName) ||
            !enterName(parentLength, entry.cFileName)) {
            continue;
        }
        if (isPlainEntry(workPath, true)) {
            removeIfOlderVersion(wcslen(workPath));
        }
        workPath[parentLength] = 0;
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}
