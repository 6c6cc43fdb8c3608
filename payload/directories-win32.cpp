#include "payload/directories.h"

#include "launcher/diagnostics.h"
#include "paths/template_expansion.h"
#include "paths/wide_text.h"

#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

static const wchar_t HOME_TEMPLATE[] = L"{HOME}";

// Heap copies of directories seen to exist; never freed.
static wchar_t *KnownDirectories[KNOWN_DIRECTORIES_CAPACITY];
static size_t knownDirectoryCount;

// A copy that cannot be allocated is simply not remembered: the directory
// is then checked again by the system next time, which is still correct.
static void rememberDirectory(const wchar_t *path) {
    if (knownDirectoryCount >= KNOWN_DIRECTORIES_CAPACITY) {
        return;
    }
    wchar_t *copy = _wcsdup(path);
    if (copy != nullptr) {
        KnownDirectories[knownDirectoryCount++] = copy;
    }
}

bool ensureDirectory(const wchar_t *path) {
    if (knownDirectoryCount == 0) {
        // The profile directory always exists and may not be creatable, so a
        // walk up from below it stops there.
        wchar_t home[PATH_CAPACITY];
        home[0] = 0;
        if (!expandTemplatePath(home, HOME_TEMPLATE, PATH_CAPACITY)) {
            fatalTemplateError(HOME_TEMPLATE);
        }
        rememberDirectory(home);
    }
    for (size_t i = 0; i < knownDirectoryCount; ++i) {
        if (wcscmp(KnownDirectories[i], path) == 0) {
            return true;
        }
    }
    if (path[0] != 0 && path[1] == L':' && path[2] == 0) {
        return true;
    }
    if (CreateDirectoryW(path, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
        rememberDirectory(path);
        return true;
    }
    return false;
}

// Position of the last separator at index 1 or later, or 0 when there is none.
static size_t findParentSeparator(const wchar_t *path) {
    size_t found = 0;
    if (path[0] == 0) {
        return 0;
    }
    for (size_t i = 1; path[i] != 0; ++i) {
        if (path[i] == L'\\') {
            found = i;
        }
    }
    return found;
}

// Climbs while a level cannot be made to exist, then makes the levels below
// it on the way back down. Each level is a cut of the same buffer (its
// separator replaced by a terminator), so the depth costs no stack.
void createParentDirectories(const wchar_t *path) {
    wchar_t copy[PATH_CAPACITY];
    size_t length = wcslen(path);
    if (length >= PATH_CAPACITY) {
        abort();
    }
    wmemcpy(copy, path, length + 1);

    size_t cuts = 0;
    bool reachedExisting = false;
    for (;;) {
        size_t separator = findParentSeparator(copy);
        if (separator == 0) {
            break;
        }
        copy[separator] = 0;
        ++cuts;
        if (ensureDirectory(copy)) {
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
