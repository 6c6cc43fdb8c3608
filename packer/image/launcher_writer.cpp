#include "packer/image/launcher_writer.h"

#include "format/constants_section.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <ostream>

namespace tallix {

namespace {

// Lets inspection find the strings by content, as in every launcher so far.
constexpr char16_t BUILD_INFO_MARKER[] = u"TALLIX-BUILD-INFO-1";
// The block starts on this boundary, so its trailer is 8-aligned in memory.
constexpr std::size_t BLOCK_ALIGNMENT = 16;
constexpr std::uint32_t READ_ONLY_DATA = pe::SECTION_INITIALIZED_DATA | pe::SECTION_READ;
constexpr char RESOURCE_SECTION[] = ".rsrc";

void putLittle(pe::Bytes &out, std::size_t offset, std::uint64_t value, int count) {
    for (int i = 0; i < count; ++i) {
        out[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void appendWide(pe::Bytes &out, const std::u16string &text) {
    for (char16_t unit : text) {
        out.push_back(static_cast<std::uint8_t>(unit));
        out.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    out.push_back(0);
    out.push_back(0);
}

std::string sectionName() {
    return std::string(BUILD_CONSTANTS_SECTION_NAME,
                       strnlen(BUILD_CONSTANTS_SECTION_NAME, sizeof BUILD_CONSTANTS_SECTION_NAME));
}

} // namespace

pe::Bytes constantsSectionHead(const BuildConstants &constants, std::uint64_t blockSize,
                               std::uint64_t indexSize) {
    const std::pair<std::uint32_t, const std::u16string *> strings[] = {
        {CONSTANT_DIRECTORY_TEMPLATE, &constants.directoryTemplate},
        {CONSTANT_COMPANY, &constants.company},
        {CONSTANT_PRODUCT, &constants.product},
        {CONSTANT_VERSION, &constants.version},
        {CONSTANT_FILE_VERSION, &constants.fileVersion},
        {CONSTANT_PRODUCT_VERSION, &constants.productVersion}};
    bool hasArguments = !constants.leadingArguments.empty();
    bool hasOptions = constants.launchOptions != 0;
    const std::size_t entries =
        std::size(strings) + (hasArguments ? 1 : 0) + (hasOptions ? 1 : 0) + 2;
    pe::Bytes out(BUILD_CONSTANTS_HEADER_SIZE + entries * BUILD_CONSTANTS_ENTRY_SIZE, 0);
    std::copy(std::begin(BUILD_CONSTANTS_MAGIC), std::end(BUILD_CONSTANTS_MAGIC), out.begin());
    putLittle(out, 8, BUILD_CONSTANTS_FORMAT, 4);
    putLittle(out, 12, entries, 4);
    std::size_t index = 0;
    auto entry = [&out, &index](std::uint32_t id, std::uint64_t offset, std::uint64_t size) {
        std::size_t at = BUILD_CONSTANTS_HEADER_SIZE + index++ * BUILD_CONSTANTS_ENTRY_SIZE;
        putLittle(out, at, id, 4);
        putLittle(out, at + 8, offset, 8);
        putLittle(out, at + 16, size, 8);
    };
    appendWide(out, BUILD_INFO_MARKER);
    for (const auto &[id, text] : strings) {
        std::size_t offset = out.size();
        appendWide(out, *text);
        entry(id, offset, out.size() - offset);
    }
    if (hasArguments) {
        std::size_t offset = out.size();
        for (const std::u16string &argument : constants.leadingArguments) {
            appendWide(out, argument);
        }
        entry(CONSTANT_LEADING_ARGUMENTS, offset, out.size() - offset);
    }
    if (hasOptions) {
        std::size_t offset = out.size();
        out.resize(offset + 4);
        putLittle(out, offset, constants.launchOptions, 4);
        entry(CONSTANT_LAUNCH_OPTIONS, offset, 4);
    }
    out.resize((out.size() + BLOCK_ALIGNMENT - 1) / BLOCK_ALIGNMENT * BLOCK_ALIGNMENT, 0);
    entry(CONSTANT_ATTACHED_DATA, out.size(), blockSize);
    entry(CONSTANT_PAYLOAD_INDEX, out.size() + blockSize, indexSize);
    return out;
}

void writeLauncher(const pe::Image &image, const BuildConstants &constants,
                   const std::vector<pe::Resource> &resources, const BlockWriterFn &writeBlock,
                   std::iostream &file) {
    if (image.dataDirectory(pe::DIRECTORY_RESOURCE).second != 0 || image.section(sectionName())) {
        throw pe::ImageError("the launcher image already has resources or constants");
    }
    pe::ImageWriter writer(image, file);
    writer.beginSection(sectionName(), READ_ONLY_DATA);
    pe::Bytes head = constantsSectionHead(constants, 0, 0);
    writer.content().write(reinterpret_cast<const char *>(head.data()),
                           static_cast<std::streamsize>(head.size()));
    std::streamoff blockStart = writer.content().tellp();
    pe::Bytes index = writeBlock(writer.content());
    std::streamoff blockEnd = writer.content().tellp();
    writer.content().write(reinterpret_cast<const char *>(index.data()),
                           static_cast<std::streamsize>(index.size()));
    if (!writer.content() || blockStart < 0 || blockEnd < blockStart) {
        throw pe::ImageError("cannot write the attached data");
    }
    writer.rewrite(
        0, constantsSectionHead(constants, std::uint64_t(blockEnd - blockStart), index.size()));
    writer.endSection();

    std::uint32_t resourceRva = writer.beginSection(RESOURCE_SECTION, READ_ONLY_DATA);
    pe::Bytes tree = pe::buildResourceSection(resources, resourceRva);
    writer.content().write(reinterpret_cast<const char *>(tree.data()),
                           static_cast<std::streamsize>(tree.size()));
    writer.endSection();
    writer.setDataDirectory(pe::DIRECTORY_RESOURCE, resourceRva,
                            static_cast<std::uint32_t>(tree.size()));
    writer.finish();
}

} // namespace tallix
