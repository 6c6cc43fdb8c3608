// Which files the packer passes through the x86 branch filter
// (format/branch_filter.h), and where: the code sections of an x86 or
// x86-64 PE file, where a trial compression says the filter pays.
#pragma once

#include "format/branch_filter.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace tallix {

// The headers a code range is looked for in: every linker here puts the
// section table well within the first 4 KiB.
inline constexpr std::size_t CODE_RANGE_HEAD_BYTES = 4096;

// The span from the first to the end of the last section marked as code or
// executable, clipped to the file; nullopt for anything that is not an x86
// or x86-64 PE image by its headers (in `head`, the file's first bytes), or
// whose section table leaves no span. The headers may lie: the filter gives
// back any bytes it is given, so a wrong range costs size, never content.
std::optional<BranchFilterRange> findCodeRange(const unsigned char *head, std::size_t headSize,
                                               std::uint64_t fileSize);

// The range to filter `file` in, or nullopt: its code range when a fast
// trial compression of that range comes out smaller filtered. Throws
// BadInput when the file cannot be read.
std::optional<BranchFilterRange> chooseBranchFilter(const std::filesystem::path &file,
                                                    std::uint64_t fileSize);

} // namespace tallix
