// Writes one launcher: a prebuilt launcher image completed with its
// application's constants section (format/constants_section.h: the build
// constants, the attached data block and its index) and its resource section. No path
// or time of the build machine ends up in it.
#pragma once

#include "packer/image/pe_image.h"
#include "packer/image/resources/resource_tree.h"

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace tallix {

struct BuildConstants {
    std::u16string directoryTemplate;
    std::u16string company;
    std::u16string product;
    std::u16string version;
    std::u16string fileVersion;
    std::u16string productVersion;
    // Written only when there are some, so that other launchers stay as
    // they were byte for byte.
    std::vector<std::u16string> leadingArguments{};
    std::uint32_t launchOptions = 0; // LaunchOption bits
};

// Writes the attached data block to the stream it is given; returns the
// payload index of its records (packer/block/block_writer.h), empty for none.
using BlockWriterFn = std::function<pe::Bytes(std::ostream &)>;

// The constants section's bytes up to the attached data block, whose size
// (`blockSize`) is the attached data entry's; the block follows them
// directly, and the payload index (`indexSize` bytes, the last entry) the
// block.
pe::Bytes constantsSectionHead(const BuildConstants &constants, std::uint64_t blockSize,
                               std::uint64_t indexSize);

// Writes the launcher into `file` (empty, open for reading and writing).
// The constants section's checksum is written last, from the section read
// back as inspection reads it, so that writer and readers share one
// definition of what it covers. Throws pe::ImageError when `image` cannot
// take the sections (it has resources or a constants section already, or no
// room for two sections).
void writeLauncher(const pe::Image &image, const BuildConstants &constants,
                   const std::vector<pe::Resource> &resources, const BlockWriterFn &writeBlock,
                   std::iostream &file);

} // namespace tallix
