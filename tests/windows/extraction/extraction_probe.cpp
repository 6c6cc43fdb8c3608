// Puts the files in place the way a launcher start does (the index first,
// when the linked block has one) into the directory named by the first
// argument, and reports how often it opened a file for writing and called
// CreateDirectoryW:
//   written N
//   directory-calls N
//   directories-created N
//   child PATH
//   index-threads N   (threads a check against the index used; 0: no index)
//   lanes N           (lanes a cold start decodes in; 0: the sequential path)
// "--lock FILE" instead holds FILE open without sharing until standard
// input ends, standing in for another program that has it open.
// "--deep DIR LEVELS" makes the parents of DIR\a\a...\f (LEVELS times "a")
// exist and prints "done".
#include "base/wide_append.h"
#include "buildinfo/build_constants.h"
#include "paths/target_directory.h"
#include "payload/check/index_check.h"
#include "payload/extract/extraction.h"
#include "payload/extract/parallel_extraction.h"
#include "payload/plan/unpack_plan.h"
#include "payload/write/directories.h"

#include <windows.h>

#include <atomic>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// The import address table slots the launcher's calls go through.
extern "C" {
extern void *__imp_CreateFileW;
extern void *__imp_CreateDirectoryW;
}

static decltype(&CreateFileW) realCreateFileW;
static decltype(&CreateDirectoryW) realCreateDirectoryW;
// Counted on every thread that writes.
static std::atomic<int> writeOpens;
static std::atomic<int> directoryCalls;
static std::atomic<int> directoriesCreated;

static HANDLE WINAPI countingCreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                         LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                         DWORD flags, HANDLE templateFile) {
    if ((access & GENERIC_WRITE) != 0) {
        ++writeOpens;
    }
    return realCreateFileW(name, access, share, security, disposition, flags, templateFile);
}

static BOOL WINAPI countingCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
    ++directoryCalls;
    BOOL created = realCreateDirectoryW(path, security);
    if (created) {
        ++directoriesCreated;
    }
    return created;
}

static void *replaceImport(void **slot, void *replacement) {
    DWORD protection = 0;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
    void *original = *slot;
    *slot = replacement;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
    return original;
}

static int holdLocked(const wchar_t *path) {
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cannot lock '%ls': error %lu\n", path, GetLastError());
        return 1;
    }
    puts("locked");
    fflush(stdout);
    while (getchar() != EOF) {
    }
    CloseHandle(file);
    return 0;
}

// Runs on the program's default 2 MiB stack, far less than one 8 KiB path
// buffer per level would need.
static int makeDeepParents(const wchar_t *directory, int levels) {
    static wchar_t path[PATH_CAPACITY];
    appendWideString(path, directory, PATH_CAPACITY);
    for (int i = 0; i < levels; ++i) {
        appendWideString(path, L"\\a", PATH_CAPACITY);
    }
    appendWideString(path, L"\\f", PATH_CAPACITY);
    createParentDirectories(path);
    puts("done");
    return 0;
}

int wmain(int argc, wchar_t **argv) {
    if (argc == 3 && wcscmp(argv[1], L"--lock") == 0) {
        return holdLocked(argv[2]);
    }
    if (argc == 4 && wcscmp(argv[1], L"--deep") == 0) {
        return makeDeepParents(argv[2], _wtoi(argv[3]));
    }
    if (argc != 2) {
        fputs("usage: extraction_probe TARGET_DIRECTORY | --lock FILE\n", stderr);
        return 1;
    }
    realCreateFileW = reinterpret_cast<decltype(&CreateFileW)>(
        replaceImport(&__imp_CreateFileW, reinterpret_cast<void *>(&countingCreateFileW)));
    realCreateDirectoryW = reinterpret_cast<decltype(&CreateDirectoryW)>(replaceImport(
        &__imp_CreateDirectoryW, reinterpret_cast<void *>(&countingCreateDirectoryW)));

    appendWideString(TargetDirectory, argv[1], PATH_CAPACITY);
    size_t threads = 0;
    indexedFilesMatch(INDEX_CHECK_MAX_THREADS, &threads);
    PayloadIndex index;
    size_t lanes =
        openPayloadIndex(PayloadIndexData, PAYLOAD_INDEX_SIZE, &index) ? chooseLaneCount(index) : 0;
    lanes = lanes >= 2 ? lanes : 0; // one lane only for a plan that decodes part
    prepareApplicationFiles();
    printf("written %d\ndirectory-calls %d\ndirectories-created %d\nchild %ls\nindex-threads "
           "%zu\nlanes %zu\n",
           writeOpens.load(), directoryCalls.load(), directoriesCreated.load(), ChildProgramPath,
           threads, lanes);
    return 0;
}
