// The build constants section: how a launcher image carries what belongs to
// its application. The packer appends the section to a prebuilt launcher
// image; the launcher finds it by name in its own mapped image, so its data
// stays read-only and inside whatever signs the image.
//
// Section content, offsets from its first byte, little-endian:
//   0   8   magic "TLXCONST"
//   8   4   format version, BUILD_CONSTANTS_FORMAT
//   12  4   entry count N
//   16  4   CRC-32 (format/crc/crc32.h) of the covered bytes, below
//   20  4   0
//   24  N entries of 24 bytes: id (u32), 0 (u32), offset (u64), size (u64)
// Every entry's bytes lie inside the section. Strings are UTF-16LE at even
// offsets, their size counting the 0x0000 terminator.
//
// The checksum covers what the launcher reads of its image before it writes
// anything, beyond the PE headers that lead it to the section. In this
// order: the section's 40-byte entry in the section table; the header but
// its CRC field; the entry table; then each entry's bytes in table order,
// where of the attached data only the first ATTACHED_DATA_CHECKED_HEAD bytes
// (magic and zstd frame header) and the trailer count. The frame has checks
// of its own (the zstd content checksum, every record's CRC-32), and a start
// that finds its files in place never reads it.
//
// Portable: byte-level lookups only, no windows.h.
#pragma once

#include "format/attached_data.h"

#include <stddef.h>
#include <stdint.h>

// Eight bytes, padded with NULs, as the section table stores names.
static const char BUILD_CONSTANTS_SECTION_NAME[8] = {'.', 't', 'a', 'l', 'l', 'i', 'x', 0};
static const unsigned char BUILD_CONSTANTS_MAGIC[8] = {'T', 'L', 'X', 'C', 'O', 'N', 'S', 'T'};
// Readers take this format only: one without the checksum is never trusted.
enum { BUILD_CONSTANTS_FORMAT = 2 };
enum { BUILD_CONSTANTS_HEADER_SIZE = 24, BUILD_CONSTANTS_ENTRY_SIZE = 24 };
// Field offsets in the header and in an entry.
enum {
    BUILD_CONSTANTS_FORMAT_FIELD = 8,
    BUILD_CONSTANTS_COUNT_FIELD = 12,
    BUILD_CONSTANTS_CRC_FIELD = 16,
    BUILD_CONSTANTS_CRC_SIZE = 4
};
enum { BUILD_CONSTANT_ID = 0, BUILD_CONSTANT_OFFSET = 8, BUILD_CONSTANT_SIZE = 16 };

enum BuildConstantId {
    CONSTANT_DIRECTORY_TEMPLATE = 1,
    CONSTANT_COMPANY = 2,
    CONSTANT_PRODUCT = 3,
    CONSTANT_VERSION = 4,
    CONSTANT_FILE_VERSION = 5,
    CONSTANT_PRODUCT_VERSION = 6,
    CONSTANT_ATTACHED_DATA = 7,
    // The payload index (format/attached_data.h), right after the
    // block; empty or missing: the launcher unpacks on every start.
    CONSTANT_PAYLOAD_INDEX = 8,
    // Optional; missing means none. Leading arguments: UTF-16 strings, each
    // with its terminator, one after the other.
    CONSTANT_LEADING_ARGUMENTS = 9,
    // Optional; missing means 0. A u32 of LaunchOption bits.
    CONSTANT_LAUNCH_OPTIONS = 10,
};

// The attached data's bytes the checksum covers at its start: the magic and
// the longest zstd frame header (ZSTD_FRAMEHEADERSIZE_MAX), whose flags
// decide how the rest of the frame is read.
enum {
    FRAME_HEADER_LIMIT = 18,
    ATTACHED_DATA_CHECKED_HEAD = ATTACHED_DATA_MAGIC_SIZE + FRAME_HEADER_LIMIT
};

// Bits of CONSTANT_LAUNCH_OPTIONS; unknown bits are ignored.
enum LaunchOption {
    LAUNCH_CLEAN_OLD_VERSIONS = 1,
    LAUNCH_KILL_CHILD_WITH_LAUNCHER = 2,
    // A GUI launcher shows no progress window (launcher/window/progress_window.h).
    LAUNCH_NO_PROGRESS_WINDOW = 4,
    // A warm start trusts files whose metadata is that recorded when their
    // content was last verified (payload/check/quick_check.h).
    LAUNCH_QUICK_CHECK = 8,
};

// The section called `name` (8 bytes, NUL-padded) of the image mapped at
// `image` (sections at their virtual addresses): its start, its virtual size
// and its entry in the section table (PE_SECTION_HEADER_SIZE bytes). False
// when the headers are not those of a PE image, there is no such section,
// or it is not readable (its pages would fault).
bool findMappedSection(const unsigned char *image, const char name[8], const unsigned char **start,
                       uint32_t *size, const unsigned char **tableEntry);

// What checkBuildConstants finds.
enum BuildConstantsState {
    CONSTANTS_INTACT,
    CONSTANTS_NOT_OURS,          // no magic
    CONSTANTS_OTHER_FORMAT,      // the magic, but another format version
    CONSTANTS_MALFORMED,         // the entry table or an entry reaches past the section
    CONSTANTS_UNREADABLE,        // the reader failed
    CONSTANTS_CHECKSUM_MISMATCH, // the CRC field differs from the covered bytes' CRC-32
};

// Gives `count` bytes (at most CONSTANTS_READ_PIECE) from `offset` in the
// section, valid until the next call; null when they cannot be read. Only
// ranges inside the section are asked for.
typedef const unsigned char *(*ConstantsReader)(void *context, uint64_t offset, size_t count);
enum { CONSTANTS_READ_PIECE = 65536 };

// Checks the constants section of `sectionSize` bytes (the launcher: its
// mapped size; a file: no more than its raw data) whose section table entry
// is `tableEntry`, reading it through `read`. On CONSTANTS_INTACT and
// CONSTANTS_CHECKSUM_MISMATCH `*computed` holds the covered bytes' CRC-32,
// the value a writer stores.
BuildConstantsState checkBuildConstants(const unsigned char *tableEntry, uint64_t sectionSize,
                                        ConstantsReader read, void *context, uint32_t *computed);

// Entry `id` of the constants section at `section` (`sectionSize` bytes):
// false when the header is not ours, the entry is missing or lies outside
// the section.
bool findBuildConstant(const unsigned char *section, uint64_t sectionSize, uint32_t id,
                       const unsigned char **data, uint64_t *size);

// The same rule for a section read piecewise from a file: `head` holds its
// first `headSize` bytes, at least the header and the entry table, and the
// section has `sectionSize` bytes. Gives the entry's offset from the
// section's first byte; false as above, and when `head` ends inside the
// entry table.
bool findBuildConstantOffset(const unsigned char *head, uint64_t headSize, uint64_t sectionSize,
                             uint32_t id, uint64_t *offset, uint64_t *size);

// Bytes from the section's start through its entry table, for a section
// whose header `head` (BUILD_CONSTANTS_HEADER_SIZE bytes) declares them;
// 0 when the header is not ours.
uint64_t buildConstantsTableEnd(const unsigned char *head);

// True for bytes that hold one whole UTF-16 string: an even, non-zero size
// ending in a 0x0000 unit.
bool isTerminatedWideString(const unsigned char *data, uint64_t size);
