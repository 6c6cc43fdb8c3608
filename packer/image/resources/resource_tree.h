// The resource section of a PE image: the three-level directory tree (type,
// identifier, language), its data entries and the data itself; written for
// a launcher, read back from any image.
#pragma once

#include "packer/image/pe_image.h"

#include <cstdint>
#include <istream>
#include <optional>
#include <vector>

namespace tallix::pe {

// Resource types used by launchers.
inline constexpr std::uint16_t RESOURCE_BITMAP = 2;
inline constexpr std::uint16_t RESOURCE_ICON = 3;
inline constexpr std::uint16_t RESOURCE_STRING = 6;
inline constexpr std::uint16_t RESOURCE_GROUP_ICON = 14;
inline constexpr std::uint16_t RESOURCE_VERSION = 16;
inline constexpr std::uint16_t RESOURCE_MANIFEST = 24;

struct Resource {
    std::uint16_t type = 0;
    std::uint16_t id = 0;
    std::uint16_t language = 0;
    Bytes data;
};

// The section's bytes for resources placed at `sectionRva`, numeric
// identifiers only. Entries are sorted (the loader searches them
// binarily); each datum starts at a multiple of 8. Throws ImageError for two
// resources with the same type, identifier and language.
Bytes buildResourceSection(std::vector<Resource> resources, std::uint32_t sectionRva);

// The data of the first resource of `type` (its first identifier, first
// language) in the image read from `in`, whose headers are `headers`;
// nullopt when there is none, the tree is damaged or the data is larger
// than `limit` bytes.
std::optional<Bytes> readFirstResource(std::istream &in, const Headers &headers, std::uint16_t type,
                                       std::uint32_t limit);

} // namespace tallix::pe
