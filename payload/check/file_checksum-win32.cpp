#include "payload/check/file_checksum.h"

#include "format/attached_data.h"
#include "format/crc/crc32.h"

#include <windows.h>

// Closes `file` and reports no checksum with `error` as the last error.
static uint32_t noChecksum(HANDLE file, DWORD error) {
    CloseHandle(file);
    SetLastError(error);
    return NO_FILE_CHECKSUM;
}

uint32_t computeFileChecksum(const wchar_t *path, unsigned char *buffer) {
    // Full sharing: a file another program holds open (a loaded library, a
    // running child of another launcher) can still be checked and reused.
    HANDLE file = CreateFileW(
        path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return NO_FILE_CHECKSUM;
    }
    // An empty file has no checksum, so that it never passes for a record
    // with content (none stores 0); an empty record is matched by the file's
    // attributes instead.
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        return noChecksum(file, GetLastError());
    }
    uint64_t remaining = static_cast<uint64_t>(size.QuadPart);
    if (remaining == 0) {
        return noChecksum(file, ERROR_SUCCESS);
    }
    uint32_t crc = 0;
    while (remaining > 0) {
        DWORD wanted = remaining < FILE_CHECKSUM_PIECE_SIZE ? static_cast<DWORD>(remaining)
                                                            : DWORD{FILE_CHECKSUM_PIECE_SIZE};
        DWORD got = 0;
        if (!ReadFile(file, buffer, wanted, &got, nullptr)) {
            return noChecksum(file, GetLastError());
        }
        if (got == 0) {
            return noChecksum(file, ERROR_HANDLE_EOF);
        }
        crc = continueCrc32(crc, buffer, got);
        remaining -= got;
    }
    CloseHandle(file);
    // 0 stands for "no file", so real content never reports it.
    return storedCrc(crc);
}
