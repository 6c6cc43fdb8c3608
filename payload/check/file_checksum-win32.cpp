#include "payload/check/file_checksum.h"

#include "format/attached_data.h"
#include "format/crc/crc32.h"

#include <windows.h>

uint32_t computeHandleChecksum(void *handle, unsigned char *buffer) {
    HANDLE file = static_cast<HANDLE>(handle);
    // An empty file has no checksum, so that it never passes for a record
    // with content (none stores 0); an empty record is matched by the file's
    // attributes instead.
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        return NO_FILE_CHECKSUM;
    }
    uint64_t remaining = static_cast<uint64_t>(size.QuadPart);
    if (remaining == 0) {
        SetLastError(ERROR_SUCCESS);
        return NO_FILE_CHECKSUM;
    }
    uint32_t crc = 0;
    while (remaining > 0) {
        DWORD wanted = remaining < FILE_CHECKSUM_PIECE_SIZE ? static_cast<DWORD>(remaining)
                                                            : DWORD{FILE_CHECKSUM_PIECE_SIZE};
        DWORD got = 0;
        if (!ReadFile(file, buffer, wanted, &got, nullptr)) {
            return NO_FILE_CHECKSUM;
        }
        if (got == 0) {
            SetLastError(ERROR_HANDLE_EOF);
            return NO_FILE_CHECKSUM;
        }
        crc = continueCrc32(crc, buffer, got);
        remaining -= got;
    }
    // 0 stands for "no file", so real content never reports it.
    return storedCrc(crc);
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
    uint32_t crc = computeHandleChecksum(file, buffer);
    DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return crc;
}
