// A read error on the launcher's own file, as a network share that drops or
// a failing disk gives, for a program linked with this object: with
// TALLIX_TEST_FAIL_READS_FROM set to a byte offset, every ReadFile the
// program makes at a given position (an OVERLAPPED offset) at or past it
// fails with ERROR_IO_DEVICE. Reads without a position are left alone.
// Test-only.
#include "import_patch-win32.h"

#include <windows.h>

#include <stdint.h>
#include <stdlib.h>

namespace {

decltype(&ReadFile) realReadFile;
uint64_t failFrom = UINT64_MAX;

BOOL WINAPI faultyReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
                           LPOVERLAPPED position) {
    if (position != nullptr &&
        ((uint64_t{position->OffsetHigh} << 32) | position->Offset) >= failFrom) {
        SetLastError(ERROR_IO_DEVICE);
        return FALSE;
    }
    return realReadFile(file, buffer, size, read, position);
}

bool installShim() {
    char text[32];
    DWORD length = GetEnvironmentVariableA("TALLIX_TEST_FAIL_READS_FROM", text, sizeof text);
    if (length > 0 && length < sizeof text) {
        failFrom = strtoull(text, nullptr, 10);
    }
    const ImportPatch patches[] = {
        {"ReadFile", reinterpret_cast<void *>(&faultyReadFile),
         reinterpret_cast<void **>(&realReadFile)},
    };
    patchKernel32Imports(patches, 1);
    return true;
}

[[maybe_unused]] const bool installed = installShim();

} // namespace
