#include "format/little_endian.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Every width reads the low bytes first; a write stores exactly `count`
// bytes, dropping the value's higher ones.
TEST(LittleEndian, ReadsAndWritesEveryWidth) {
    const unsigned char bytes[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    const struct {
        std::size_t count;
        std::uint64_t value;
    } cases[] = {{1, 0x01},         {2, 0x2301},           {3, 0x452301},
                 {5, 0x8967452301}, {7, 0xCDAB8967452301}, {8, 0xEFCDAB8967452301}};
    for (const auto &c : cases) {
        EXPECT_EQ(readLittleEndian(bytes, c.count), c.value) << c.count;
        unsigned char out[9];
        std::memset(out, 0x5A, sizeof out);
        std::uint64_t higher = c.count < 8 ? ~std::uint64_t{0} << (8 * c.count) : 0;
        writeLittleEndian(out, c.value | higher, c.count);
        EXPECT_EQ(std::memcmp(out, bytes, c.count), 0) << c.count;
        EXPECT_EQ(out[c.count], 0x5A) << c.count;
    }
    EXPECT_EQ(readLe16(bytes), 0x2301u);
    EXPECT_EQ(readLe32(bytes), 0x67452301u);
    EXPECT_EQ(readLe64(bytes), 0xEFCDAB8967452301u);
    unsigned char out[8] = {};
    writeLe16(out, 0xBEEF);
    writeLe32(out + 2, 0x12345678);
    EXPECT_EQ(readLe16(out), 0xBEEFu);
    EXPECT_EQ(readLe32(out + 2), 0x12345678u);
    writeLe64(out, 0x0102030405060708);
    EXPECT_EQ(readLe64(out), 0x0102030405060708u);
}

} // namespace
