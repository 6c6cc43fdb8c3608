#define ZSTD_STATIC_LINKING_ONLY // frame headers
#include "format/attached_data.h"
#include "format/index/payload_index.h"
#include "format/little_endian.h"
#include "packer/block/block_writer.h"
#include "packer/support/pack_errors.h"

#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;
using tallix::BlockOptions;
using tallix::PayloadFile;

namespace {

struct Record {
    std::u16string name;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    std::string content;
};

// The little-endian field of `count` bytes at `at`, which must lie inside `bytes`.
std::uint64_t fieldAt(const std::string &bytes, std::size_t at, std::size_t count) {
    if (at + count > bytes.size()) {
        throw std::out_of_range("a field past the end of the bytes");
    }
    return readLittleEndian(reinterpret_cast<const unsigned char *>(bytes.data()) + at, count);
}

class BlockWriterTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/block-writer-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        app_ = root_ / "app";
        fs::create_directories(app_);
    }
    void TearDown() override { fs::remove_all(root_); }

    void put(const std::string &relative, const std::string &content) {
        fs::path path = app_ / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    std::string writeBlock(const std::vector<PayloadFile> &files, const BlockOptions &options) {
        std::ostringstream out;
        tallix::BlockSummary summary = tallix::writeAttachedData(files, out, options);
        EXPECT_EQ(summary.blockBytes, out.str().size());
        return out.str();
    }

    // Checks the layout around the frames and returns them, keyed by their
    // offsets in the block.
    std::map<std::uint64_t, std::string> framesOf(const std::string &block) {
        EXPECT_EQ(block.substr(0, 3), "QVZ");
        std::size_t trailerAt = block.size() - 8;
        std::map<std::uint64_t, std::string> frames;
        std::size_t at = 3;
        while (trailerAt - at >= 8) {
            std::size_t size = ZSTD_findFrameCompressedSize(block.data() + at, trailerAt - at);
            if (ZSTD_isError(size)) {
                ADD_FAILURE() << "no frame at " << at;
                return frames;
            }
            frames[at] = block.substr(at, size);
            at += size;
        }
        EXPECT_EQ(trailerAt % 8, 0u);
        EXPECT_EQ(fieldAt(block, trailerAt, 8), trailerAt);
        EXPECT_LE(at, trailerAt);
        for (std::size_t i = at; i < trailerAt; ++i) {
            EXPECT_EQ(block[i], 0) << "padding byte " << i;
        }
        return frames;
    }

    std::string frameOf(const std::string &block) {
        std::map<std::uint64_t, std::string> frames = framesOf(block);
        EXPECT_EQ(frames.size(), 1u);
        return frames.empty() ? "" : frames.begin()->second;
    }

    // Decodes with the zstd command-line tool, independent of our code.
    std::string decodeWithTool(const std::string &frame) {
        fs::path in = root_ / "frame.zst", out = root_ / "stream.bin";
        std::ofstream(in, std::ios::binary) << frame;
        std::string command = "zstd -q -d -f '" + in.string() + "' -o '" + out.string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        std::ifstream stream(out, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(stream), {});
    }

    static std::vector<Record> parseRecords(const std::string &stream) {
        std::vector<Record> records;
        std::size_t at = 0;
        for (;;) {
            Record record;
            while (char16_t unit = static_cast<char16_t>(fieldAt(stream, at, 2))) {
                record.name.push_back(unit);
                at += 2;
            }
            at += 2;
            if (record.name.empty()) {
                EXPECT_EQ(at, stream.size()) << "bytes after the end marker";
                return records;
            }
            record.size = fieldAt(stream, at, 8);
            record.crc = static_cast<std::uint32_t>(fieldAt(stream, at + 8, 4));
            at += 12;
            record.content = stream.substr(at, record.size);
            at += record.size;
            records.push_back(record);
        }
    }

    fs::path root_, app_;
};

std::string randomText(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string text(size, '\0');
    for (char &c : text) {
        // Compressible but not trivial.
        c = static_cast<char>('a' + generator() % 8);
    }
    return text;
}

TEST_F(BlockWriterTest, FrameDecodesToRecordsInOrder) {
    put("tools/run.exe", "MZ main");
    put("b.txt", "bee");
    put("a.txt", "ay");
    put("empty.dat", "");
    put("Lib/upper.dll", "upper case sorts first");
    put("lib/x/deep.bin", randomText(3 << 20, 7)); // several read pieces
    put("lib/z.dll", "own files before subdirectories");
    put("tools/helper.dll", "h");

    std::vector<PayloadFile> files = tallix::collectPayloadFiles(app_, "tools/run.exe");
    std::string block = writeBlock(files, BlockOptions{});
    std::string frame = frameOf(block);

    // Header: its content size, a content checksum, no dictionary, window <= 2^27.
    ZSTD_frameHeader header;
    ASSERT_EQ(ZSTD_getFrameHeader(&header, frame.data(), frame.size()), 0u);
    EXPECT_EQ(header.frameContentSize, tallix::recordStreamBytes(files));
    EXPECT_EQ(header.checksumFlag, 1u);
    EXPECT_EQ(header.dictID, 0u);
    EXPECT_LE(header.windowSize, std::uint64_t{1} << 27);

    std::vector<Record> records = parseRecords(decodeWithTool(frame));
    std::vector<std::u16string> names;
    for (const Record &record : records) {
        names.push_back(record.name);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"tools\\run.exe", u"a.txt", u"b.txt",
                                                  u"empty.dat", u"Lib\\upper.dll", u"lib\\z.dll",
                                                  u"lib\\x\\deep.bin", u"tools\\helper.dll"}));
    for (const Record &record : records) {
        std::string relative(record.name.begin(), record.name.end());
        std::replace(relative.begin(), relative.end(), '\\', '/');
        std::ifstream source(app_ / relative, std::ios::binary);
        std::string expected(std::istreambuf_iterator<char>(source), {});
        EXPECT_EQ(record.content, expected) << relative;
        EXPECT_EQ(record.size, expected.size()) << relative;
        auto crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef *>(expected.data()), expected.size()));
        EXPECT_EQ(record.crc, storedCrc(crc)) << relative;
    }
    EXPECT_EQ(records.at(3).crc, 1u) << "an empty file's CRC-32 of 0 is stored as 1";
}

// Small files share a frame up to the target, a larger one has its own; each
// frame decodes alone to whole records, and the summary and the index agree
// on where frames start (the index's size, planned before, too).
TEST_F(BlockWriterTest, FramesHoldWholeRecordsUpToTheTarget) {
    put("main.exe", randomText(20000, 1));
    put("a.bin", randomText(30000, 2));
    put("b.bin", randomText(30000, 3));
    put("c.bin", randomText(200000, 4));
    put("d.txt", "d");
    put("e.bin", randomText(60000, 5));
    std::vector<PayloadFile> files = tallix::collectPayloadFiles(app_, "main.exe");
    BlockOptions options;
    options.frameTarget = 64 << 10;
    std::ostringstream out;
    tallix::BlockSummary summary = tallix::writeAttachedData(files, out, options);

    const std::vector<std::uint32_t> expectedFirst = {0, 2, 3, 4};
    std::map<std::uint64_t, std::string> frames = framesOf(out.str());
    ASSERT_EQ(summary.frames.size(), expectedFirst.size());
    ASSERT_EQ(frames.size(), expectedFirst.size());
    auto frame = frames.begin();
    for (std::size_t j = 0; j < expectedFirst.size(); ++j, ++frame) {
        EXPECT_EQ(summary.frames[j].firstRecord, expectedFirst[j]) << j;
        EXPECT_EQ(summary.frames[j].offset, frame->first) << j;
        EXPECT_EQ(frame->second[4] & 0x04, 0x04) << "checksum, frame " << j;
        bool last = j + 1 == expectedFirst.size();
        std::string stream = decodeWithTool(frame->second);
        EXPECT_EQ(ZSTD_getFrameContentSize(frame->second.data(), frame->second.size()),
                  stream.size())
            << "declared content size, frame " << j;
        std::vector<Record> records = parseRecords(last ? stream : stream + std::string(2, '\0'));
        std::size_t end = last ? files.size() : expectedFirst[j + 1];
        ASSERT_EQ(records.size(), end - expectedFirst[j]) << j;
        for (std::size_t k = expectedFirst[j]; k < end; ++k) {
            EXPECT_EQ(records[k - expectedFirst[j]].name, files[k].name) << k;
            EXPECT_EQ(records[k - expectedFirst[j]].size, files[k].size) << k;
        }
    }

    std::string index = tallix::encodePayloadIndex(summary.records, summary.frames);
    EXPECT_EQ(index.size(), tallix::payloadIndexBytes(files, options.frameTarget));
    PayloadIndex opened;
    ASSERT_TRUE(openPayloadIndex(reinterpret_cast<const unsigned char *>(index.data()),
                                 index.size(), &opened));
    EXPECT_EQ(opened.frameCount, expectedFirst.size());
    EXPECT_EQ(payloadIndexFrame(opened, 3).offset, summary.frames[3].offset);
}

TEST_F(BlockWriterTest, BytesDoNotDependOnTheWorkerCount) {
    put("main.exe", randomText(3 << 20, 11));
    put("second.bin", randomText(1 << 20, 12));
    std::vector<PayloadFile> files = tallix::collectPayloadFiles(app_, "main.exe");
    BlockOptions options;
    options.windowLog = 17;        // small jobs, so that two workers really share the work
    options.frameTarget = 1 << 20; // a frame for each file
    options.workers = 1;
    std::string one = writeBlock(files, options);
    options.workers = 2;
    std::string two = writeBlock(files, options);
    EXPECT_TRUE(one == two) << "sizes " << one.size() << " and " << two.size();
    std::map<std::uint64_t, std::string> frames = framesOf(one);
    EXPECT_EQ(frames.size(), 2u);
    for (const auto &[offset, frame] : frames) {
        EXPECT_EQ(static_cast<unsigned char>(frame[5]) >> 3, 17 - 10) << offset;
    }
}

// A launcher sizes its lanes' buffers by the window each frame header
// declares: with whole-frame windows that is the frame's own size, else the
// level's or the given window, never more than the frame.
TEST_F(BlockWriterTest, FrameHeadersDeclareTheWindowsTheFramesNeed) {
    put("main.exe", randomText(300000, 21));
    put("a.txt", randomText(800000, 22));
    put("b.txt", randomText(900000, 23));
    std::vector<PayloadFile> files = tallix::collectPayloadFiles(app_, "main.exe");
    const std::vector<tallix::PlannedFrame> plan = tallix::planFrames(files, 1 << 20);
    ASSERT_EQ(plan.size(), 3u);
    struct Case {
        const char *what;
        bool whole;
        int windowLog;
        std::uint64_t maxWindow; // 0: the frame's size exactly
    } cases[] = {
        {"whole-frame windows", true, 0, 0},
        {"a window given", false, 17, 1 << 17},
        {"the level's window", false, 0, 1 << 21},
    };
    for (const Case &c : cases) {
        BlockOptions options;
        options.level = 3;
        options.frameTarget = 1 << 20;
        options.wholeFrameWindows = c.whole;
        options.windowLog = c.windowLog;
        std::map<std::uint64_t, std::string> frames = framesOf(writeBlock(files, options));
        ASSERT_EQ(frames.size(), plan.size()) << c.what;
        auto frame = frames.begin();
        for (std::size_t j = 0; j < plan.size(); ++j, ++frame) {
            ZSTD_frameHeader header;
            ASSERT_EQ(ZSTD_getFrameHeader(&header, frame->second.data(), frame->second.size()), 0u);
            EXPECT_EQ(header.frameContentSize, plan[j].streamBytes) << c.what << ", frame " << j;
            if (c.maxWindow == 0) {
                EXPECT_EQ(header.windowSize, plan[j].streamBytes) << c.what << ", frame " << j;
            } else {
                EXPECT_LE(header.windowSize, c.maxWindow) << c.what << ", frame " << j;
            }
        }
    }
    // Past two lanes' budget a frame (one large file) gets the large-frame
    // window, wider than level 19's own and narrower than level 22's.
    BlockOptions whole;
    whole.wholeFrameWindows = true;
    for (int level : {16, 19, 22}) {
        whole.level = level;
        EXPECT_EQ(tallix::frameWindowLog(whole, tallix::WHOLE_FRAME_MAX_BYTES + 1),
                  tallix::LARGE_FRAME_WINDOW_LOG)
            << level;
    }
}

// A file that grew or shrank after the walk would break its frame's
// declared size: refused as changed input, whichever way it went.
TEST_F(BlockWriterTest, FileResizedAfterTheWalkIsRefused) {
    for (const std::string &now : {std::string("longer than before"), std::string("x")}) {
        put("app.exe", "main");
        put("b.txt", "before");
        std::vector<PayloadFile> files = tallix::collectPayloadFiles(app_, "app.exe");
        put("b.txt", now);
        std::ostringstream out;
        try {
            tallix::writeAttachedData(files, out, BlockOptions{});
            ADD_FAILURE() << "no error for " << now;
        } catch (const tallix::BadInput &problem) {
            EXPECT_NE(std::string(problem.what()).find("changed while it was packed"),
                      std::string::npos)
                << problem.what();
        }
    }
}

TEST_F(BlockWriterTest, ProgressCountsTheFileInWorkAndEndsAtTheSummary) {
    put("app.exe", std::string(3 << 20, 'a'));
    put("b.txt", "b");
    std::vector<PayloadFile> files = tallix::collectPayloadFiles(app_, "app.exe");
    std::vector<tallix::BlockProgress> reports;
    std::ostringstream out;
    BlockOptions options;
    options.frameTarget = 1 << 20; // the count runs on over two frames
    options.windowLog = 17;        // small jobs, so that the count moves within a frame
    tallix::BlockSummary summary = tallix::writeAttachedData(
        files, out, options, [&](const tallix::BlockProgress &now) { reports.push_back(now); });
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(summary.frames.size(), 2u);
    EXPECT_EQ(reports.back().files, 2u);
    EXPECT_EQ(reports.back().consumed, summary.streamBytes);
    EXPECT_EQ(reports.back().produced, summary.frameBytes);
    EXPECT_EQ(tallix::recordStreamBytes(files), summary.streamBytes);
    // A file counts once the compressor has taken it whole; the last one
    // with the end marker, in the final report.
    const std::uint64_t firstEnd = tallix::recordStreamBytes({files[0]}) - 2;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        if (i + 1 < reports.size()) {
            EXPECT_EQ(reports[i].files, reports[i].consumed >= firstEnd ? 1u : 0u) << i;
        }
        if (i > 0) {
            EXPECT_LE(reports[i - 1].consumed, reports[i].consumed);
            EXPECT_LE(reports[i - 1].files, reports[i].files);
        }
    }
}

TEST_F(BlockWriterTest, EmptyAppHasOnlyTheEndMarker) {
    std::string block = writeBlock({}, BlockOptions{});
    EXPECT_EQ(decodeWithTool(frameOf(block)), std::string(2, '\0'));
}

TEST_F(BlockWriterTest, CollectionRefusesBadInput) {
    put("main.exe", "m");
    EXPECT_THROW(tallix::collectPayloadFiles(app_, "missing.exe"), tallix::BadInput);
    EXPECT_THROW(tallix::collectPayloadFiles(app_, "../main.exe"), tallix::BadInput);
    EXPECT_THROW(tallix::collectPayloadFiles(root_ / "nothing", "main.exe"), tallix::BadInput);
    EXPECT_NO_THROW(tallix::collectPayloadFiles(app_, "main.exe"));

    put("sub/bad?.txt", "x");
    EXPECT_THROW(tallix::collectPayloadFiles(app_, "main.exe"), tallix::BadInput);
    fs::remove(app_ / "sub/bad?.txt");

    // The message names the dangling link, not the folder that holds it.
    fs::create_symlink("nowhere", app_ / "sub" / "dangling");
    try {
        tallix::collectPayloadFiles(app_, "main.exe");
        ADD_FAILURE() << "a dangling link was packed";
    } catch (const tallix::BadInput &error) {
        EXPECT_NE(std::string(error.what()).find("dangling'"), std::string::npos) << error.what();
    }
}

// Names Windows cannot hold as they are, each refused with a message that
// names the file (or both files); pairs it holds apart are packed.
TEST_F(BlockWriterTest, CollectionRefusesWhatWindowsCannotHold) {
    const struct {
        std::vector<std::string> files;
        std::string message; // "" when packed; else the text after the app's path
    } cases[] = {
        {{"back\\slash.txt"},
         "back\\slash.txt': the name 'back\\slash.txt' contains '\\', which Windows reads as a "
         "folder separator"},
        {{"dir\\x/inner.txt"}, "dir\\x': the name 'dir\\x' contains '\\'"},
        {{".tallix-onefile-folder"},
         ".tallix-onefile-folder': the name '.tallix-onefile-folder' is "
         "that of a file the launcher writes"},
        {{"sub/.TALLIX-Onefile-FOLDER"}, "sub/.TALLIX-Onefile-FOLDER': the name"},
        {{"Readme", "README"},
         "README' and '{APP}/Readme' are one file on Windows, which ignores letter case"},
        {{"\u00c4.txt", "\u00e4.txt"}, "\u00c4.txt' and '{APP}/\u00e4.txt' are one file"},
        {{"x/\u03a3\u03a3", "x/\u03c3\u03c2"}, "x/\u03a3\u03a3' and '{APP}/x/\u03c3\u03c2'"},
        {{"readme/inner", "Readme"}, "Readme' has the name of a directory of other files"},
        // Windows keeps these apart: no simple upper case of \u00df is "SS".
        {{"\u00df.txt", "ss.txt"}, ""},
        {{"Data/a.txt", "data/b.txt"}, ""},
    };
    for (const auto &c : cases) {
        fs::remove_all(app_);
        put("main.exe", "m");
        for (const std::string &file : c.files) {
            put(file, file);
        }
        std::string refusal;
        try {
            tallix::collectPayloadFiles(app_, "main.exe");
        } catch (const tallix::BadInput &error) {
            refusal = error.what();
        }
        std::string expected = c.message;
        for (std::size_t at; (at = expected.find("{APP}")) != std::string::npos;) {
            expected.replace(at, 5, app_.string());
        }
        if (c.message.empty()) {
            EXPECT_EQ(refusal, "") << c.files[0];
        } else {
            EXPECT_EQ(refusal.rfind("'" + app_.string() + "/" + expected, 0), 0u)
                << refusal << "\nexpected: " << expected;
        }
    }
}

// The frame stops as soon as it passes the limit, long before the input
// ends; input that compresses to less passes whatever its size.
TEST_F(BlockWriterTest, FrameLimitStopsCompressionEarly) {
    // Room for the jobs zstd keeps in flight, with 1 MiB windows below.
    const std::size_t size = 16 << 20;
    const std::uint64_t limit = 1 << 20;
    std::string noise(size, '\0');
    std::mt19937 generator(7);
    for (char &c : noise) {
        c = static_cast<char>(generator());
    }
    for (bool random : {true, false}) {
        fs::remove_all(app_);
        put("main.exe", random ? noise : std::string(size, '\0'));
        std::vector<PayloadFile> files = tallix::collectPayloadFiles(app_, "main.exe");
        BlockOptions options;
        options.frameLimit = limit;
        // zstd's jobs take four windows of input before they start.
        options.windowLog = 17;
        std::uint64_t lastConsumed = 0;
        std::ostringstream out;
        try {
            tallix::writeAttachedData(files, out, options, [&](const tallix::BlockProgress &now) {
                lastConsumed = now.consumed;
            });
            EXPECT_FALSE(random) << "incompressible input passed the limit";
            EXPECT_LE(out.str().size(), limit);
        } catch (const tallix::FrameLimitExceeded &exceeded) {
            EXPECT_TRUE(random);
            EXPECT_LE(out.str().size(), limit + ZSTD_CStreamOutSize() + 3);
            EXPECT_LT(exceeded.consumed, size / 2);
            EXPECT_LT(lastConsumed, size / 2);
        }
    }
}

TEST_F(BlockWriterTest, OutOfRangeSettingsAreRefused) {
    put("main.exe", "m");
    std::vector<PayloadFile> files = tallix::collectPayloadFiles(app_, "main.exe");
    BlockOptions wide;
    wide.windowLog = 28;
    std::ostringstream out;
    EXPECT_THROW(tallix::writeAttachedData(files, out, wide), tallix::BadInput);
    BlockOptions level;
    level.level = 99;
    EXPECT_THROW(tallix::writeAttachedData(files, out, level), tallix::BadInput);
}

} // namespace
