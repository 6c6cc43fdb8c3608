#include "format/attached_data.h"
#include "format/crc/crc32.h"
#include "packer/block/block_reader.h"
#include "packer/commands/commands.h"
#include "test_launcher.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using tallix::BlockLocation;
using tallix::DamagedBlockError;
using tallix::RecordReader;

namespace {

using Bytes = std::string;

struct Record {
    std::u16string name;
    Bytes content;
    std::optional<std::uint32_t> crc; // stored crc; default: the right one
};

void putLittleEndian(Bytes &out, std::uint64_t value, int count) {
    for (int i = 0; i < count; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

Bytes recordStream(const std::vector<Record> &records, const Bytes &afterEnd = {}) {
    Bytes out;
    for (const Record &r : records) {
        for (char16_t unit : r.name) {
            putLittleEndian(out, unit, 2);
        }
        putLittleEndian(out, 0, 2);
        putLittleEndian(out, r.content.size(), 8);
        std::uint32_t crc =
            r.crc ? *r.crc : storedCrc(computeCrc32(r.content.data(), r.content.size()));
        putLittleEndian(out, crc, 4);
        out += r.content;
    }
    putLittleEndian(out, 0, 2);
    return out + afterEnd;
}

// One frame of `stream`; `checksum` also declares the content size, which
// gives the single-segment header variant for small streams.
Bytes makeFrame(const Bytes &stream, bool checksum) {
    ZSTD_CCtx *context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, checksum ? 1 : 0);
    Bytes frame(ZSTD_compressBound(stream.size()), '\0');
    std::size_t size =
        ZSTD_compress2(context, frame.data(), frame.size(), stream.data(), stream.size());
    ZSTD_freeCCtx(context);
    EXPECT_FALSE(ZSTD_isError(size));
    frame.resize(size);
    return frame;
}

// A block as a launcher carries it, of one frame per stream piece.
Bytes makeBlock(const std::vector<Bytes> &pieces, bool checksum = false,
                const Bytes &betweenFrames = {}) {
    Bytes block = "QVZ";
    for (const Bytes &piece : pieces) {
        block += (block.size() > 3 ? betweenFrames : "") + makeFrame(piece, checksum);
    }
    while (block.size() % 8 != 0) {
        block.push_back('\0');
    }
    putLittleEndian(block, block.size(), 8);
    return block;
}

Bytes makeBlock(const Bytes &stream, bool checksum = false) {
    return makeBlock(std::vector<Bytes>{stream}, checksum);
}

Bytes randomBytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    Bytes out(count, '\0');
    for (char &c : out) {
        c = static_cast<char>(generator());
    }
    return out;
}

struct Listed {
    std::u16string name;
    std::uint64_t size;
    std::uint32_t crc;
    Bytes content;
};

std::vector<Listed> readAll(std::istream &in, const BlockLocation &where) {
    RecordReader reader(in, where);
    std::vector<Listed> out;
    while (auto entry = reader.next()) {
        Listed item{entry->name, entry->size, entry->crc, {}};
        reader.readContent([&](const unsigned char *data, std::size_t length) {
            item.content.append(reinterpret_cast<const char *>(data), length);
        });
        out.push_back(item);
    }
    EXPECT_EQ(reader.bytesAfterEndMarker(), 0u);
    return out;
}

const std::vector<Record> SAMPLE = {
    {u"app.exe", "MZ" + Bytes(5000, 'x'), {}},
    {u"empty.txt", "", {}},
    {u"data\\nested\\r\u00e9sum\u00e9.bin", randomBytes(300000, 1), {}},
};

} // namespace

// A block is taken at the place it is given, and only when its magic, frame
// and trailer are a block's.
TEST(BlockReader, ChecksTheBlockAtItsPlace) {
    // Without and with a checksum and declared content size (the frame
    // header's single-segment variant).
    for (bool checksum : {false, true}) {
        Bytes block = makeBlock(recordStream(SAMPLE), checksum);
        Bytes file = "prefix" + block + "suffix";
        std::istringstream in(file);
        BlockLocation where = tallix::checkAttachedData(in, 6, block.size());
        EXPECT_EQ(where.offset, 6u);
        EXPECT_EQ(where.blockBytes, block.size());
        EXPECT_EQ(where.frameBytes, ZSTD_findFrameCompressedSize(&block[3], block.size() - 3));
        if (checksum) {
            EXPECT_EQ(where.windowSize, recordStream(SAMPLE).size()) << "single segment";
        }
        std::vector<Listed> listed = readAll(in, where);
        ASSERT_EQ(listed.size(), SAMPLE.size());
        for (std::size_t i = 0; i < SAMPLE.size(); ++i) {
            EXPECT_EQ(listed[i].name, SAMPLE[i].name);
            EXPECT_EQ(listed[i].size, SAMPLE[i].content.size());
            EXPECT_EQ(listed[i].content, SAMPLE[i].content);
        }
        EXPECT_EQ(listed[1].crc, 1u) << "an empty file's CRC-32 of 0 is stored as 1";
    }
    {
        // Frames of whole records: the first record alone, then the rest.
        const Bytes stream = recordStream(SAMPLE);
        const std::size_t cut = recordStream({SAMPLE[0]}).size() - 2;
        Bytes block = makeBlock({stream.substr(0, cut), stream.substr(cut)}, true);
        std::istringstream in(block);
        BlockLocation where = tallix::checkAttachedData(in, 0, block.size());
        std::size_t first = ZSTD_findFrameCompressedSize(&block[3], block.size() - 3);
        EXPECT_EQ(where.frameStarts, (std::vector<std::uint64_t>{3, 3 + first}));
        EXPECT_EQ(where.frameBytes, first + ZSTD_findFrameCompressedSize(&block[3 + first],
                                                                         block.size() - 3 - first));
        std::vector<Listed> listed = readAll(in, where);
        ASSERT_EQ(listed.size(), SAMPLE.size());
        EXPECT_EQ(listed[2].content, SAMPLE[2].content);
    }

    const Bytes block = makeBlock(recordStream(SAMPLE));
    struct Case {
        const char *what;
        Bytes file;
        std::uint64_t size;
    };
    const Bytes stream = recordStream(SAMPLE);
    const Bytes twoFrames =
        makeBlock({stream.substr(0, 100), stream.substr(100)}, false, Bytes(8, '\0'));
    Bytes badMagic = block, badTrailer = block, badBlockType = block, lateTrailer = block;
    badMagic[0] = 'X';
    putLittleEndian(lateTrailer, block.size(), 8); // its own offset, but 8 bytes late
    badTrailer[badTrailer.size() - 1] = 1;
    badBlockType[3 + 4 + 2] |= 0x06; // the frame's first block header: reserved type
    const Case cases[] = {
        {"no magic", badMagic, block.size()},
        {"a trailer that does not hold its own offset", badTrailer, block.size()},
        {"a block of a reserved type", badBlockType, block.size()},
        {"the trailer cut off", block, block.size() - 8},
        {"a trailer 8 bytes after the frame's", lateTrailer, lateTrailer.size()},
        {"too short for magic and trailer", block, 10},
        {"no frame after the magic", Bytes("QVZ") + Bytes(13, '\0'), 16},
        {"padding between two frames", twoFrames, twoFrames.size()},
    };
    for (const Case &c : cases) {
        std::istringstream in(c.file);
        EXPECT_THROW(tallix::checkAttachedData(in, 0, c.size), DamagedBlockError) << c.what;
    }
}

TEST(BlockReader, DamageInsideTheFrameOrRecordsIsReported) {
    // A frame whose content checksum no longer matches: the structure stays
    // intact, so only decoding can tell.
    Bytes damaged = makeBlock(recordStream(SAMPLE), /*checksum=*/true);
    {
        std::istringstream in(damaged);
        damaged[3 + tallix::checkAttachedData(in, 0, damaged.size()).frameBytes - 1] ^= 0x5A;
    }
    // A stream that stops inside a record, one with an over-long name, and
    // one with bytes after its end marker.
    Bytes stream = recordStream(SAMPLE);
    Bytes cut = makeBlock(stream.substr(0, stream.size() - 100));
    Bytes longName = makeBlock(recordStream({{std::u16string(1024, u'n'), "x", {}}}));

    for (const Bytes &block : {damaged, cut, longName}) {
        std::istringstream in(block);
        RecordReader reader(in, tallix::checkAttachedData(in, 0, block.size()));
        EXPECT_THROW(
            {
                while (reader.next()) {
                }
            },
            DamagedBlockError);
    }

    // Frames that a launcher decoding them apart could not read: one ending
    // inside a record, the end marker in a frame of its own.
    const std::size_t whole = recordStream({SAMPLE[0]}).size() - 2;
    for (std::size_t cut : {whole - 1, whole + 1, stream.size() - 2}) {
        Bytes block = makeBlock({stream.substr(0, cut), stream.substr(cut)});
        std::istringstream in(block);
        RecordReader reader(in, tallix::checkAttachedData(in, 0, block.size()));
        while (reader.next()) {
        }
        EXPECT_THROW(reader.bytesAfterEndMarker(), DamagedBlockError) << cut;
    }

    Bytes extra = makeBlock(recordStream(SAMPLE, "tail"));
    std::istringstream in(extra);
    RecordReader reader(in, tallix::checkAttachedData(in, 0, extra.size()));
    while (reader.next()) {
    }
    EXPECT_EQ(reader.bytesAfterEndMarker(), 4u);
}

// The inspect command end to end on files written to a temporary directory.
class InspectCommand : public testing::Test {
  protected:
    void SetUp() override {
        root_ =
            fs::temp_directory_path() /
            ("tallix-inspect-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path writeLauncher(const std::vector<Record> &records,
                           const std::string &name = "app.exe") {
        fs::path path = root_ / name;
        std::ofstream(path, std::ios::binary) << tallix::testLauncher(
            makeBlock(recordStream(records)), {u"{TEMP}\\x", u"C", u"P", u"1", u"2", u"3"});
        return path;
    }

    int run(const tallix::Arguments &args) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int status = tallix::runInspectCommand(args);
        out_ = testing::internal::GetCapturedStdout();
        err_ = testing::internal::GetCapturedStderr();
        return status;
    }

    fs::path root_;
    std::string out_, err_;
};

TEST_F(InspectCommand, CrcMismatchFailsVerify) {
    std::vector<Record> records = SAMPLE;
    records[2].crc = 0x12345678;
    records.push_back({u"zero-crc", "abc", 0u}); // 0 would make the launcher skip the file
    fs::path launcher = writeLauncher(records);
    EXPECT_EQ(run({launcher.string()}), 0) << "listing alone does not check content";
    EXPECT_EQ(run({launcher.string(), "--verify"}), 1);
    EXPECT_NE(
        err_.find("CRC-32 mismatch in 'data\\nested\\r\xc3\xa9sum\xc3\xa9.bin': stored 12345678"),
        std::string::npos)
        << err_;
    EXPECT_NE(err_.find("CRC-32 mismatch in 'zero-crc': stored 00000000"), std::string::npos)
        << err_;
    EXPECT_NE(err_.find("2 of 4 files fail"), std::string::npos) << err_;
}

TEST_F(InspectCommand, ExtractRefusesNamesThatLeaveTheDirectory) {
    std::vector<std::u16string> bad = {u"..\\escaped", u"a\\..\\..\\escaped", u"\\rooted",
                                       u"C:\\drive",   u"a/../../escaped",    u"a\\\\b",
                                       u"a\\.\\b"};
    std::vector<Record> records = {{u"ok.exe", "MZ", {}}};
    for (const std::u16string &name : bad) {
        records.push_back({name, "bad", {}});
    }
    fs::path launcher = writeLauncher(records);
    fs::path dir = root_ / "inner" / "x";
    EXPECT_EQ(run({launcher.string(), "--extract", dir.string()}), 1);
    EXPECT_TRUE(fs::exists(dir / "ok.exe"));
    EXPECT_FALSE(fs::exists(root_ / "escaped"));
    EXPECT_FALSE(fs::exists(root_ / "inner" / "escaped"));
    std::size_t refusals = 0;
    for (std::size_t at = err_.find("refusing"); at != std::string::npos;
         at = err_.find("refusing", at + 1)) {
        ++refusals;
    }
    EXPECT_EQ(refusals, bad.size()) << err_;
    // Nothing but ok.exe was written anywhere under the test directory.
    std::size_t files = 0;
    for (const auto &entry : fs::recursive_directory_iterator(root_)) {
        files += entry.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(files, 2u) << "the launcher and ok.exe";
    // The launcher refuses such records, so a check calls the launcher damaged.
    EXPECT_EQ(run({launcher.string(), "--verify"}), 1);
    EXPECT_NE(err_.find("the record name '..\\escaped' could leave"), std::string::npos) << err_;

    // A link planted inside the target directory is not followed.
    fs::create_directories(root_ / "outside");
    fs::path linked = root_ / "linked";
    fs::create_directories(linked);
    fs::create_directory_symlink(root_ / "outside", linked / "sub");
    fs::path viaLink = writeLauncher({{u"ok.exe", "MZ", {}}, {u"sub\\planted", "x", {}}}, "l.exe");
    EXPECT_EQ(run({viaLink.string(), "--extract", linked.string()}), 1);
    EXPECT_FALSE(fs::exists(root_ / "outside" / "planted"));
}
