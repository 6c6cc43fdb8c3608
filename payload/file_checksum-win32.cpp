#include "payload/file_checksum.h"

#include "payload/crc32.h"

#include <windows.h>

uint32_t computeFileChecksum(const wchar_t *path) {
    // Full sharing: a file another program holds open (a loaded library, a
    // running child of another launcher) can still be checked and reused.
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return NO_FILE_CHECKSUM;
    }
    DWORD size = GetFileSize(file, nullptr);
    if (size == INVALID_FILE_SIZE) {
        CloseHandle(file);
        return NO_FILE_CHECKSUM;
    }
    // Fails for an empty file, which therefore has no checksum.
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        CloseHandle(file);
        return NO_FILE_CHECKSUM;
    }
    const void *view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (view == nullptr) {
        CloseHandle(mapping);
        CloseHandle(file);
        return NO_FILE_CHECKSUM;
    }
    uint32_t crc = computeCrc32(view, size);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    CloseHandle(file);
    // 0 stands for "no file", so real content never reports it.
    return crc == NO_FILE_CHECKSUM ? 1 : crc;
}
