#include "format/branch_filter.h"
#include "format/crc/crc32.h"
#include "format/index/payload_index.h"
#include "format/little_endian.h"
#include "format/pe_layout.h"
#include "packer/block/block_reader.h"
#include "packer/block/block_writer.h"
#include "packer/block/branch_filter_choice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

namespace {

// Code-like bytes: calls and jumps to a few targets among other bytes,
// also opcodes whose operand is no near displacement.
Bytes codeLike(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>(random() % 7 == 0 ? 0xE8 + random() % 2 : random());
    }
    for (std::size_t i = 0; i + 5 <= size; i += 16) {
        bytes[i] = 0xE8;
        std::uint32_t target = 0x1000 * static_cast<std::uint32_t>(random() % 4);
        writeLe32(&bytes[i + 1], target - static_cast<std::uint32_t>(i + 5));
    }
    return bytes;
}

// `bytes` through a filter stream in pieces of `piece` bytes.
Bytes streamed(const Bytes &bytes, BranchFilterRange range, bool encode, std::size_t piece) {
    BranchFilterStream stream;
    startBranchFilter(&stream, range, encode);
    Bytes out, buffer(piece + BRANCH_INSTRUCTION_SIZE);
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t n = std::min(piece, bytes.size() - at);
        std::size_t used = 0;
        std::size_t done =
            filterBranchPiece(&stream, bytes.data() + at, n, buffer.data(), buffer.size(), &used);
        out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(done));
        at += used;
    }
    std::size_t held = finishBranchFilter(&stream, buffer.data());
    out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(held));
    return out;
}

TEST(BranchFilter, GivesBackAnyBytesWhateverThePieces) {
    const Bytes code = codeLike(20000, 1);
    Bytes ones(300, 0xE8);
    struct Case {
        const char *what;
        const Bytes &bytes;
        BranchFilterRange range;
    } cases[] = {
        {"whole file", code, {0, 20000}},
        {"a range inside", code, {777, 15001}},
        {"a range past the end", code, {19990, 40000}},
        {"a range too short for one instruction", code, {100, 104}},
        {"only opcodes", ones, {0, 300}},
    };
    for (const Case &c : cases) {
        const Bytes encoded = streamed(c.bytes, c.range, true, c.bytes.size());
        for (std::size_t piece :
             {std::size_t{6}, std::size_t{7}, std::size_t{13}, std::size_t{4096}}) {
            EXPECT_EQ(streamed(c.bytes, c.range, true, piece), encoded) << c.what << ", " << piece;
            EXPECT_EQ(streamed(encoded, c.range, false, piece), c.bytes) << c.what << ", " << piece;
        }
    }
    // A call at 32 holds its target once filtered when within +-64 MiB
    // (its displacement's top byte 0x00-0x03 or 0xFC-0xFF), else stays.
    struct Reach {
        std::int32_t displacement;
        std::uint32_t filtered;
    } reaches[] = {
        {0x1000 - 37, 0x1000},     {-0x2000000, 0xFE000025u}, // 32 MiB back
        {0x3000000, 0x3000025},                               // 48 MiB on
        {0x5000000, 0x5000000},                               // 80 MiB: out of reach
        {-0x5000000, 0xFB000000u},
    };
    for (const Reach &reach : reaches) {
        Bytes call(64, 0x90);
        call[32] = 0xE8;
        writeLe32(&call[33], static_cast<std::uint32_t>(reach.displacement));
        Bytes filtered = streamed(call, {0, 64}, true, 64);
        EXPECT_EQ(readLe32(&filtered[33]), reach.filtered) << reach.displacement;
        EXPECT_EQ(streamed(filtered, {0, 64}, false, 64), call) << reach.displacement;
    }
    EXPECT_NE(streamed(code, {0, 20000}, true, 20000), code);
}

// An x86-64 PE image: headers, then one code section of `code`, then data.
Bytes peImage(const Bytes &code, std::uint32_t sectionOffset, std::uint32_t sectionSize) {
    Bytes image(0x400 + code.size() + 4000, 0x41);
    std::fill(image.begin(), image.begin() + 0x400, 0);
    std::copy(code.begin(), code.end(), image.begin() + 0x400);
    writeLe16(&image[0], PE_DOS_MAGIC);
    writeLe32(&image[PE_DOS_NEW_HEADER], 0x80);
    writeLe32(&image[0x80], PE_SIGNATURE);
    const std::size_t coff = 0x84;
    writeLe16(&image[coff + PE_COFF_MACHINE], 0x8664);
    writeLe16(&image[coff + PE_COFF_SECTION_COUNT], 1);
    writeLe16(&image[coff + PE_COFF_OPTIONAL_HEADER_SIZE], 240);
    const std::size_t section = coff + PE_COFF_HEADER_SIZE + 240;
    writeLe32(&image[section + PE_SECTION_RAW_SIZE], sectionSize);
    writeLe32(&image[section + PE_SECTION_RAW_OFFSET], sectionOffset);
    writeLe32(&image[section + PE_SECTION_CHARACTERISTICS], 0x60000020);
    return image;
}

class BranchFilterFaults : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/branch-filter-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }
    fs::path root_;
};

// The packer's choice, the index and the reader together: every file comes
// back as it was, or, where the index's filter facts were damaged, its
// CRC-32 check or the index's own rules refuse it.
TEST_F(BranchFilterFaults, FilesComeBackExactOrAreRefused) {
    const Bytes code = codeLike(64 * 1024, 2);
    const auto size = static_cast<std::uint32_t>(code.size());
    Bytes text(5000, 'x');
    struct Case {
        const char *what;
        Bytes content;
        bool filtered;
    } cases[] = {
        {"a PE file", peImage(code, 0x400, size), true},
        {"a section past the file's end", peImage(code, 0x400000, size), false},
        {"a section longer than the file", peImage(code, 0x400, 0x7FFFFFFF), true},
        {"text named .exe", text, false},
        {"MZ alone", Bytes{'M', 'Z', 1, 2, 3, 4, 5, 6}, false},
    };
    std::vector<tallix::PayloadFile> files;
    for (const Case &c : cases) {
        tallix::PayloadFile file;
        file.name = u"f" + std::u16string(1, static_cast<char16_t>(u'0' + files.size())) + u".exe";
        file.source = root_ / fs::path(std::string(file.name.begin(), file.name.end()));
        file.size = c.content.size();
        std::ofstream(file.source, std::ios::binary)
            .write(reinterpret_cast<const char *>(c.content.data()),
                   static_cast<std::streamsize>(c.content.size()));
        files.push_back(file);
    }
    tallix::BlockOptions options;
    options.branchFilter = true;
    std::stringstream block;
    tallix::BlockSummary summary = tallix::writeAttachedData(files, block, options);
    std::string index =
        tallix::encodePayloadIndex(summary.records, summary.frames, summary.filters);

    // Reads every record back through `indexBytes`' filters; the files whose
    // content differs from the original, and whether each passed its CRC-32.
    auto readBack = [&](const std::string &indexBytes, std::vector<bool> &crcPassed) {
        PayloadIndex opened{nullptr, 0, 0, nullptr, 0};
        EXPECT_TRUE(openPayloadIndex(reinterpret_cast<const unsigned char *>(indexBytes.data()),
                                     indexBytes.size(), &opened));
        block.clear();
        tallix::BlockLocation where = tallix::checkAttachedData(block, 0, block.str().size());
        tallix::RecordReader reader(block, where);
        std::vector<bool> differs;
        for (std::size_t k = 0; auto entry = reader.next(); ++k) {
            BranchFilterRange range{};
            bool filtered = findBranchFilter(opened, k, &range);
            Bytes content;
            reader.readContent(
                [&](const unsigned char *data, std::size_t n) {
                    content.insert(content.end(), data, data + n);
                },
                filtered ? &range : nullptr);
            differs.push_back(content != cases[k].content);
            crcPassed.push_back(storedCrc(computeCrc32(content.data(), content.size())) ==
                                entry->crc);
        }
        return differs;
    };
    std::vector<bool> passed;
    std::vector<bool> differs = readBack(index, passed);
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        bool filtered = std::any_of(summary.filters.begin(), summary.filters.end(),
                                    [&](const tallix::FilteredRecord &f) { return f.record == k; });
        EXPECT_EQ(filtered, cases[k].filtered) << cases[k].what;
        EXPECT_FALSE(differs[k]) << cases[k].what;
        EXPECT_TRUE(passed[k]) << cases[k].what;
    }

    // Damaged filter facts, the index's checksum made to match: refused by
    // the index's rules, or the file fails its CRC-32 check.
    ASSERT_FALSE(summary.filters.empty());
    std::size_t rowAt = index.size();
    for (const auto &file : files) {
        rowAt -= 2 * file.name.size();
    }
    rowAt -= summary.filters.size() * PAYLOAD_INDEX_FILTER_SIZE;
    struct Damage {
        const char *what;
        std::size_t at;
        std::uint64_t value;
        std::size_t bytes;
    } damages[] = {
        {"start moved by one", rowAt + INDEX_FILTER_START_AT, summary.filters[0].start + 1, 8},
        {"end past the file", rowAt + INDEX_FILTER_END_AT, 1u << 30, 8},
        {"another entry of the same size", rowAt + INDEX_FILTER_ENTRY_AT, 1, 4},
        {"an entry past the count", rowAt + INDEX_FILTER_ENTRY_AT, 99, 4},
    };
    for (const Damage &d : damages) {
        std::string damaged = index;
        auto *bytes = reinterpret_cast<unsigned char *>(damaged.data());
        writeLittleEndian(bytes + d.at, d.value, d.bytes);
        writeLe32(bytes + PAYLOAD_INDEX_CRC_AT,
                  computeCrc32(bytes + PAYLOAD_INDEX_HEADER_SIZE,
                               damaged.size() - PAYLOAD_INDEX_HEADER_SIZE));
        PayloadIndex opened{nullptr, 0, 0, nullptr, 0};
        if (!openPayloadIndex(bytes, damaged.size(), &opened)) {
            continue; // refused by the index's rules
        }
        std::vector<bool> crcPassed;
        std::vector<bool> wrong = readBack(damaged, crcPassed);
        bool refused = false;
        for (std::size_t k = 0; k < wrong.size(); ++k) {
            EXPECT_FALSE(wrong[k] && crcPassed[k]) << d.what << ": a wrong file passed, " << k;
            refused = refused || !crcPassed[k];
        }
        EXPECT_TRUE(refused) << d.what;
    }
}

} // namespace
