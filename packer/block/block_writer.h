// Writes the attached data block from an application directory.
//
// Records: the main program first, then a depth-first walk (each directory's
// own files in UTF-16 code-unit order, then its subdirectories in code-unit
// order), the main program not repeated. Independent zstd frames, each of
// whole records (no content size, a content checksum, no dictionary, window
// <= 2^27), streamed: no whole file and no whole stream is held in memory.
// Layout and record rules: format/attached_data.h.
#pragma once

#include "format/attached_data.h"
#include "packer/block/exclude_glob.h"
#include "packer/support/pack_errors.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace tallix {

struct PayloadFile {
    std::u16string name;          // relative, "\"-separated
    std::filesystem::path source; // file on the host
    std::uint64_t size = 0;
};

// A frame takes records while its record-stream bytes stay within this, and
// always at least one: a file larger than it has a frame of its own. Frames
// let a launcher decode on several cores; each one restarts the compressor's
// history, which costs size. On 254 MB of PE files at level 9, against one
// frame: 4 MiB +2.4 % (62 frames), 8 MiB +0.9 % (34), 16 MiB +1.1 % (18),
// 32 MiB +0.1 % (9). 8 MiB is the smallest under 1 % with work for 8 cores.
inline constexpr std::uint64_t PAYLOAD_FRAME_TARGET_BYTES = std::uint64_t{8} << 20;

// From this level on, frames are sized to the application and each one's
// window covers the whole frame, so that repetition across its files is
// found (typescript's 23 MB: 2.9 MB in 8 MiB frames, 2.1 MB in one). The
// frame header declares the content size, and a decoder then needs no more
// buffer than the frame itself.
inline constexpr int WHOLE_FRAME_WINDOW_LEVEL = 16;
// The most record-stream bytes such a frame takes: two launcher lanes, each
// with a buffer this large, stay within their 64 MiB budget
// (payload/extract/parallel_extraction.h).
inline constexpr std::uint64_t WHOLE_FRAME_MAX_BYTES = std::uint64_t{28} << 20;
// A frame larger than that (one large file) gets a window of 2^24, the
// widest power of two below it, whatever the level's own: at level 19
// (2^23), filtered, node.exe's 72 MB came out 0.42 % smaller and
// ffmpeg.exe's 64 MB 0.16 %, for about a tenth longer to decode that
// frame. Wider ones hardly pay more (ffmpeg.exe: 0.07 % at 2^26).
inline constexpr int LARGE_FRAME_WINDOW_LOG = 24;
// Sized to the application: its record stream in about this many frames,
// so that lanes on a few cores share the work, within
// PAYLOAD_FRAME_TARGET_BYTES..WHOLE_FRAME_MAX_BYTES.
inline constexpr std::uint64_t FRAMES_PER_APPLICATION = 4;

struct BlockOptions {
    int level = 3;     // zstd compression level
    int workers = 1;   // zstd worker threads; >= 1 so the bytes never depend on it
    int windowLog = 0; // 0: the level's default, capped at 27
    // Each frame's window covers it whole, up to WHOLE_FRAME_MAX_BYTES
    // (beyond: LARGE_FRAME_WINDOW_LOG); windowLog is then unused.
    bool wholeFrameWindows = false;
    // The most bytes all frames together may take; compression stops as
    // soon as they pass it (FrameLimitExceeded).
    std::uint64_t frameLimit = UINT64_MAX;
    std::uint64_t frameTarget = PAYLOAD_FRAME_TARGET_BYTES;
    // Pass x86 code through the branch filter where it pays
    // (packer/block/branch_filter_choice.h); its facts go into the index.
    bool branchFilter = false;
};

// The frames passed BlockOptions::frameLimit once `consumed` bytes of the
// record stream were compressed; writeAttachedData stops there.
struct FrameLimitExceeded : BadInput {
    FrameLimitExceeded(std::uint64_t limit, std::uint64_t consumed)
        : BadInput("the compressed files pass " + std::to_string(limit) + " bytes"),
          consumed(consumed) {}
    std::uint64_t consumed;
};

// One record as the block stores it.
struct RecordHeader {
    std::u16string name;
    std::uint64_t size = 0;
    std::uint32_t crc = 0; // as stored: storedCrc() of the content's CRC-32
};

// Where a frame starts in the block and its first record.
struct FrameStart {
    std::uint64_t offset = 0; // from the block's first byte
    std::uint32_t firstRecord = 0;
    bool operator==(const FrameStart &other) const {
        return offset == other.offset && firstRecord == other.firstRecord;
    }
};

// A record whose content went through the branch filter, and where.
struct FilteredRecord {
    std::uint32_t record = 0;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    bool operator==(const FilteredRecord &other) const {
        return record == other.record && start == other.start && end == other.end;
    }
};

struct BlockSummary {
    std::vector<RecordHeader> records;   // in record order
    std::vector<FrameStart> frames;      // in block order
    std::vector<FilteredRecord> filters; // in record order
    std::uint64_t files = 0;
    std::uint64_t contentBytes = 0; // sum of the size fields
    std::uint64_t streamBytes = 0;  // decompressed record stream
    std::uint64_t frameBytes = 0;   // all frames together
    std::uint64_t blockBytes = 0;   // magic, frames, padding, trailer
};

// Progress as the compressor sees it, so that a ratio or a rate drawn from
// it agrees with the finished block. The last report equals the summary.
struct BlockProgress {
    std::uint64_t files = 0;    // files the compressor has taken whole
    std::uint64_t consumed = 0; // record-stream bytes compressed so far
    std::uint64_t produced = 0; // frame bytes produced so far, all frames
};
using ProgressFn = std::function<void(const BlockProgress &)>;

// Reads go through buffers of this size; nothing larger is ever held.
inline constexpr std::size_t BLOCK_IO_PIECE = 1 << 20;

// Why `name` cannot be stored (it breaks one of format/entry_name.h's
// rules: it could leave the target directory or Windows cannot create it),
// or nullopt when it is fine.
std::optional<std::string> checkEntryName(const std::u16string &name);
// The same for one file or folder name as the host gives it, before it is
// joined into a record name: a "\" in it is refused too.
std::optional<std::string> checkHostName(const std::u16string &name);

// What a walk of the application directory met besides the files it packs.
struct WalkReport {
    std::vector<std::filesystem::path> directories; // walked, `appDir` first
    // Symbolic links to files, packed as their targets: the link, its text.
    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> links;
    std::uint64_t excludedFiles = 0;
    std::uint64_t excludedDirectories = 0;
};

// The files of `appDir` in record order, `mainRelative` ("/" or "\"
// separated) first, leaving out every entry an exclusion matches (a folder
// with all it holds). Throws BadInput (packer/support/pack_errors.h) naming the file
// and the cause: a missing directory or main program, an excluded main
// program, a file or folder name that cannot be stored, two files Windows
// would take for one (names equal but for letter case: upcaseNameUnit in
// format/entry_name.h; each start would overwrite one with the other), a
// file named like a folder of others, a symbolic link to a directory or
// anything but regular files and directories.
std::vector<PayloadFile> collectPayloadFiles(const std::filesystem::path &appDir,
                                             const std::filesystem::path &mainRelative,
                                             const std::vector<ExcludeGlob> &exclusions = {},
                                             WalkReport *report = nullptr);

// The length of the record stream of `files`: the total that
// BlockProgress::consumed runs up to.
std::uint64_t recordStreamBytes(const std::vector<PayloadFile> &files);

// The frames `files` are cut into, as writeAttachedData cuts them: each
// one's first record and record-stream bytes (the end marker in the last).
// Sizes are the collected ones, so the index's size is known beforehand.
struct PlannedFrame {
    std::size_t firstRecord = 0;
    std::uint64_t streamBytes = 0;
};
std::vector<PlannedFrame> planFrames(const std::vector<PayloadFile> &files,
                                     std::uint64_t frameTarget);

// The frame target for `files` with whole-frame windows: their record
// stream over FRAMES_PER_APPLICATION, within PAYLOAD_FRAME_TARGET_BYTES ..
// WHOLE_FRAME_MAX_BYTES.
std::uint64_t applicationFrameTarget(const std::vector<PayloadFile> &files);

// The window log a frame of `streamBytes` record-stream bytes is compressed
// with (zstd narrows it further to the frame's size).
int frameWindowLog(const BlockOptions &options, std::uint64_t streamBytes);

// The most bytes the frames of `files` can take, whatever they hold (zstd's
// compression bound, frame by frame).
std::uint64_t frameBytesBound(const std::vector<PayloadFile> &files, std::uint64_t frameTarget);
// The most bytes the block takes besides its frames: magic, padding, trailer.
inline constexpr std::uint64_t BLOCK_FRAMING_BYTES = std::uint64_t{ATTACHED_DATA_MAGIC_SIZE} +
                                                     (ATTACHED_DATA_TRAILER_ALIGNMENT - 1) +
                                                     std::uint64_t{ATTACHED_DATA_TRAILER_SIZE};
// The size of encodePayloadIndex's result for the records of `files`: exact
// without `branchFilter`, else the most it can be (every file filtered).
std::uint64_t payloadIndexBytes(const std::vector<PayloadFile> &files, std::uint64_t frameTarget,
                                bool branchFilter = false);

// Writes the block to `out`. Each file is read twice (its CRC-32 precedes
// its content); one that cannot be read or changes meanwhile throws
// BadInput, a compression or output failure PackFailure.
BlockSummary writeAttachedData(const std::vector<PayloadFile> &files, std::ostream &out,
                               const BlockOptions &options, const ProgressFn &progress = {});

// The payload index of `records` in `frames` (layout in
// format/attached_data.h), the launcher's second constant beside the block;
// with `filters`, a "QVI3" index that holds them. Pure: the same records,
// frames and filters give the same bytes. Throws BadInput for a name the
// index cannot hold, PackFailure for no record or a frame or filter table
// that breaks the layout's rules.
std::string encodePayloadIndex(const std::vector<RecordHeader> &records,
                               const std::vector<FrameStart> &frames,
                               const std::vector<FilteredRecord> &filters = {});

} // namespace tallix
