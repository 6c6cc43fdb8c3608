#include "format/crc/crc32.h"
#include "format/index/payload_index.h"
#include "format/little_endian.h"
#include "packer/block/block_writer.h"
#include "packer/support/pack_errors.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using tallix::FrameStart;
using tallix::RecordHeader;

const std::vector<RecordHeader> RECORDS = {
    {u"main.exe", 1000, 0x12345678}, {u"empty.txt", 0, 1}, {u"sub\\deeper\\two.txt", 400, 7}};
const std::vector<FrameStart> FRAMES = {{3, 0}, {500, 2}};

std::vector<unsigned char> encoded(const std::vector<FrameStart> &frames = FRAMES) {
    std::string text = tallix::encodePayloadIndex(RECORDS, frames);
    return std::vector<unsigned char>(text.begin(), text.end());
}

// Recomputes the index's own checksum, so a structural fault is what fails.
void reseal(std::vector<unsigned char> &bytes) {
    writeLe32(bytes.data() + 12, computeCrc32(bytes.data() + 16, bytes.size() - 16));
}

bool opens(const std::vector<unsigned char> &bytes) {
    PayloadIndex index;
    return openPayloadIndex(bytes.data(), bytes.size(), &index);
}

TEST(PayloadIndex, RoundTripsEveryRecordAndFrameInOrder) {
    for (const std::vector<FrameStart> &frames :
         {FRAMES, std::vector<FrameStart>{{3, 0}},
          std::vector<FrameStart>{{3, 0}, {9, 1}, {12, 2}}}) {
        std::vector<unsigned char> bytes = encoded(frames);
        PayloadIndex index;
        ASSERT_TRUE(openPayloadIndex(bytes.data(), bytes.size(), &index));
        ASSERT_EQ(index.count, RECORDS.size());
        for (std::size_t k = 0; k < RECORDS.size(); ++k) {
            PayloadIndexEntry entry = payloadIndexEntry(index, k);
            EXPECT_TRUE(recordMatchesIndexEntry(entry, RECORDS[k].name.c_str(), RECORDS[k].size,
                                                RECORDS[k].crc))
                << k;
        }
        ASSERT_EQ(index.frameCount, frames.size());
        for (std::size_t j = 0; j < frames.size(); ++j) {
            PayloadIndexFrame frame = payloadIndexFrame(index, j);
            EXPECT_EQ(frame.offset, frames[j].offset) << j;
            EXPECT_EQ(frame.firstRecord, frames[j].firstRecord) << j;
            EXPECT_EQ(frame.endRecord,
                      j + 1 < frames.size() ? frames[j + 1].firstRecord : RECORDS.size())
                << j;
        }
    }
}

// The index without its frame table, names moved up to close the gap.
void dropFrames(std::vector<unsigned char> &b) {
    b.erase(b.begin() + 76, b.begin() + 100);
    writeLe32(b.data() + 8, 0);
    for (std::size_t at : {28, 48, 68}) {
        writeLe32(b.data() + at, readLe32(b.data() + at) - 24);
    }
    reseal(b);
}

// Entries sit at 16 (3 * 20 bytes), frames at 76 (2 * 12), names at 100.
TEST(PayloadIndex, RefusesAnythingButAWholeIndex) {
    const std::vector<std::pair<const char *, std::function<void(std::vector<unsigned char> &)>>>
        damages = {
            {"empty", [](auto &b) { b.clear(); }},
            {"the magic of the index without frames", [](auto &b) { b[3] = '1'; }},
            {"a name byte, unsealed", [](auto &b) { b[100] ^= 1; }},
            {"a frame byte, unsealed", [](auto &b) { b[80] ^= 1; }},
            {"one byte short", [](auto &b) { b.pop_back(); }},
            {"one byte more", [](auto &b) { b.push_back(0), reseal(b); }},
            {"more entries than fit", [](auto &b) { writeLe32(b.data() + 4, 100), reseal(b); }},
            {"more frames than fit", [](auto &b) { writeLe32(b.data() + 8, 100), reseal(b); }},
            {"one frame more", [](auto &b) { writeLe32(b.data() + 8, 3), reseal(b); }},
            {"no frame", dropFrames},
            {"first frame not after the magic",
             [](auto &b) { writeLe64(b.data() + 76, 4), reseal(b); }},
            {"first frame not at record 0",
             [](auto &b) { writeLe32(b.data() + 84, 1), reseal(b); }},
            {"frame offsets not increasing",
             [](auto &b) { writeLe64(b.data() + 88, 3), reseal(b); }},
            {"first records not increasing",
             [](auto &b) { writeLe32(b.data() + 96, 0), reseal(b); }},
            {"a frame past the last record",
             [](auto &b) { writeLe32(b.data() + 96, 3), reseal(b); }},
            {"empty name", [](auto &b) { writeLe32(b.data() + 32, 0), reseal(b); }},
            {"name outside", [](auto &b) { writeLe32(b.data() + 28, 4000), reseal(b); }},
            {"names out of order", [](auto &b) { writeLe32(b.data() + 28, 102), reseal(b); }},
            {"0x0000 in a name", [](auto &b) { b[100] = b[101] = 0, reseal(b); }},
            {"a name stepping out",
             [](auto &b) { b[100] = b[102] = '.', b[104] = '\\', reseal(b); }},
            {"a stored CRC-32 of 0", [](auto &b) { writeLe32(b.data() + 24, 0), reseal(b); }},
        };
    for (const auto &[what, damage] : damages) {
        std::vector<unsigned char> bytes = encoded();
        ASSERT_TRUE(opens(bytes));
        damage(bytes);
        EXPECT_FALSE(opens(bytes)) << what;
    }
}

// The writer refuses what the reader would, rather than write it.
TEST(PayloadIndex, EncoderRefusesABrokenFrameTable) {
    const struct {
        const char *what;
        std::vector<RecordHeader> records;
        std::vector<FrameStart> frames;
    } cases[] = {
        {"no record", {}, {{3, 0}}},
        {"no frame", RECORDS, {}},
        {"first frame elsewhere", RECORDS, {{8, 0}}},
        {"first frame at record 1", RECORDS, {{3, 1}}},
        {"offsets repeat", RECORDS, {{3, 0}, {3, 1}}},
        {"first records repeat", RECORDS, {{3, 0}, {40, 0}}},
        {"a frame without records", RECORDS, {{3, 0}, {40, 3}}},
    };
    for (const auto &c : cases) {
        EXPECT_THROW(tallix::encodePayloadIndex(c.records, c.frames), tallix::PackFailure)
            << c.what;
    }
}

TEST(PayloadIndex, RecordMatchesOnlyItsOwnEntry) {
    std::vector<unsigned char> bytes = encoded();
    PayloadIndex index;
    ASSERT_TRUE(openPayloadIndex(bytes.data(), bytes.size(), &index));
    PayloadIndexEntry entry = payloadIndexEntry(index, 0);
    const struct {
        const char16_t *name;
        std::uint64_t size;
        std::uint32_t crc;
        bool matches;
    } cases[] = {
        {u"main.exe", 1000, 0x12345678, true},   {u"main.exe", 1001, 0x12345678, false},
        {u"main.exe", 1000, 0x12345679, false},  {u"main.ex", 1000, 0x12345678, false},
        {u"main.exe2", 1000, 0x12345678, false}, {u"Main.exe", 1000, 0x12345678, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(recordMatchesIndexEntry(entry, c.name, c.size, c.crc), c.matches)
            << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
    }
}

} // namespace
