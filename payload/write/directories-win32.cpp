#include "payload/write/directories.h"

#include "base/diagnostics.h"
#include "base/path_form.h"
#include "base/wide_text.h"
#include "paths/target_directory.h"
#include "paths/template_expansion.h"
#include "payload/write/file_writer.h"

#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

static const wchar_t HOME_TEMPLATE[] = L"{HOME}";

// Heap copies of directories seen to exist, and whether this process created
// each; never freed.
static wchar_t *KnownDirectories[KNOWN_DIRECTORIES_CAPACITY];
static bool CreatedHere[KNOWN_DIRECTORIES_CAPACITY];
static size_t knownDirectoryCount;
// Heap copies of the directories this process created once KnownDirectories
// was full, in the order made: never looked up, only removed after a failed
// start, so an application of thousands of folders leaves none behind.
static wchar_t **CreatedBeyondKnown;
static size_t createdBeyondCount;
static size_t createdBeyondCapacity;

static void rememberCreatedBeyondKnown(const wchar_t *path) {
    if (createdBeyondCount == createdBeyondCapacity) {
        size_t capacity = createdBeyondCapacity == 0 ? size_t{KNOWN_DIRECTORIES_CAPACITY}
                                                     : 2 * createdBeyondCapacity;
        void *grown = realloc(CreatedBeyondKnown, capacity * sizeof *CreatedBeyondKnown);
        if (grown == nullptr) {
            return;
        }
        CreatedBeyondKnown = static_cast<wchar_t **>(grown);
        createdBeyondCapacity = capacity;
    }
    wchar_t *copy = _wcsdup(path);
    if (copy != nullptr) {
        CreatedBeyondKnown[createdBeyondCount++] = copy;
    }
}

// A copy that cannot be allocated is simply not remembered: the directory
// is then checked again by the system next time, which is still correct
// (only its removal after a failed start is lost).
static void rememberDirectory(const wchar_t *path, bool created) {
    if (knownDirectoryCount >= KNOWN_DIRECTORIES_CAPACITY) {
        if (created) {
            rememberCreatedBeyondKnown(path);
        }
        return;
    }
    wchar_t *copy = _wcsdup(path);
    if (copy != nullptr) {
        CreatedHere[knownDirectoryCount] = created;
        KnownDirectories[knownDirectoryCount++] = copy;
    }
}

// Below TargetDirectory only what the launcher owns is trusted.
static bool isInsideTargetDirectory(const wchar_t *path) {
    size_t length = wcslen(TargetDirectory);
    return length > 0 && wcsncmp(path, TargetDirectory, length) == 0 &&
           (path[length] == L'\\' || TargetDirectory[length - 1] == L'\\') && path[length] != 0;
}

static bool isPlainDirectory(const wchar_t *path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

enum DirectoryState { DIRECTORY_EXISTS, DIRECTORY_MISSING, DIRECTORY_REFUSED };

static DirectoryState ensureDirectory(const wchar_t *path) {
    if (knownDirectoryCount == 0) {
        // The profile directory always exists and may not be creatable, so a
        // walk up from below it stops there. It is kept in the form of the
        // paths compared with it, or as it is when that form cannot be made,
        // which costs only a system call.
        wchar_t home[PATH_CAPACITY];
        home[0] = 0;
        if (!expandTemplatePath(home, HOME_TEMPLATE, PATH_CAPACITY)) {
            fatalTemplateError(HOME_TEMPLATE);
        }
        makeExtendedFullPath(home);
        rememberDirectory(home, false);
    }
    for (size_t i = 0; i < knownDirectoryCount; ++i) {
        if (wcscmp(KnownDirectories[i], path) == 0) {
            return DIRECTORY_EXISTS;
        }
    }
    if (wcslen(path) <= pathRootLength(path)) {
        return DIRECTORY_EXISTS;
    }
    if (CreateDirectoryW(path, nullptr)) {
        rememberDirectory(path, true);
        return DIRECTORY_EXISTS;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
        return DIRECTORY_MISSING;
    }
    // Above the target directory whatever stands there (a file, a link)
    // counts as a directory: the user may place the target behind links,
    // and what is not a directory shows up at the open. Below it, only a
    // plain directory does.
    if (isInsideTargetDirectory(path) && !isPlainDirectory(path)) {
        return DIRECTORY_REFUSED;
    }
    rememberDirectory(path, false);
    return DIRECTORY_EXISTS;
}

// A folder another program holds for a moment (a scanner looks into each
// new folder) is waited out as files are (payload/write/file_writer.h), within
// one budget for all: the holds overlap, and a failed start should not
// wait a budget per folder. A folder that is not empty is no hold.
static void removeCreatedDirectory(const wchar_t *path, uint16_t *waitedMs) {
    while (!RemoveDirectoryW(path) && waitOutLockedFile(waitedMs)) {
    }
}

void removeCreatedDirectories() {
    uint16_t waitedMs = 0;
    // None of these holds a remembered one, made earlier: these go first,
    // the last made first.
    for (size_t i = createdBeyondCount; i > 0; --i) {
        removeCreatedDirectory(CreatedBeyondKnown[i - 1], &waitedMs);
    }
    for (size_t i = knownDirectoryCount; i > 0; --i) {
        if (CreatedHere[i - 1]) {
            removeCreatedDirectory(KnownDirectories[i - 1], &waitedMs);
        }
    }
}

bool directoryCreatedHere(const wchar_t *directory, size_t length) {
    for (size_t i = 0; i < knownDirectoryCount; ++i) {
        if (CreatedHere[i] && wcsncmp(KnownDirectories[i], directory, length) == 0 &&
            KnownDirectories[i][length] == 0) {
            return true;
        }
    }
    return false;
}

// Position of the last separator at index 1 or later that does not cut into
// the root ("C:", "\\?\C:", "\\?\UNC\server\share"), or 0 when there is none.
static size_t findParentSeparator(const wchar_t *path) {
    size_t found = 0;
    if (path[0] == 0) {
        return 0;
    }
    size_t root = pathRootLength(path);
    for (size_t i = root > 1 ? root : 1; path[i] != 0; ++i) {
        if (path[i] == L'\\') {
            found = i;
        }
    }
    return found;
}

// Climbs while a level cannot be made to exist, then makes the levels below
// it on the way back down. Each level is a cut of the same buffer (its
// separator replaced by a terminator), so the depth costs no stack. Only for
// levels outside the target directory: the deepest level comes first.
static void createAncestors(wchar_t *copy) {
    size_t cuts = 0;
    bool reachedExisting = false;
    for (;;) {
        size_t separator = findParentSeparator(copy);
        if (separator == 0) {
            break;
        }
        copy[separator] = 0;
        ++cuts;
        if (ensureDirectory(copy) == DIRECTORY_EXISTS) {
            reachedExisting = true;
            break;
        }
    }
    if (cuts == 0) {
        return;
    }
    // The level that exists needs no second call; one without a parent gets
    // its second attempt like every level below it.
    if (reachedExisting) {
        if (cuts == 1) {
            return;
        }
        copy[wcslen(copy)] = L'\\';
        --cuts;
    }
    for (;;) {
        ensureDirectory(copy);
        if (--cuts == 0) {
            return;
        }
        copy[wcslen(copy)] = L'\\';
    }
}

bool createParentDirectories(const wchar_t *path) {
    wchar_t copy[PATH_CAPACITY];
    size_t length = wcslen(path);
    if (length >= PATH_CAPACITY) {
        abort();
    }
    wmemcpy(copy, path, length + 1);
    size_t separator = findParentSeparator(copy);
    if (separator == 0) {
        return true;
    }
    copy[separator] = 0;
    if (!isInsideTargetDirectory(copy)) {
        copy[separator] = L'\\';
        createAncestors(copy);
        return true;
    }
    // A remembered parent settles it with no system call.
    for (size_t i = 0; i < knownDirectoryCount; ++i) {
        if (wcscmp(KnownDirectories[i], copy) == 0) {
            return true;
        }
    }
    // The target directory and what is above it, links allowed, through its
    // first level; then down from that level, so that no level is ever
    // created or entered through a link.
    size_t end = wcslen(TargetDirectory);
    end += TargetDirectory[end - 1] == L'\\' ? 0 : 1;
    while (copy[end] != 0 && copy[end] != L'\\') {
        ++end;
    }
    wchar_t cut = copy[end];
    copy[end] = 0;
    wchar_t first[PATH_CAPACITY];
    wmemcpy(first, copy, end + 1);
    createAncestors(first);
    for (;;) {
        DirectoryState state = ensureDirectory(copy);
        if (state == DIRECTORY_REFUSED) {
            return false;
        }
        // A level that cannot be made shows up at the open.
        if (state == DIRECTORY_MISSING || cut == 0) {
            return true;
        }
        copy[end] = cut;
        do {
            ++end;
        } while (copy[end] != 0 && copy[end] != L'\\');
        cut = copy[end];
        copy[end] = 0;
    }
}
