#include "packer/block/branch_filter_choice.h"

#include "format/little_endian.h"
#include "format/pe_layout.h"
#include "packer/support/pack_errors.h"

#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace tallix {

namespace {

constexpr std::uint32_t MACHINE_X86 = 0x14C;
constexpr std::uint32_t MACHINE_X64 = 0x8664;
constexpr std::uint32_t SECTION_CODE = 0x20;
constexpr std::uint32_t SECTION_EXECUTE = 0x20000000;
// The trial: a fast level on at most this much of the range, from its
// start. Code at level 3 ranks the filter as level 19 does, in a few
// hundredths of the time.
constexpr int TRIAL_LEVEL = 3;
constexpr std::size_t TRIAL_BYTES = std::size_t{16} << 20;

} // namespace

std::optional<BranchFilterRange> findCodeRange(const unsigned char *head, std::size_t headSize,
                                               std::uint64_t fileSize) {
    if (headSize < PE_DOS_HEADER_SIZE || readLe16(head) != PE_DOS_MAGIC) {
        return std::nullopt;
    }
    std::uint64_t coff = std::uint64_t{readLe32(head + PE_DOS_NEW_HEADER)} + PE_SIGNATURE_SIZE;
    if (coff + PE_COFF_HEADER_SIZE > headSize ||
        readLe32(head + coff - PE_SIGNATURE_SIZE) != PE_SIGNATURE) {
        return std::nullopt;
    }
    std::uint32_t machine = readLe16(head + coff + PE_COFF_MACHINE);
    if (machine != MACHINE_X86 && machine != MACHINE_X64) {
        return std::nullopt;
    }
    std::uint64_t sections =
        coff + PE_COFF_HEADER_SIZE + readLe16(head + coff + PE_COFF_OPTIONAL_HEADER_SIZE);
    std::uint64_t count = readLe16(head + coff + PE_COFF_SECTION_COUNT);
    std::uint64_t start = UINT64_MAX;
    std::uint64_t end = 0;
    for (std::uint64_t k = 0; k < count; ++k) {
        std::uint64_t at = sections + k * PE_SECTION_HEADER_SIZE;
        if (at + PE_SECTION_HEADER_SIZE > headSize) {
            break;
        }
        std::uint32_t flags = readLe32(head + at + PE_SECTION_CHARACTERISTICS);
        std::uint64_t offset = readLe32(head + at + PE_SECTION_RAW_OFFSET);
        std::uint64_t size = readLe32(head + at + PE_SECTION_RAW_SIZE);
        if ((flags & (SECTION_CODE | SECTION_EXECUTE)) == 0 || size == 0 || offset >= fileSize) {
            continue;
        }
        start = std::min(start, offset);
        end = std::max(end, std::min(offset + size, fileSize));
    }
    if (start == UINT64_MAX || end < start + BRANCH_INSTRUCTION_SIZE) {
        return std::nullopt;
    }
    return BranchFilterRange{start, end};
}

namespace {

std::size_t trialSize(const std::vector<unsigned char> &bytes) {
    std::vector<unsigned char> out(ZSTD_compressBound(bytes.size()));
    std::size_t size =
        ZSTD_compress(out.data(), out.size(), bytes.data(), bytes.size(), TRIAL_LEVEL);
    if (ZSTD_isError(size)) {
        throw PackFailure(std::string("zstd compression failed: ") + ZSTD_getErrorName(size));
    }
    return size;
}

std::vector<unsigned char> readSpan(const std::filesystem::path &file, std::uint64_t at,
                                    std::size_t size) {
    std::ifstream in(file, std::ios::binary);
    std::vector<unsigned char> bytes(size);
    in.seekg(static_cast<std::streamoff>(at));
    in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(size));
    if (!in) {
        throw BadInput("cannot read '" + file.string() + "': " + std::strerror(errno));
    }
    return bytes;
}

} // namespace

std::optional<BranchFilterRange> chooseBranchFilter(const std::filesystem::path &file,
                                                    std::uint64_t fileSize) {
    std::size_t headSize =
        static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, CODE_RANGE_HEAD_BYTES));
    std::vector<unsigned char> head = readSpan(file, 0, headSize);
    std::optional<BranchFilterRange> range = findCodeRange(head.data(), head.size(), fileSize);
    if (!range) {
        return std::nullopt;
    }
    std::size_t trial =
        static_cast<std::size_t>(std::min<std::uint64_t>(range->end - range->start, TRIAL_BYTES));
    std::vector<unsigned char> plain = readSpan(file, range->start, trial);
    std::vector<unsigned char> filtered = plain;
    std::uint64_t keptUntil = 0;
    convertBranches(filtered.data(), filtered.size(), range->start, *range, true, &keptUntil);
    if (trialSize(filtered) >= trialSize(plain)) {
        return std::nullopt;
    }
    return range;
}

} // namespace tallix
