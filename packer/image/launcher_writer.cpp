#include "packer/image/launcher_writer.h"

#include "format/attached_data.h"
#include "format/constants_section.h"
#include "packer/support/byte_writing.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <ostream>

namespace tallix {

namespace {

// Precedes the six strings: inspectors that do not read the section's
// entries find the strings by this text, so every launcher carries it.
constexpr char16_t BUILD_INFO_MARKER[] = u"TALLIX-BUILD-INFO-1";
// The block starts on this boundary, a multiple of the trailer's alignment,
// so that the trailer is aligned in memory too.
constexpr std::size_t BLOCK_ALIGNMENT = 16;
static_assert(BLOCK_ALIGNMENT % ATTACHED_DATA_TRAILER_ALIGNMENT == 0);
constexpr std::uint32_t READ_ONLY_DATA = pe::SECTION_INITIALIZED_DATA | pe::SECTION_READ;
constexpr char RESOURCE_SECTION[] = ".rsrc";

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
    writeLe32(out.data() + 8, BUILD_CONSTANTS_FORMAT);
    writeLe32(out.data() + 12, entries);
    std::size_t index = 0;
    auto entry = [&out, &index](std::uint32_t id, std::uint64_t offset, std::uint64_t size) {
        std::size_t at = BUILD_CONSTANTS_HEADER_SIZE + index++ * BUILD_CONSTANTS_ENTRY_SIZE;
        writeLe32(out.data() + at, id);
        writeLe64(out.data() + at + 8, offset);
        writeLe64(out.data() + at + 16, size);
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
        appendLittleEndian(out, constants.launchOptions, 4);
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
