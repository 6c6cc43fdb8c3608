#include "format/constants_section.h"

#include "format/crc/crc32.h"
#include "format/little_endian.h"
#include "format/pe_layout.h"

#include <string.h>

// A mapped image's headers fit in its first page; nothing larger is ours.
enum { MAPPED_HEADER_LIMIT = 4096 };
// IMAGE_SCN_MEM_READ: without it the loader maps the section inaccessible.
static const uint32_t SECTION_READABLE = 0x40000000;

bool findMappedSection(const unsigned char *image, const char name[8], const unsigned char **start,
                       uint32_t *size, const unsigned char **tableEntry) {
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
            if ((readLe32(header + PE_SECTION_CHARACTERISTICS) & SECTION_READABLE) == 0) {
                return false;
            }
            *start = image + readLe32(header + PE_SECTION_VIRTUAL_ADDRESS);
            *size = readLe32(header + PE_SECTION_VIRTUAL_SIZE);
            *tableEntry = header;
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

// Continues `*crc` over `size` bytes at `offset`, piece by piece.
static bool crcOfRange(ConstantsReader read, void *context, uint64_t offset, uint64_t size,
                       uint32_t *crc) {
    while (size > 0) {
        size_t piece =
            size < CONSTANTS_READ_PIECE ? static_cast<size_t>(size) : size_t{CONSTANTS_READ_PIECE};
        const unsigned char *bytes = read(context, offset, piece);
        if (bytes == nullptr) {
            return false;
        }
        *crc = continueCrc32(*crc, bytes, piece);
        offset += piece;
        size -= piece;
    }
    return true;
}

// Continues `*crc` over the covered bytes of every entry of the table that
// ends at `tableEnd`, once each entry is known to lie inside the section.
static BuildConstantsState crcOfEntries(ConstantsReader read, void *context, uint64_t tableEnd,
                                        uint64_t sectionSize, uint32_t *crc) {
    for (uint64_t at = BUILD_CONSTANTS_HEADER_SIZE; at < tableEnd;
         at += BUILD_CONSTANTS_ENTRY_SIZE) {
        const unsigned char *entry = read(context, at, BUILD_CONSTANTS_ENTRY_SIZE);
        if (entry == nullptr) {
            return CONSTANTS_UNREADABLE;
        }
        uint32_t id = readLe32(entry + BUILD_CONSTANT_ID);
        uint64_t start = readLe64(entry + BUILD_CONSTANT_OFFSET);
        uint64_t size = readLe64(entry + BUILD_CONSTANT_SIZE);
        if (start > sectionSize || size > sectionSize - start) {
            return CONSTANTS_MALFORMED;
        }
        uint64_t head = size;
        uint64_t tail = size;
        if (id == CONSTANT_ATTACHED_DATA && size > ATTACHED_DATA_CHECKED_HEAD) {
            head = ATTACHED_DATA_CHECKED_HEAD;
            tail =
                size - head < ATTACHED_DATA_TRAILER_SIZE ? head : size - ATTACHED_DATA_TRAILER_SIZE;
        }
        if (!crcOfRange(read, context, start, head, crc) ||
            !crcOfRange(read, context, start + tail, size - tail, crc)) {
            return CONSTANTS_UNREADABLE;
        }
    }
    return CONSTANTS_INTACT;
}

BuildConstantsState checkBuildConstants(const unsigned char *tableEntry, uint64_t sectionSize,
                                        ConstantsReader read, void *context, uint32_t *computed) {
    if (sectionSize < BUILD_CONSTANTS_HEADER_SIZE) {
        return CONSTANTS_MALFORMED;
    }
    const unsigned char *header = read(context, 0, BUILD_CONSTANTS_HEADER_SIZE);
    if (header == nullptr) {
        return CONSTANTS_UNREADABLE;
    }
    if (memcmp(header, BUILD_CONSTANTS_MAGIC, sizeof BUILD_CONSTANTS_MAGIC) != 0) {
        return CONSTANTS_NOT_OURS;
    }
    if (readLe32(header + BUILD_CONSTANTS_FORMAT_FIELD) != BUILD_CONSTANTS_FORMAT) {
        return CONSTANTS_OTHER_FORMAT;
    }
    uint32_t stored = readLe32(header + BUILD_CONSTANTS_CRC_FIELD);
    uint64_t tableEnd = buildConstantsTableEnd(header);
    uint32_t crc = continueCrc32(0, tableEntry, PE_SECTION_HEADER_SIZE);
    const size_t afterCrc = size_t{BUILD_CONSTANTS_CRC_FIELD} + BUILD_CONSTANTS_CRC_SIZE;
    crc = continueCrc32(crc, header, BUILD_CONSTANTS_CRC_FIELD);
    crc = continueCrc32(crc, header + afterCrc, BUILD_CONSTANTS_HEADER_SIZE - afterCrc);
    if (tableEnd > sectionSize) {
        return CONSTANTS_MALFORMED;
    }
    if (!crcOfRange(read, context, BUILD_CONSTANTS_HEADER_SIZE,
                    tableEnd - BUILD_CONSTANTS_HEADER_SIZE, &crc)) {
        return CONSTANTS_UNREADABLE;
    }
    BuildConstantsState state = crcOfEntries(read, context, tableEnd, sectionSize, &crc);
    if (state != CONSTANTS_INTACT) {
        return state;
    }
    *computed = crc;
    return crc == stored ? CONSTANTS_INTACT : CONSTANTS_CHECKSUM_MISMATCH;
}
