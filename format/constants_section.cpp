#include "format/constants_section.h"

#include "format/little_endian.h"
#include "format/pe_layout.h"

#include <string.h>

// A mapped image's headers fit in its first page; nothing larger is ours.
enum { MAPPED_HEADER_LIMIT = 4096 };

bool findMappedSection(const unsigned char *image, const char name[8], const unsigned char **start,
                       uint32_t *size) {
    if (readLe16(image) != PE_DOS_MAGIC) {
        return false;
    }
    uint64_t peOffset = readLe32(image + PE_DOS_NEW_HEADER);
    if (peOffset > MAPPED_HEADER_LIMIT - PE_SIGNATURE_SIZE - PE_COFF_HEADER_SIZE ||
        readLe32(image + peOffset) != PE_SIGNATURE) {
        return false;
    }
    const unsigned char *coff = image + peOffset + PE_SIGNATURE_SIZE;
    uint64_t sections = readLe16(coff + PE_COFF_SECTION_COUNT);
    uint64_t table = peOffset + PE_SIGNATURE_SIZE + PE_COFF_HEADER_SIZE +
                     readLe16(coff + PE_COFF_OPTIONAL_HEADER_SIZE);
    if (table + sections * PE_SECTION_HEADER_SIZE > MAPPED_HEADER_LIMIT) {
        return false;
    }
    for (uint64_t i = 0; i < sections; ++i) {
        const unsigned char *header = image + table + i * PE_SECTION_HEADER_SIZE;
        if (memcmp(header + PE_SECTION_NAME, name, PE_SECTION_NAME_SIZE) == 0) {
            *start = image + readLe32(header + PE_SECTION_VIRTUAL_ADDRESS);
            *size = readLe32(header + PE_SECTION_VIRTUAL_SIZE);
            return true;
        }
    }
    return false;
}

uint64_t buildConstantsTableEnd(const unsigned char *head) {
    if (memcmp(head, BUILD_CONSTANTS_MAGIC, sizeof BUILD_CONSTANTS_MAGIC) != 0 ||
        readLe32(head + BUILD_CONSTANTS_FORMAT_FIELD) != BUILD_CONSTANTS_FORMAT) {
        return 0;
    }
    return BUILD_CONSTANTS_HEADER_SIZE +
           uint64_t{readLe32(head + BUILD_CONSTANTS_COUNT_FIELD)} * BUILD_CONSTANTS_ENTRY_SIZE;
}

bool findBuildConstantOffset(const unsigned char *head, uint64_t headSize, uint64_t sectionSize,
                             uint32_t id, uint64_t *offset, uint64_t *size) {
    if (headSize > sectionSize) {
        headSize = sectionSize;
    }
    if (headSize < BUILD_CONSTANTS_HEADER_SIZE) {
        return false;
    }
    uint64_t tableEnd = buildConstantsTableEnd(head);
    if (tableEnd == 0 || tableEnd > headSize) {
        return false;
    }
    for (uint64_t at = BUILD_CONSTANTS_HEADER_SIZE; at < tableEnd;
         at += BUILD_CONSTANTS_ENTRY_SIZE) {
        const unsigned char *entry = head + at;
        if (readLe32(entry + BUILD_CONSTANT_ID) != id) {
            continue;
        }
        uint64_t start = readLe64(entry + BUILD_CONSTANT_OFFSET);
        uint64_t length = readLe64(entry + BUILD_CONSTANT_SIZE);
        if (start > sectionSize || length > sectionSize - start) {
            return false;
        }
        *offset = start;
        *size = length;
        return true;
    }
    return false;
}

bool findBuildConstant(const unsigned char *section, uint64_t sectionSize, uint32_t id,
                       const unsigned char **data, uint64_t *size) {
    uint64_t offset;
    if (!findBuildConstantOffset(section, sectionSize, sectionSize, id, &offset, size)) {
        return false;
    }
    *data = section + offset;
    return true;
}

bool isTerminatedWideString(const unsigned char *data, uint64_t size) {
    return size >= 2 && size % 2 == 0 && data[size - 2] == 0 && data[size - 1] == 0;
}
