// An on-access scanner as antivirus programs on Windows are: each file that
// appears, is renamed into place or is written below a folder is opened
// right after the event and held for a while, sharing reading and writing
// but not deletion, so that renaming or deleting it meanwhile fails with a
// sharing violation (error 32). Unlike a scanner in the file system, it
// opens a file only after the change is reported, a few milliseconds late.
// Test-only.
//
//   scanner_emulator watch ROOT [--hold-ms N] [--ready FILE] [--seconds S]
//                               [--folders 1]
//       watches ROOT and every folder below it, present or new, for S
//       seconds (default 600) or until ended, holding each file N ms
//       (default 200), with --folders each new folder too, which is then
//       held rather than watched; writes FILE once
//       it watches and prints "held PATH" for each file or folder it holds.
//   scanner_emulator churn DIR COUNT
//       creates COUNT files in DIR, renaming and then deleting each shortly
//       after it is closed, retrying past sharing violations; prints
//       "sharing-violations N". Exit status 1 when an operation fails
//       otherwise or the retries run out.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

enum {
    DEFAULT_HOLD_MS = 200,
    DEFAULT_SECONDS = 600,
    // Files held or waiting to be opened at once; more are not scanned.
    SLOTS = 256,
    // A file the creator still holds unshared is tried again this often,
    // until it can be opened or this long has passed.
    RETRY_MS = 5,
    RETRY_FOR_MS = 1000,
    // Folders watched at most; more are not scanned.
    WATCHES = 256,
    // ReadDirectoryChangesW's buffer per folder: room for many events.
    EVENT_BUFFER_UNITS = 4096,
    // churn: attempts per operation, with a pause between them.
    CHURN_ATTEMPTS = 2000,
    CHURN_PAUSE_MS = 2,
    // churn: an application's work between closing a file and renaming it,
    // long enough for the scanner to see the file even on a busy machine.
    CHURN_SETTLE_MS = 50,
    PATH_UNITS = 4 * MAX_PATH,
};

struct Slot {
    wchar_t path[PATH_UNITS];
    HANDLE handle; // INVALID_HANDLE_VALUE while not yet opened
    ULONGLONG until;
    bool used;
};

static Slot slots[SLOTS];
static DWORD holdMs = DEFAULT_HOLD_MS;
static bool holdFolders = false;

static void queue(const wchar_t *path) {
    Slot *free = nullptr;
    for (Slot &slot : slots) {
        if (slot.used && _wcsicmp(slot.path, path) == 0) {
            return; // already held or waiting
        }
        free = free == nullptr && !slot.used ? &slot : free;
    }
    if (free != nullptr) {
        wcscpy(free->path, path);
        free->handle = INVALID_HANDLE_VALUE;
        free->until = GetTickCount64() + RETRY_FOR_MS;
        free->used = true;
    }
}

// Opens what waits, releases what has been held long enough; the time to
// the next thing to do.
static DWORD serviceSlots() {
    ULONGLONG now = GetTickCount64();
    DWORD next = INFINITE;
    for (Slot &slot : slots) {
        if (!slot.used) {
            continue;
        }
        if (slot.handle == INVALID_HANDLE_VALUE) {
            slot.handle = CreateFileW(slot.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            if (slot.handle != INVALID_HANDLE_VALUE) {
                slot.until = now + holdMs;
                printf("held %ls\n", slot.path);
                fflush(stdout);
            } else if (now >= slot.until || GetLastError() != ERROR_SHARING_VIOLATION) {
                slot.used = false; // gone, a folder, or never free
                continue;
            } else {
                next = RETRY_MS;
                continue;
            }
        }
        if (now >= slot.until) {
            CloseHandle(slot.handle);
            slot.used = false;
        } else if (slot.until - now < next) {
            next = static_cast<DWORD>(slot.until - now);
        }
    }
    return next;
}

// One watched folder. Each folder is watched on its own, as Wine reports
// no events from subfolders of a watch.
struct Watch {
    wchar_t path[PATH_UNITS];
    HANDLE folder;
    OVERLAPPED overlapped;
    DWORD events[EVENT_BUFFER_UNITS];
};

static Watch watches[WATCHES];
static size_t watchCount = 0;
static HANDLE port = nullptr;

static bool rearm(Watch &watch) {
    const DWORD changes = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                          FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE;
    watch.overlapped = OVERLAPPED{};
    return ReadDirectoryChangesW(watch.folder, watch.events, sizeof watch.events, FALSE, changes,
                                 nullptr, &watch.overlapped, nullptr) != 0;
}

// Watches `path` and, already there, its subfolders.
static void addWatch(const wchar_t *path) {
    if (watchCount == WATCHES) {
        return;
    }
    Watch &watch = watches[watchCount];
    watch.folder = CreateFileW(
        path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (watch.folder == INVALID_HANDLE_VALUE ||
        CreateIoCompletionPort(watch.folder, port, watchCount, 0) == nullptr || !rearm(watch)) {
        fprintf(stderr, "scanner_emulator: cannot watch %ls: error %lu\n", path, GetLastError());
        return;
    }
    wcscpy(watch.path, path);
    ++watchCount;
    wchar_t pattern[PATH_UNITS]; // per level: the walk recurses
    _snwprintf(pattern, PATH_UNITS, L"%ls\\*", path);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) {
            _snwprintf(pattern, PATH_UNITS, L"%ls\\%ls", path, found.cFileName);
            addWatch(pattern);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

static void queueEvents(const Watch &watch) {
    static wchar_t path[PATH_UNITS];
    const unsigned char *at = reinterpret_cast<const unsigned char *>(watch.events);
    for (;;) {
        const FILE_NOTIFY_INFORMATION *event =
            reinterpret_cast<const FILE_NOTIFY_INFORMATION *>(at);
        if ((event->Action == FILE_ACTION_ADDED || event->Action == FILE_ACTION_MODIFIED ||
             event->Action == FILE_ACTION_RENAMED_NEW_NAME) &&
            _snwprintf(path, PATH_UNITS, L"%ls\\%.*ls", watch.path,
                       static_cast<int>(event->FileNameLength / sizeof(wchar_t)),
                       event->FileName) >= 0) {
            DWORD attributes = GetFileAttributesW(path);
            if (attributes != INVALID_FILE_ATTRIBUTES &&
                (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                // A watch would keep a removed folder pending under Wine, as
                // long as the watch is open: a held folder is not watched.
                if (event->Action != FILE_ACTION_MODIFIED && holdFolders) {
                    queue(path);
                } else if (event->Action != FILE_ACTION_MODIFIED) {
                    addWatch(path);
                }
            } else {
                queue(path);
            }
        }
        if (event->NextEntryOffset == 0) {
            return;
        }
        at += event->NextEntryOffset;
    }
}

static int watch(const wchar_t *root, const wchar_t *ready, DWORD seconds) {
    port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    addWatch(root);
    if (watchCount == 0) {
        return 1;
    }
    if (ready != nullptr) {
        CloseHandle(CreateFileW(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    ULONGLONG end = GetTickCount64() + seconds * 1000ULL;
    while (GetTickCount64() < end) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED *done = nullptr;
        if (!GetQueuedCompletionStatus(port, &bytes, &key, &done, serviceSlots()) ||
            key >= watchCount) {
            continue;
        }
        if (bytes > 0) {
            queueEvents(watches[key]);
        }
        rearm(watches[key]);
    }
    return 0;
}

// Retries `operation` past sharing violations, counting them.
template <typename Operation> static bool retried(Operation operation, unsigned *violations) {
    for (int attempt = 0; attempt < CHURN_ATTEMPTS; ++attempt) {
        if (operation()) {
            return true;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION) {
            return false;
        }
        ++*violations;
        Sleep(CHURN_PAUSE_MS);
    }
    return false;
}

static int churn(const wchar_t *folder, int count) {
    static wchar_t created[PATH_UNITS];
    static wchar_t renamed[PATH_UNITS];
    unsigned violations = 0;
    for (int i = 0; i < count; ++i) {
        _snwprintf(created, PATH_UNITS, L"%ls\\churn-%d.tmp", folder, i);
        _snwprintf(renamed, PATH_UNITS, L"%ls\\churn-%d.dat", folder, i);
        HANDLE file = CreateFileW(created, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        bool done = file != INVALID_HANDLE_VALUE && WriteFile(file, "data", 4, &written, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        Sleep(CHURN_SETTLE_MS);
        done = done && retried([] { return MoveFileExW(created, renamed, 0) != 0; }, &violations) &&
               retried([] { return DeleteFileW(renamed) != 0; }, &violations);
        if (!done) {
            printf("churn: file %d failed: error %lu\n", i, GetLastError());
            return 1;
        }
    }
    printf("sharing-violations %u\n", violations);
    return 0;
}

int wmain(int argc, wchar_t **argv) {
    if (argc == 4 && wcscmp(argv[1], L"churn") == 0) {
        return churn(argv[2], _wtoi(argv[3]));
    }
    if (argc < 3 || wcscmp(argv[1], L"watch") != 0) {
        fprintf(stderr, "usage: scanner_emulator watch ROOT [--hold-ms N] [--ready FILE] "
                        "[--seconds S] [--folders 1] | churn DIR COUNT\n");
        return 2;
    }
    const wchar_t *ready = nullptr;
    DWORD seconds = DEFAULT_SECONDS;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (wcscmp(argv[i], L"--hold-ms") == 0) {
            holdMs = static_cast<DWORD>(_wtoi(argv[i + 1]));
        } else if (wcscmp(argv[i], L"--ready") == 0) {
            ready = argv[i + 1];
        } else if (wcscmp(argv[i], L"--seconds") == 0) {
            seconds = static_cast<DWORD>(_wtoi(argv[i + 1]));
        } else if (wcscmp(argv[i], L"--folders") == 0) {
            holdFolders = _wtoi(argv[i + 1]) != 0;
        }
    }
    return watch(argv[2], ready, seconds);
}
