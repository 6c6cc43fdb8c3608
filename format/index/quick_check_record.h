// The record a launcher packed for the quick warm check keeps in its unpack
// folder (payload/check/quick_check.h), named QUICK_CHECK_RECORD_FILE_NAME
// (format/entry_name.h): what each file the payload index names
// looked like on disk when its content was last verified. A later start
// trusts a file whose size, last-write time and identity are still those
// recorded, without reading it.
//
// Layout, little-endian:
//   0   8  magic "TLXQCHK1"
//   8   4  CRC-32 (format/crc/crc32.h) of every byte after this field
//   12  4  the payload's identity: CRC-32 of the whole payload index
//   16  4  entry count, the index's
//   20  4  0
//   24  8  read time: when the start that verified the files began to
//          look at them (FILETIME: 100 ns units since 1601, UTC)
//   32  one entry per index entry, in index order, QUICK_CHECK_ENTRY_SIZE
//       bytes each: size (u64), last-write time (u64, FILETIME), file id
//       (u64), volume serial number (u32), 0 (u32)
//
// Portable: byte-level code only, no windows.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum { QUICK_CHECK_HEADER_SIZE = 32, QUICK_CHECK_ENTRY_SIZE = 32 };

// A file whose last-write time lies less than this before the record's read
// time may have changed again after its metadata was read without its time
// changing: FAT keeps last-write times in steps of 2 s. Such a file gets
// the content check.
static const uint64_t QUICK_CHECK_RACY_WINDOW = uint64_t{2} * 10000000;

// What identifies the payload a record was made for.
struct PayloadIdentity {
    uint32_t indexCrc; // CRC-32 of the whole index
    uint32_t count;    // its entries
};

struct FileMetadata {
    uint64_t size;
    uint64_t lastWrite; // FILETIME
    uint64_t fileId;
    uint32_t volume;
};

// Metadata that no file on disk has: a file not seen where it belongs.
static const FileMetadata NO_FILE_METADATA = {UINT64_MAX, 0, 0, 0};

inline uint64_t quickCheckRecordSize(size_t count) {
    return QUICK_CHECK_HEADER_SIZE + uint64_t{QUICK_CHECK_ENTRY_SIZE} * count;
}

// Entry k of a record buffer of at least quickCheckRecordSize(k + 1) bytes.
void putRecordedFile(unsigned char *record, size_t k, const FileMetadata &file);
FileMetadata recordedFile(const unsigned char *record, size_t k);

// Completes a record whose `identity.count` entries are in place: header and
// CRC-32.
void sealQuickCheckRecord(unsigned char *record, PayloadIdentity identity, uint64_t readTime);

// True when `record` (`size` bytes) is whole (magic, CRC-32, exactly its
// entries) and was made for the payload `identity`; `*readTime` then holds
// its read time.
bool openQuickCheckRecord(const unsigned char *record, uint64_t size, PayloadIdentity identity,
                          uint64_t *readTime);

// Whether a file `found` on disk is the one `recorded` under a record read
// at `readTime`: the same size, last-write time and identity, and a
// last-write time at least QUICK_CHECK_RACY_WINDOW before the read time.
bool fileIsUnchanged(const FileMetadata &recorded, const FileMetadata &found, uint64_t readTime);
