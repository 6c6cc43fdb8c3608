#include "payload/stream/payload_stream_input.h"

#include "base/diagnostics.h"
#include "buildinfo/build_constants.h"
#include "format/constants_section.h"
#include "format/little_endian.h"
#include "format/pe_layout.h"

#include <windows.h>

#include <stdlib.h>

static const char ALLOCATION_FAILURE[] = "Error, couldn't allocate memory.";

// The longest path GetModuleFileNameW gives, terminator included.
enum { LAUNCHER_PATH_CAPACITY = 32768 };
static wchar_t LauncherPath[LAUNCHER_PATH_CAPACITY];
// Where the block starts in the launcher's file; found once.
static uint64_t BlockFileOffset;
static bool blockLocated;
static bool blockInFile;

// Whether the block lies in the file bytes of the running image's constants
// section; sets BlockFileOffset and LauncherPath when it does.
static bool locateBlockInFile() {
    const unsigned char *image = reinterpret_cast<const unsigned char *>(GetModuleHandleW(nullptr));
    const unsigned char *section;
    uint32_t sectionSize;
    const unsigned char *entry;
    if (image == nullptr ||
        !findMappedSection(image, BUILD_CONSTANTS_SECTION_NAME, &section, &sectionSize, &entry)) {
        return false;
    }
    uintptr_t start = reinterpret_cast<uintptr_t>(section);
    uintptr_t block = reinterpret_cast<uintptr_t>(AttachedData);
    uint64_t rawSize = readLe32(entry + PE_SECTION_RAW_SIZE);
    if (block < start || block - start > rawSize ||
        ATTACHED_DATA_SIZE > rawSize - (block - start)) {
        return false;
    }
    DWORD length = GetModuleFileNameW(nullptr, LauncherPath, LAUNCHER_PATH_CAPACITY);
    if (length == 0 || length >= LAUNCHER_PATH_CAPACITY) {
        return false;
    }
    BlockFileOffset = readLe32(entry + PE_SECTION_RAW_OFFSET) + uint64_t{block - start};
    return true;
}

void openBlockReader(BlockReader *reader) {
    *reader = {};
    if (!blockLocated) {
        blockInFile = locateBlockInFile();
        blockLocated = true;
    }
    if (!blockInFile) {
        return;
    }
    HANDLE file = CreateFileW(LauncherPath, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    reader->buffer = static_cast<unsigned char *>(malloc(BLOCK_READ_PIECE_SIZE));
    if (reader->buffer == nullptr) {
        CloseHandle(file);
        fatalError(ALLOCATION_FAILURE);
    }
    reader->file = file;
}

void startBlockExtent(BlockReader *reader, ZSTD_inBuffer *input, uint64_t from, uint64_t to) {
    if (reader->file == nullptr) {
        *input = {AttachedData + from, static_cast<size_t>(to - from), 0};
        reader->next = to;
    } else {
        *input = {reader->buffer, 0, 0};
        reader->next = from;
    }
    reader->end = to;
}

bool refillBlockInput(BlockReader *reader, ZSTD_inBuffer *input) {
    if (input->pos < input->size || reader->next == reader->end) {
        return input->pos < input->size;
    }
    uint64_t left = reader->end - reader->next;
    DWORD wanted = left < BLOCK_READ_PIECE_SIZE ? static_cast<DWORD>(left)
                                                : static_cast<DWORD>(BLOCK_READ_PIECE_SIZE);
    uint64_t at = BlockFileOffset + reader->next;
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    if (!ReadFile(reader->file, reader->buffer, wanted, &got, &where) || got != wanted) {
        *input = {reader->buffer, 0, 0};
        return false;
    }
    *input = {reader->buffer, wanted, 0};
    reader->next += wanted;
    return true;
}

bool blockExtentUsedUp(const BlockReader *reader, const ZSTD_inBuffer *input) {
    return input->pos == input->size && reader->next == reader->end;
}

uint64_t blockReadPosition(const BlockReader *reader, const ZSTD_inBuffer *input) {
    return reader->next - (input->size - input->pos);
}

void closeBlockReader(BlockReader *reader) {
    if (reader->file != nullptr) {
        CloseHandle(reader->file);
    }
    free(reader->buffer);
    *reader = {};
}
