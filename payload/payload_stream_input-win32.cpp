#include "payload/payload_stream_input.h"

#include "base/diagnostics.h"
#include "buildinfo/build_constants.h"
#include "format/constants_section.h"
#include "format/little_endian.h"
#include "format/pe_layout.h"

#include <windows.h>

static const char DECODE_FAILURE[] = "Error, couldn't decode attached data.";

// The longest path GetModuleFileNameW gives, terminator included.
enum { LAUNCHER_PATH_CAPACITY = 32768 };
static wchar_t LauncherPath[LAUNCHER_PATH_CAPACITY];
// Where the block starts in the launcher's file, and where views may start;
// found once.
static uint64_t BlockFileOffset;
static uint64_t ViewGranularity;
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
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    ViewGranularity = system.dwAllocationGranularity;
    BlockFileOffset = readLe32(entry + PE_SECTION_RAW_OFFSET) + uint64_t{block - start};
    return ViewGranularity != 0 && ViewGranularity < BLOCK_VIEW_SIZE;
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
    // The mapping keeps the file open.
    reader->mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(file);
}

static void unmapView(BlockReader *reader) {
    if (reader->view != nullptr) {
        UnmapViewOfFile(reader->view);
        reader->view = nullptr;
    }
}

void startBlockExtent(BlockReader *reader, ZSTD_inBuffer *input, uint64_t from, uint64_t to) {
    unmapView(reader);
    if (reader->mapping == nullptr) {
        *input = {AttachedData + from, static_cast<size_t>(to - from), 0};
        reader->next = to;
    } else {
        *input = {nullptr, 0, 0};
        reader->next = from;
    }
    reader->end = to;
}

bool refillBlockInput(BlockReader *reader, ZSTD_inBuffer *input) {
    if (input->pos < input->size || reader->next == reader->end) {
        return input->pos < input->size;
    }
    unmapView(reader);
    uint64_t at = BlockFileOffset + reader->next;
    uint64_t viewStart = at - at % ViewGranularity;
    uint64_t viewEnd = BlockFileOffset + reader->end;
    if (viewEnd - viewStart > BLOCK_VIEW_SIZE) {
        viewEnd = viewStart + BLOCK_VIEW_SIZE;
    }
    reader->view = static_cast<const unsigned char *>(
        MapViewOfFile(reader->mapping, FILE_MAP_READ, static_cast<DWORD>(viewStart >> 32),
                      static_cast<DWORD>(viewStart), static_cast<SIZE_T>(viewEnd - viewStart)));
    if (reader->view == nullptr) {
        fatalError(DECODE_FAILURE);
    }
    *input = {reader->view + (at - viewStart), static_cast<size_t>(viewEnd - at), 0};
    reader->next += viewEnd - at;
    return true;
}

bool blockExtentUsedUp(const BlockReader *reader, const ZSTD_inBuffer *input) {
    return input->pos == input->size && reader->next == reader->end;
}

uint64_t blockReadPosition(const BlockReader *reader, const ZSTD_inBuffer *input) {
    return reader->next - (input->size - input->pos);
}

void closeBlockReader(BlockReader *reader) {
    unmapView(reader);
    if (reader->mapping != nullptr) {
        CloseHandle(reader->mapping);
    }
    *reader = {};
}
