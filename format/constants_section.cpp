#include "format/constants_section.h"

#include <string.h>

// PE header facts the lookup needs.
enum {
    DOS_MAGIC = 0x5A4D,             // "MZ"
    DOS_NEW_HEADER_OFFSET = 0x3C,   // e_lfanew
    PE_SIGNATURE = 0x00004550,      // "PE\0\0"
    COFF_HEADER_SIZE = 20,          // after the signature
    COFF_SECTION_COUNT = 2,         // NumberOfSections, in the COFF header
    COFF_OPTIONAL_HEADER_SIZE = 16, // SizeOfOptionalHeader
    SECTION_HEADER_SIZE = 40,
    SECTION_VIRTUAL_SIZE = 8,
    SECTION_VIRTUAL_ADDRESS = 12,
    // A mapped image's headers fit in its first page; nothing larger is ours.
    HEADER_LIMIT = 4096,
};

static uint64_t readLittle(const unsigned char *bytes, int count) {
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

bool findMappedSection(const unsigned char *image, const char name[8], const unsigned char **start,
                       uint32_t *size) {
    if (readLittle(image, 2) != DOS_MAGIC) {
        return false;
    }
    uint64_t peOffset = readLittle(image + DOS_NEW_HEADER_OFFSET, 4);
    if (peOffset > HEADER_LIMIT - 4 - COFF_HEADER_SIZE ||
        readLittle(image + peOffset, 4) != PE_SIGNATURE) {
        return false;
    }
    const unsigned char *coff = image + peOffset + 4;
    uint64_t sections = readLittle(coff + COFF_SECTION_COUNT, 2);
    uint64_t table =
        peOffset + 4 + COFF_HEADER_SIZE + readLittle(coff + COFF_OPTIONAL_HEADER_SIZE, 2);
    if (table + sections * SECTION_HEADER_SIZE > HEADER_LIMIT) {
        return false;
    }
    for (uint64_t i = 0; i < sections; ++i) {
        const unsigned char *header = image + table + i * SECTION_HEADER_SIZE;
        if (memcmp(header, name, 8) == 0) {
            *start = image + readLittle(header + SECTION_VIRTUAL_ADDRESS, 4);
            *size = static_cast<uint32_t>(readLittle(header + SECTION_VIRTUAL_SIZE, 4));
            return true;
        }
    }
    return false;
}

bool findBuildConstant(const unsigned char *section, uint64_t sectionSize, uint32_t id,
                       const unsigned char **data, uint64_t *size) {
    if (sectionSize < BUILD_CONSTANTS_HEADER_SIZE ||
        memcmp(section, BUILD_CONSTANTS_MAGIC, sizeof BUILD_CONSTANTS_MAGIC) != 0 ||
        readLittle(section + 8, 4) != BUILD_CONSTANTS_FORMAT) {
        return false;
    }
    uint64_t entries = readLittle(section + 12, 4);
    if (entries > (sectionSize - BUILD_CONSTANTS_HEADER_SIZE) / BUILD_CONSTANTS_ENTRY_SIZE) {
        return false;
    }
    for (uint64_t i = 0; i < entries; ++i) {
        const unsigned char *entry =
            section + BUILD_CONSTANTS_HEADER_SIZE + i * BUILD_CONSTANTS_ENTRY_SIZE;
        if (readLittle(entry, 4) != id) {
            continue;
        }
        uint64_t offset = readLittle(entry + 8, 8);
        uint64_t length = readLittle(entry + 16, 8);
        if (offset > sectionSize || length > sectionSize - offset) {
            return false;
        }
        *data = section + offset;
        *size = length;
        return true;
    }
    return false;
}

bool isTerminatedWideString(const unsigned char *data, uint64_t size) {
    return size >= 2 && size % 2 == 0 && data[size - 2] == 0 && data[size - 1] == 0;
}
