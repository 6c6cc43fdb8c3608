#include "format/record_header.h"

#include "format/little_endian.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct MemoryStream {
    std::vector<unsigned char> bytes;
    std::size_t position = 0;
};

bool readMemory(void *source, unsigned char *destination, std::size_t count) {
    MemoryStream *stream = static_cast<MemoryStream *>(source);
    if (stream->bytes.size() - stream->position < count) {
        return false;
    }
    std::memcpy(destination, stream->bytes.data() + stream->position, count);
    stream->position += count;
    return true;
}

std::vector<unsigned char> units(std::size_t count, char16_t unit) {
    std::vector<unsigned char> bytes(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        writeLe16(bytes.data() + 2 * i, unit);
    }
    return bytes;
}

std::vector<unsigned char> operator+(std::vector<unsigned char> a,
                                     const std::vector<unsigned char> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Size 0x0807060504030201 and CRC-32 0xD4C3B2A1, little-endian.
const std::vector<unsigned char> FIELDS = {1, 2, 3, 4, 5, 6, 7, 8, 0xA1, 0xB2, 0xC3, 0xD4};

// Each case: the stream, the outcome, the name length read and how many
// bytes the reader took (never more than the header).
TEST(RecordHeader, ReadsEachOutcome) {
    const std::size_t longest = ENTRY_NAME_CAPACITY - 1;
    const struct {
        const char *what;
        std::vector<unsigned char> stream;
        RecordHeaderResult result;
        std::size_t nameLength;
        std::size_t taken;
    } cases[] = {
        {"record", units(2, u'a') + units(1, 0) + FIELDS + units(3, u'x'), RECORD_HEADER_READ, 2,
         6 + 12},
        {"longest name", units(longest, u'n') + units(1, 0) + FIELDS, RECORD_HEADER_READ, longest,
         2 * longest + 2 + 12},
        {"end marker", units(1, 0) + FIELDS, RECORD_END_MARKER, 0, 2},
        {"empty stream", {}, RECORD_NAME_CUT, 0, 0},
        {"name cut", units(3, u'a'), RECORD_NAME_CUT, 3, 6},
        {"half a unit", units(1, u'a') + std::vector<unsigned char>{0x62}, RECORD_NAME_CUT, 1, 2},
        {"no terminator at capacity", units(ENTRY_NAME_CAPACITY + 1, u'n') + units(1, 0),
         RECORD_NAME_TOO_LONG, longest, 2 * ENTRY_NAME_CAPACITY},
        {"fields cut", units(1, u'a') + units(1, 0) + std::vector<unsigned char>(11, 9),
         RECORD_FIELDS_CUT, 1, 4},
    };
    for (const auto &c : cases) {
        MemoryStream stream{c.stream};
        static RecordHeader header;
        std::memset(&header, 0x5A, sizeof header);
        EXPECT_EQ(readRecordHeader(readMemory, &stream, &header), c.result) << c.what;
        EXPECT_EQ(header.nameLength, c.nameLength) << c.what;
        EXPECT_EQ(stream.position, c.taken) << c.what;
        EXPECT_EQ(header.name[header.nameLength], 0) << c.what;
        if (c.result == RECORD_HEADER_READ) {
            EXPECT_EQ(header.name[0], c.stream[0]) << c.what;
            EXPECT_EQ(header.size, 0x0807060504030201u) << c.what;
            EXPECT_EQ(header.crc, 0xD4C3B2A1u) << c.what;
        }
    }
}

} // namespace
