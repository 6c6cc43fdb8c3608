#include "packer/image/launcher_writer.h"

#include "format/attached_data.h"
#include "format/constants_section.h"
#include "format/pe_layout.h"
#include "packer/image/launcher_info.h"
#include "packer/support/byte_writing.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <ostream>

namespace tallix {

namespace {

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

// The section table entry ImageWriter::endSection will write for the
// constants section, `size` bytes at `rva` and file offset `rawOffset`: the
// checksum covers it, and it is written only after the section is closed.
pe::Bytes constantsTableEntry(std::uint32_t rva, std::uint64_t rawOffset, std::uint64_t size,
                              std::uint32_t fileAlignment) {
    pe::Bytes entry(PE_SECTION_HEADER_SIZE, 0);
    std::copy_n(BUILD_CONSTANTS_SECTION_NAME, PE_SECTION_NAME_SIZE, entry.begin());
    std::uint64_t rawSize = (size + fileAlignment - 1) / fileAlignment * fileAlignment;
    writeLittleEndian(&entry[PE_SECTION_VIRTUAL_SIZE], size, 4);
    writeLittleEndian(&entry[PE_SECTION_VIRTUAL_ADDRESS], rva, 4);
    writeLittleEndian(&entry[PE_SECTION_RAW_SIZE], rawSize, 4);
    writeLittleEndian(&entry[PE_SECTION_RAW_OFFSET], rawOffset, 4);
    writeLittleEndian(&entry[PE_SECTION_CHARACTERISTICS], READ_ONLY_DATA, 4);
    return entry;
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
    writeLe32(out.data() + BUILD_CONSTANTS_FORMAT_FIELD, BUILD_CONSTANTS_FORMAT);
    writeLe32(out.data() + BUILD_CONSTANTS_COUNT_FIELD, entries);
    std::size_t index = 0;
    auto entry = [&out, &index](std::uint32_t id, std::uint64_t offset, std::uint64_t size) {
        std::size_t at = BUILD_CONSTANTS_HEADER_SIZE + index++ * BUILD_CONSTANTS_ENTRY_SIZE;
        writeLe32(out.data() + at + BUILD_CONSTANT_ID, id);
        writeLe64(out.data() + at + BUILD_CONSTANT_OFFSET, offset);
        writeLe64(out.data() + at + BUILD_CONSTANT_SIZE, size);
    };
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
    std::uint32_t rva = writer.beginSection(sectionName(), READ_ONLY_DATA);
    std::streamoff sectionStart = writer.content().tellp();
    pe::Bytes head = constantsSectionHead(constants, 0, 0);
    writer.content().write(reinterpret_cast<const char *>(head.data()),
                           static_cast<std::streamsize>(head.size()));
    std::streamoff blockStart = writer.content().tellp();
    pe::Bytes index = writeBlock(writer.content());
    std::streamoff blockEnd = writer.content().tellp();
    writer.content().write(reinterpret_cast<const char *>(index.data()),
                           static_cast<std::streamsize>(index.size()));
    std::streamoff sectionEnd = writer.content().tellp();
    if (!writer.content() || sectionStart < 0 || blockStart < sectionStart ||
        blockEnd < blockStart || sectionEnd < blockEnd) {
        throw pe::ImageError("cannot write the attached data");
    }
    writer.rewrite(
        0, constantsSectionHead(constants, std::uint64_t(blockEnd - blockStart), index.size()));
    // The checksum last, read back as a launcher's reader reads it.
    std::uint64_t size = std::uint64_t(sectionEnd - sectionStart);
    pe::Bytes tableEntry =
        constantsTableEntry(rva, std::uint64_t(sectionStart), size, image.fileAlignment());
    std::uint32_t crc = 0;
    BuildConstantsState state =
        checkConstantsInFile(file, std::uint64_t(sectionStart), size, tableEntry.data(), &crc);
    if (state != CONSTANTS_INTACT && state != CONSTANTS_CHECKSUM_MISMATCH) {
        throw pe::ImageError("cannot read back the constants section");
    }
    file.clear();
    file.seekp(sectionEnd);
    pe::Bytes field(BUILD_CONSTANTS_CRC_SIZE);
    writeLe32(field.data(), crc);
    writer.rewrite(BUILD_CONSTANTS_CRC_FIELD, field);
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
