#include "buildinfo/build_constants.h"

#include "format/constants_section.h"
#include "format/little_endian.h"

#include <windows.h>

extern "C" {
const wchar_t *DirectoryTemplate;
const wchar_t *BUILD_COMPANY;
const wchar_t *BUILD_PRODUCT;
const wchar_t *BUILD_VERSION;
const wchar_t *BUILD_FILE_VERSION;
const wchar_t *BUILD_PRODUCT_VERSION;
const unsigned char *AttachedData;
uint64_t ATTACHED_DATA_SIZE;
const unsigned char *PayloadIndexData;
uint64_t PAYLOAD_INDEX_SIZE;
const wchar_t *LeadingArguments;
uint64_t LEADING_ARGUMENTS_UNITS;
uint32_t LaunchOptions;
}

// The optional constants: an absent one means its default (no leading
// arguments, no launch options); present but malformed is an unfinished
// image.
static bool loadOptionalConstants(const unsigned char *section, uint32_t sectionSize) {
    const unsigned char *data;
    uint64_t size;
    const wchar_t *arguments = nullptr;
    uint64_t argumentUnits = 0;
    if (findBuildConstant(section, sectionSize, CONSTANT_LEADING_ARGUMENTS, &data, &size)) {
        if (!isTerminatedWideString(data, size) ||
            reinterpret_cast<uintptr_t>(data) % sizeof(wchar_t) != 0) {
            return false;
        }
        arguments = reinterpret_cast<const wchar_t *>(data);
        argumentUnits = size / sizeof(wchar_t);
    }
    uint32_t options = 0;
    if (findBuildConstant(section, sectionSize, CONSTANT_LAUNCH_OPTIONS, &data, &size)) {
        if (size != sizeof options) {
            return false;
        }
        options = readLe32(data);
    }
    LeadingArguments = arguments;
    LEADING_ARGUMENTS_UNITS = argumentUnits;
    LaunchOptions = options;
    return true;
}

// The mapped section, at `*context`, is read in place; checkBuildConstants
// asks only for ranges inside it.
static const unsigned char *mappedBytes(void *context, uint64_t offset, size_t) {
    return *static_cast<const unsigned char **>(context) + offset;
}

bool loadBuildConstants() {
    const unsigned char *image = reinterpret_cast<const unsigned char *>(GetModuleHandleW(nullptr));
    const unsigned char *section;
    uint32_t sectionSize;
    const unsigned char *tableEntry;
    uint32_t crc;
    if (image == nullptr ||
        !findMappedSection(image, BUILD_CONSTANTS_SECTION_NAME, &section, &sectionSize,
                           &tableEntry) ||
        checkBuildConstants(tableEntry, sectionSize, mappedBytes, &section, &crc) !=
            CONSTANTS_INTACT) {
        return false;
    }
    const struct {
        uint32_t id;
        const wchar_t **target;
    } strings[] = {{CONSTANT_DIRECTORY_TEMPLATE, &DirectoryTemplate},
                   {CONSTANT_COMPANY, &BUILD_COMPANY},
                   {CONSTANT_PRODUCT, &BUILD_PRODUCT},
                   {CONSTANT_VERSION, &BUILD_VERSION},
                   {CONSTANT_FILE_VERSION, &BUILD_FILE_VERSION},
                   {CONSTANT_PRODUCT_VERSION, &BUILD_PRODUCT_VERSION}};
    const wchar_t *found[sizeof strings / sizeof strings[0]];
    for (size_t i = 0; i < sizeof strings / sizeof strings[0]; ++i) {
        const unsigned char *data;
        uint64_t size;
        if (!findBuildConstant(section, sectionSize, strings[i].id, &data, &size) ||
            !isTerminatedWideString(data, size) ||
            reinterpret_cast<uintptr_t>(data) % sizeof(wchar_t) != 0) {
            return false;
        }
        found[i] = reinterpret_cast<const wchar_t *>(data);
    }
    const unsigned char *block;
    uint64_t blockSize;
    if (!findBuildConstant(section, sectionSize, CONSTANT_ATTACHED_DATA, &block, &blockSize)) {
        return false;
    }
    if (!loadOptionalConstants(section, sectionSize)) {
        return false;
    }
    for (size_t i = 0; i < sizeof strings / sizeof strings[0]; ++i) {
        *strings[i].target = found[i];
    }
    AttachedData = block;
    ATTACHED_DATA_SIZE = blockSize;
    // Optional: without it every start unpacks.
    const unsigned char *index;
    uint64_t indexSize;
    if (findBuildConstant(section, sectionSize, CONSTANT_PAYLOAD_INDEX, &index, &indexSize)) {
        PayloadIndexData = index;
        PAYLOAD_INDEX_SIZE = indexSize;
    }
    return true;
}
