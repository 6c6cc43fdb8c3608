#include "format/crc/crc32.h"
#include "format/crc/crc32_carryless.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

std::vector<unsigned char> randomBytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::vector<unsigned char> bytes(count);
    for (unsigned char &byte : bytes) {
        byte = static_cast<unsigned char>(generator());
    }
    return bytes;
}

std::uint32_t zlibCrc(const unsigned char *data, std::size_t length) {
    return static_cast<std::uint32_t>(crc32(crc32(0, nullptr, 0), data, static_cast<uInt>(length)));
}

TEST(Crc32, CheckValue) {
    const char text[] = "123456789";
    EXPECT_EQ(computeCrc32(text, 9), 0xCBF43926u);
    EXPECT_EQ(computeCrc32Bytewise(text, 9), 0xCBF43926u);
    EXPECT_EQ(computeCrc32(text, 0), 0u);
}

// Lengths around the braided threshold and block multiples, from every start
// alignment, so that the head, the lane fold and the tail are all exercised.
TEST(Crc32, MatchesZlibForShortRangesAtEveryAlignment) {
    std::vector<unsigned char> bytes = randomBytes(64 + 8, 1);
    // Start the buffer at a multiple of 4 so each offset is a known alignment.
    std::vector<std::uint32_t> aligned((bytes.size() + 3) / 4 + 1);
    unsigned char *base = reinterpret_cast<unsigned char *>(aligned.data());
    std::memcpy(base, bytes.data(), bytes.size());
    for (std::size_t offset = 0; offset < 4; ++offset) {
        for (std::size_t length = 0; length <= 64; ++length) {
            const unsigned char *data = base + offset;
            std::uint32_t expected = zlibCrc(data, length);
            EXPECT_EQ(computeCrc32(data, length), expected)
                << "length " << length << " offset " << offset;
            EXPECT_EQ(continueCrc32Braided(0, data, length), expected)
                << "length " << length << " offset " << offset;
            EXPECT_EQ(computeCrc32Bytewise(data, length), expected)
                << "length " << length << " offset " << offset;
        }
    }
}

TEST(Crc32, MatchesZlibForOneMebibyte) {
    std::vector<unsigned char> bytes = randomBytes((1 << 20) + 3, 2);
    for (std::size_t offset = 0; offset < 4; ++offset) {
        std::size_t length = (1 << 20) - offset;
        std::uint32_t expected = zlibCrc(bytes.data() + offset, length);
        EXPECT_EQ(computeCrc32(bytes.data() + offset, length), expected) << "offset " << offset;
        EXPECT_EQ(continueCrc32Braided(0, bytes.data() + offset, length), expected)
            << "offset " << offset;
    }
    EXPECT_EQ(computeCrc32Bytewise(bytes.data(), 1 << 20), zlibCrc(bytes.data(), 1 << 20));
}

// All-ones words drive every table index to its maximum in each lane.
TEST(Crc32, MatchesZlibForConstantData) {
    for (unsigned char value : {0x00, 0xFF}) {
        std::vector<unsigned char> bytes(4099, value);
        EXPECT_EQ(computeCrc32(bytes.data(), bytes.size()), zlibCrc(bytes.data(), bytes.size()));
    }
}

TEST(Crc32, ContinuesOverPiecesOfAnySize) {
    std::vector<unsigned char> bytes = randomBytes(10000, 3);
    std::uint32_t whole = zlibCrc(bytes.data(), bytes.size());
    for (std::size_t piece : {1u, 7u, 22u, 23u, 4096u}) {
        std::uint32_t crc = 0;
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            crc = continueCrc32(crc, bytes.data() + at, std::min(piece, bytes.size() - at));
        }
        EXPECT_EQ(crc, whole) << "pieces of " << piece;
    }
}

// The folding path against the braided one: every length up to 4096 (the
// 64-byte minimum, the 16-byte fold steps and every tail) from every start
// address modulo 16, continuing from a non-trivial register; then 1 MiB.
TEST(Crc32, CarrylessMatchesBraided) {
    if (!crc32HasCarrylessMultiply()) {
        GTEST_SKIP() << "this processor has no carry-less multiply";
    }
    std::vector<unsigned char> bytes = randomBytes(4096 + 16, 4);
    for (std::size_t offset = 0; offset < 16; ++offset) {
        for (std::size_t length = 0; length <= 4096; ++length) {
            const unsigned char *data = bytes.data() + offset;
            std::uint32_t seed = static_cast<std::uint32_t>(length * 2654435761u);
            ASSERT_EQ(continueCrc32Carryless(seed, data, length),
                      continueCrc32Braided(seed, data, length))
                << "length " << length << " offset " << offset;
        }
    }
    std::vector<unsigned char> large = randomBytes(1 << 20, 5);
    EXPECT_EQ(continueCrc32Carryless(0, large.data(), large.size()),
              continueCrc32Braided(0, large.data(), large.size()));
    EXPECT_EQ(continueCrc32Carryless(0, large.data(), large.size()),
              zlibCrc(large.data(), large.size()));
}

} // namespace
