// Layout of the attached data block, shared by the launcher (reader) and the
// packer (writer), and the rules its records follow.
//
// Block: "QVZ", one or more zstd frames, zero padding, then an 8-byte
// little-endian trailer at a multiple of 8 holding its own offset. The
// frames, decoded in order, give a record stream: for each file its name
// (UTF-16LE units, "\" separators, then a 0x0000 unit), its size (u64 LE),
// its CRC-32 (u32 LE) and its bytes; then an end marker, a lone 0x0000
// unit. The first record is the program the launcher starts. Every frame
// holds whole records and carries its content checksum; the last one ends
// with the end marker. Frames decode independently, so a launcher that
// knows where each starts (the index's frame table) may decode several at
// once.
#pragma once

#include <stddef.h>
#include <stdint.h>

static const unsigned char ATTACHED_DATA_MAGIC[3] = {'Q', 'V', 'Z'};
enum { ATTACHED_DATA_MAGIC_SIZE = 3 };
// The trailer starts at a multiple of this.
enum { ATTACHED_DATA_TRAILER_ALIGNMENT = 8 };
enum { ATTACHED_DATA_TRAILER_SIZE = 8 };
// Longest entry name, 1023 units, plus the terminator.
enum { ENTRY_NAME_CAPACITY = 1024 };
// The launcher's decoder keeps zstd's default window limit.
enum { ATTACHED_DATA_MAX_WINDOW_LOG = 27 };

// A record's fields after its terminated name, and the stream's end marker.
enum { RECORD_SIZE_BYTES = 8, RECORD_CRC_BYTES = 4, RECORD_END_MARKER_BYTES = 2 };

// The index, a second constant beside the block: every record's name, size
// and stored CRC-32 in record order, so that a start whose files all match
// needs no decoding, and where each frame starts. Little-endian throughout:
//   header  "QVI2", entry count (u32), frame count (u32), CRC-32 of every
//           byte after the header (u32)
//   entries count times: size (u64), crc (u32), name offset from the index's
//           first byte (u32), name length in UTF-16 units (u32)
//   frames  frame count times: the frame's first byte, from the block's
//           first byte (u64), and its first record's entry number (u32).
//           The first frame starts right after the magic with record 0;
//           both fields strictly increase; every first record is below the
//           entry count.
//   filters only in an index whose magic is "QVI3": a count (u32), 0 (u32),
//           then count times: entry number (u32), 0 (u32), start (u64) and
//           end (u64): the file offsets the entry's content went through
//           the x86 branch filter in (format/branch_filter.h). Entry numbers
//           strictly increase and are below the entry count; start + 5 <=
//           end <= the entry's size.
//   names   UTF-16LE units, no terminators, in entry order
// An empty index (0 bytes) means none; the launcher then always decodes, in
// one pass through the frames. A packer that filters a file writes an
// index: a payload without one is never filtered.
static const unsigned char PAYLOAD_INDEX_MAGIC[4] = {'Q', 'V', 'I', '2'};
static const unsigned char PAYLOAD_INDEX_FILTERED_MAGIC[4] = {'Q', 'V', 'I', '3'};
// Header fields, from the index's first byte.
enum {
    PAYLOAD_INDEX_COUNT_AT = 4,
    PAYLOAD_INDEX_FRAME_COUNT_AT = 8,
    PAYLOAD_INDEX_CRC_AT = 12,
    PAYLOAD_INDEX_HEADER_SIZE = 16
};
// Entry fields, from the entry's first byte.
enum {
    INDEX_ENTRY_FILE_SIZE_AT = 0,
    INDEX_ENTRY_CRC_AT = 8,
    INDEX_ENTRY_NAME_OFFSET_AT = 12,
    INDEX_ENTRY_NAME_LENGTH_AT = 16,
    PAYLOAD_INDEX_ENTRY_SIZE = 20
};
// Frame-table fields, from the frame entry's first byte.
enum { INDEX_FRAME_OFFSET_AT = 0, INDEX_FRAME_FIRST_RECORD_AT = 8, PAYLOAD_INDEX_FRAME_SIZE = 12 };
// The filter table's head and rows, from their first byte.
enum { INDEX_FILTER_COUNT_AT = 0, INDEX_FILTER_HEAD_SIZE = 8 };
enum {
    INDEX_FILTER_ENTRY_AT = 0,
    INDEX_FILTER_START_AT = 8,
    INDEX_FILTER_END_AT = 16,
    PAYLOAD_INDEX_FILTER_SIZE = 24
};

// The crc field of a record and of its index entry for content whose CRC-32
// is `crc`: a computed 0 is stored as 1, since the launcher's file checksum
// keeps 0 for "no file" and an empty file must still be created.
inline uint32_t storedCrc(uint32_t crc) {
    return crc == 0 ? 1 : crc;
}
