#include "format/index/quick_check_record.h"

#include "format/crc/crc32.h"
#include "format/little_endian.h"

#include <string.h>

static const unsigned char QUICK_CHECK_MAGIC[8] = {'T', 'L', 'X', 'Q', 'C', 'H', 'K', '1'};
// Header fields, from the record's first byte.
enum { CRC_AT = 8, INDEX_CRC_AT = 12, COUNT_AT = 16, READ_TIME_AT = 24 };
// Entry fields, from the entry's first byte.
enum { SIZE_AT = 0, LAST_WRITE_AT = 8, FILE_ID_AT = 16, VOLUME_AT = 24 };

static size_t entryOffset(size_t k) {
    return QUICK_CHECK_HEADER_SIZE + k * size_t{QUICK_CHECK_ENTRY_SIZE};
}

void putRecordedFile(unsigned char *record, size_t k, const FileMetadata &file) {
    unsigned char *entry = record + entryOffset(k);
    memset(entry, 0, QUICK_CHECK_ENTRY_SIZE);
    writeLe64(entry + SIZE_AT, file.size);
    writeLe64(entry + LAST_WRITE_AT, file.lastWrite);
    writeLe64(entry + FILE_ID_AT, file.fileId);
    writeLe32(entry + VOLUME_AT, file.volume);
}

FileMetadata recordedFile(const unsigned char *record, size_t k) {
    const unsigned char *entry = record + entryOffset(k);
    return {readLe64(entry + SIZE_AT), readLe64(entry + LAST_WRITE_AT),
            readLe64(entry + FILE_ID_AT), readLe32(entry + VOLUME_AT)};
}

static uint32_t coveredCrc(const unsigned char *record, uint64_t size) {
    return computeCrc32(record + INDEX_CRC_AT, static_cast<size_t>(size) - INDEX_CRC_AT);
}

void sealQuickCheckRecord(unsigned char *record, PayloadIdentity identity, uint64_t readTime) {
    memset(record, 0, QUICK_CHECK_HEADER_SIZE);
    memcpy(record, QUICK_CHECK_MAGIC, sizeof QUICK_CHECK_MAGIC);
    writeLe32(record + INDEX_CRC_AT, identity.indexCrc);
    writeLe32(record + COUNT_AT, identity.count);
    writeLe64(record + READ_TIME_AT, readTime);
    writeLe32(record + CRC_AT, coveredCrc(record, quickCheckRecordSize(identity.count)));
}

bool openQuickCheckRecord(const unsigned char *record, uint64_t size, PayloadIdentity identity,
                          uint64_t *readTime) {
    if (size < QUICK_CHECK_HEADER_SIZE ||
        memcmp(record, QUICK_CHECK_MAGIC, sizeof QUICK_CHECK_MAGIC) != 0 ||
        readLe32(record + COUNT_AT) != identity.count ||
        size != quickCheckRecordSize(identity.count) ||
        readLe32(record + INDEX_CRC_AT) != identity.indexCrc ||
        readLe32(record + CRC_AT) != coveredCrc(record, size)) {
        return false;
    }
    *readTime = readLe64(record + READ_TIME_AT);
    return true;
}

bool fileIsUnchanged(const FileMetadata &recorded, const FileMetadata &found, uint64_t readTime) {
    return found.size != NO_FILE_METADATA.size && recorded.size == found.size &&
           recorded.lastWrite == found.lastWrite && recorded.fileId == found.fileId &&
           recorded.volume == found.volume && found.lastWrite < readTime &&
           readTime - found.lastWrite >= QUICK_CHECK_RACY_WINDOW;
}
