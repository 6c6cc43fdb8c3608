#include "format/crc32.h"
#include "format/little_endian.h"
#include "format/payload_index.h"
#include "packer/block/block_writer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using tallix::RecordHeader;

const std::vector<RecordHeader> RECORDS = {
    {u"main.exe", 1000, 0x12345678}, {u"empty.txt", 0, 1}, {u"sub\\deeper\\two.txt", 400, 7}};

std::vector<unsigned char> bytesOf(const std::string &text) {
    return std::vector<unsigned char>(text.begin(), text.end());
}

// Recomputes the index's own checksum, so a structural fault is what fails.
void reseal(std::vector<unsigned char> &bytes) {
    writeLe32(bytes.data() + 8, computeCrc32(bytes.data() + 12, bytes.size() - 12));
}

bool opens(const std::vector<unsigned char> &bytes) {
    PayloadIndex index;
    return openPayloadIndex(bytes.data(), bytes.size(), &index);
}

TEST(PayloadIndex, RoundTripsEveryRecordInOrder) {
    std::vector<unsigned char> bytes = bytesOf(tallix::encodePayloadIndex(RECORDS));
    PayloadIndex index;
    ASSERT_TRUE(openPayloadIndex(bytes.data(), bytes.size(), &index));
    ASSERT_EQ(index.count, RECORDS.size());
    for (std::size_t k = 0; k < RECORDS.size(); ++k) {
        PayloadIndexEntry entry = payloadIndexEntry(index, k);
        EXPECT_TRUE(recordMatchesIndexEntry(entry, RECORDS[k].name.c_str(), RECORDS[k].size,
                                            RECORDS[k].crc))
            << k;
    }
    std::vector<unsigned char> none = bytesOf(tallix::encodePayloadIndex({}));
    ASSERT_TRUE(openPayloadIndex(none.data(), none.size(), &index));
    EXPECT_EQ(index.count, 0u);
}

// Entry 0 sits at 12, its name at 12 + 3 * 20 = 72.
TEST(PayloadIndex, RefusesAnythingButAWholeIndex) {
    const std::vector<std::pair<const char *, std::function<void(std::vector<unsigned char> &)>>>
        damages = {
            {"empty", [](auto &b) { b.clear(); }},
            {"magic", [](auto &b) { b[3] = '2'; }},
            {"a name byte, unsealed", [](auto &b) { b[72] ^= 1; }},
            {"one byte short", [](auto &b) { b.pop_back(); }},
            {"one byte more", [](auto &b) { b.push_back(0), reseal(b); }},
            {"more entries than fit", [](auto &b) { writeLe32(b.data() + 4, 100), reseal(b); }},
            {"empty name", [](auto &b) { writeLe32(b.data() + 28, 0), reseal(b); }},
            {"name outside", [](auto &b) { writeLe32(b.data() + 24, 4000), reseal(b); }},
            {"names out of order", [](auto &b) { writeLe32(b.data() + 24, 74), reseal(b); }},
            {"0x0000 in a name", [](auto &b) { b[72] = b[73] = 0, reseal(b); }},
            {"a name stepping out", [](auto &b) { b[72] = b[74] = '.', b[76] = '\\', reseal(b); }},
            {"a stored CRC-32 of 0", [](auto &b) { writeLe32(b.data() + 20, 0), reseal(b); }},
        };
    for (const auto &[what, damage] : damages) {
        std::vector<unsigned char> bytes = bytesOf(tallix::encodePayloadIndex(RECORDS));
        ASSERT_TRUE(opens(bytes));
        damage(bytes);
        EXPECT_FALSE(opens(bytes)) << what;
    }
}

TEST(PayloadIndex, RecordMatchesOnlyItsOwnEntry) {
    std::vector<unsigned char> bytes = bytesOf(tallix::encodePayloadIndex(RECORDS));
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
