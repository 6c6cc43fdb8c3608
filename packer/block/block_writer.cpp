#include "packer/block/block_writer.h"

#include "format/attached_data.h"
#include "format/branch_filter.h"
#include "format/crc/crc32.h"
#include "format/entry_name.h"
#include "packer/block/branch_filter_choice.h"
#include "packer/support/byte_writing.h"
#include "packer/support/pack_errors.h"
#include "packer/support/text/text_encoding.h"

// For the level's default window (ZSTD_getCParams) and the frame's progress.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>

namespace tallix {

namespace fs = std::filesystem;

namespace {

const char16_t SEPARATOR = u'\\';
// A --main that names no file is answered with the programs there, this many
// at most: enough to spot the one meant in an application's usual few.
constexpr std::size_t CANDIDATES_LISTED = 8;

// `name` as Windows compares it.
std::u16string upcased(std::u16string name) {
    for (char16_t &unit : name) {
        unit = static_cast<char16_t>(upcaseNameUnit(static_cast<WideUnit>(unit)));
    }
    return name;
}

std::string describeUnit(char16_t unit) {
    char text[32];
    if (unit > 0x20 && unit < 0x7F) {
        std::snprintf(text, sizeof text, "'%c'", static_cast<char>(unit));
    } else {
        std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(unit));
    }
    return text;
}

std::string quoted(const std::u16string &name) {
    return "'" + utf16ToUtf8(name) + "'";
}

// What a refused name in the application directory can do about it.
constexpr char NAME_FIX[] = "; rename it, or leave it out with --exclude";

struct Walker {
    const std::vector<ExcludeGlob> &exclusions;
    WalkReport &report;
    std::vector<PayloadFile> files;

    // `relative`: the directory's path below the application directory,
    // '/'-separated as exclusions read it, with a trailing '/' unless empty.
    void walk(const fs::path &directory, const std::u16string &prefix,
              const std::string &relative) {
        report.directories.push_back(directory);
        std::vector<std::pair<std::u16string, fs::path>> ownFiles;
        std::vector<std::pair<std::u16string, fs::path>> subdirectories;
        std::error_code error;
        fs::directory_iterator it(directory, error);
        for (; !error && it != fs::directory_iterator(); it.increment(error)) {
            const fs::path &path = it->path();
            std::optional<std::u16string> name = utf8ToUtf16(path.filename().string());
            if (!name) {
                throw BadInput("'" + path.string() + "': the file name is not valid UTF-8");
            }
            std::error_code statusError;
            fs::file_status status = fs::status(path, statusError);
            std::error_code linkError;
            bool link = fs::is_symlink(fs::symlink_status(path, linkError));
            if (findExclusion(exclusions, relative + path.filename().string(),
                              fs::is_directory(status))) {
                ++(fs::is_directory(status) ? report.excludedDirectories : report.excludedFiles);
                continue;
            }
            if (statusError) {
                // A dangling link lands here too; name it, not its directory.
                throw BadInput("'" + path.string() + "': " + statusError.message() +
                               (link ? " (a broken link)" : ""));
            }
            if (fs::is_directory(status)) {
                if (link) {
                    throw BadInput("'" + path.string() +
                                   "': a symbolic link to a directory cannot be packed; leave "
                                   "it out with --exclude");
                }
                subdirectories.emplace_back(*name, path);
            } else if (fs::is_regular_file(status)) {
                if (link) {
                    report.links.emplace_back(path, fs::read_symlink(path, statusError));
                }
                ownFiles.emplace_back(*name, path);
            } else {
                throw BadInput("'" + path.string() +
                               "': neither a regular file nor a directory (or a broken link)");
            }
        }
        if (error) {
            throw BadInput("cannot read the directory '" + directory.string() +
                           "': " + error.message());
        }
        std::sort(ownFiles.begin(), ownFiles.end());
        std::sort(subdirectories.begin(), subdirectories.end());
        for (const auto &[name, path] : ownFiles) {
            PayloadFile file;
            file.name = prefix + name;
            file.source = path;
            file.size = fs::file_size(path, error);
            std::optional<std::string> why = checkHostName(name);
            if (why || (why = checkEntryName(file.name))) {
                throw BadInput("'" + path.string() + "': " + *why + NAME_FIX);
            }
            files.push_back(std::move(file));
        }
        for (const auto &[name, path] : subdirectories) {
            if (auto why = checkHostName(name)) {
                throw BadInput("'" + path.string() + "': " + *why + NAME_FIX);
            }
            walk(path, prefix + name + SEPARATOR, relative + path.filename().string() + "/");
        }
    }
};

// Windows ignores letter case in names: two files whose names differ in it
// alone are one file there, and a file named like a directory of other
// files cannot be created at all.
void checkCaseClashes(const std::vector<PayloadFile> &files) {
    std::map<std::u16string, const PayloadFile *> byUpcased;
    std::set<std::u16string> upcasedDirectories;
    for (const PayloadFile &file : files) {
        std::u16string name = upcased(file.name);
        for (std::size_t at = name.find(SEPARATOR); at != std::u16string::npos;
             at = name.find(SEPARATOR, at + 1)) {
            upcasedDirectories.insert(name.substr(0, at));
        }
        auto [it, inserted] = byUpcased.emplace(name, &file);
        if (!inserted) {
            throw BadInput("'" + it->second->source.string() + "' and '" + file.source.string() +
                           "' are one file on Windows, which ignores letter case in names; "
                           "rename one, or leave one out with --exclude");
        }
    }
    for (const PayloadFile &file : files) {
        if (upcasedDirectories.count(upcased(file.name)) != 0) {
            throw BadInput("'" + file.source.string() +
                           "' has the name of a directory of other files on Windows" + NAME_FIX);
        }
    }
}

// The main program: the file of that name, or else the one file whose name
// is the same in another letter case, as Windows would open it.
std::vector<PayloadFile>::iterator findMainProgram(std::vector<PayloadFile> &files,
                                                   const std::u16string &name) {
    auto exact = std::find_if(files.begin(), files.end(),
                              [&](const PayloadFile &file) { return file.name == name; });
    if (exact != files.end()) {
        return exact;
    }
    std::u16string folded = upcased(name);
    auto match = files.end();
    for (auto file = files.begin(); file != files.end(); ++file) {
        if (upcased(file->name) == folded) {
            if (match != files.end()) {
                return files.end(); // packing refuses such pairs anyway
            }
            match = file;
        }
    }
    return match;
}

// "; programs there: a.exe, bin\b.exe" for the .exe files found, at most
// CANDIDATES_LISTED of them, for a --main that names none.
std::string candidatePrograms(const std::vector<PayloadFile> &files) {
    const std::u16string exe = u".EXE";
    std::vector<std::string> programs;
    for (const PayloadFile &file : files) {
        std::u16string folded = upcased(file.name);
        if (folded.size() > exe.size() &&
            folded.compare(folded.size() - exe.size(), exe.size(), exe) == 0) {
            programs.push_back(utf16ToUtf8(file.name));
        }
    }
    if (programs.empty()) {
        return "; it holds no .exe";
    }
    std::string list;
    for (std::size_t i = 0; i < programs.size() && i < CANDIDATES_LISTED; ++i) {
        list += (i == 0 ? "; programs there: " : ", ") + programs[i];
    }
    if (programs.size() > CANDIDATES_LISTED) {
        list += " and " + std::to_string(programs.size() - CANDIDATES_LISTED) + " more";
    }
    return list;
}

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using FilePointer = std::unique_ptr<std::FILE, FileCloser>;

struct CompressorFree {
    void operator()(ZSTD_CCtx *context) const { ZSTD_freeCCtx(context); }
};

class FrameWriter {
  public:
    FrameWriter(std::ostream &out, const BlockOptions &options)
        : out_(out), context_(ZSTD_createCCtx()), output_(ZSTD_CStreamOutSize()),
          limit_(options.frameLimit), options_(options) {
        if (!context_) {
            throw PackFailure("cannot create the zstd compressor");
        }
        int windowLog = frameWindowLog(options, 0);
        if (windowLog < ZSTD_WINDOWLOG_MIN || windowLog > ATTACHED_DATA_MAX_WINDOW_LOG) {
            throw BadInput("window log " + std::to_string(windowLog) + " is outside " +
                           std::to_string(ZSTD_WINDOWLOG_MIN) + ".." +
                           std::to_string(ATTACHED_DATA_MAX_WINDOW_LOG));
        }
        ZSTD_bounds levels = ZSTD_cParam_getBounds(ZSTD_c_compressionLevel);
        if (options.level < levels.lowerBound || options.level > levels.upperBound) {
            throw BadInput("compression level " + std::to_string(options.level) + " is outside " +
                           std::to_string(levels.lowerBound) + ".." +
                           std::to_string(levels.upperBound));
        }
        set(ZSTD_c_compressionLevel, options.level, "compression level");
        // Each frame declares its content size (known from the plan), so a
        // decoder's buffer is never larger than the frame; no dictionary.
        // The content checksum lets the launcher see damage to names and
        // sizes, which the records' own crc does not cover.
        set(ZSTD_c_contentSizeFlag, 1, "content size flag");
        set(ZSTD_c_checksumFlag, 1, "checksum flag");
        set(ZSTD_c_dictIDFlag, 0, "dictionary id flag");
        // With one worker or more the frame is the same whatever their number.
        set(ZSTD_c_nbWorkers, std::max(1, options.workers), "worker count");
    }

    // Starts a frame of exactly `streamBytes` record-stream bytes.
    void beginFrame(std::uint64_t streamBytes) {
        set(ZSTD_c_windowLog, frameWindowLog(options_, streamBytes), "window log");
        std::size_t result = ZSTD_CCtx_setPledgedSrcSize(context_.get(), streamBytes);
        if (ZSTD_isError(result)) {
            throw PackFailure(std::string("zstd refuses the frame size ") +
                              std::to_string(streamBytes) + ": " + ZSTD_getErrorName(result));
        }
    }

    void feed(const void *data, std::size_t length) {
        frameOpen_ = true;
        ZSTD_inBuffer input{data, length, 0};
        while (input.pos < input.size) {
            run(input, ZSTD_e_continue);
        }
        streamBytes_ += length;
    }

    // Ends the frame; the next feed starts another with the same settings.
    void endFrame() {
        ZSTD_inBuffer input{nullptr, 0, 0};
        while (run(input, ZSTD_e_end) != 0) {
        }
        frameOpen_ = false;
        endedStreamBytes_ = streamBytes_;
        endedFrameBytes_ = frameBytes_;
    }

    // `recordStarts`: each record's offset in the stream, ascending.
    BlockProgress progress(const std::vector<std::uint64_t> &recordStarts) const {
        // zstd counts within the open frame only.
        ZSTD_frameProgression now = ZSTD_getFrameProgression(context_.get());
        std::uint64_t consumed = endedStreamBytes_ + (frameOpen_ ? now.consumed : 0);
        std::uint64_t produced = endedFrameBytes_ + (frameOpen_ ? now.produced : 0);
        // A record ends where the next one starts; the one being fed counts
        // once the next starts or the frame ends.
        auto started = std::upper_bound(recordStarts.begin(), recordStarts.end(), consumed);
        auto done = static_cast<std::uint64_t>(started - recordStarts.begin());
        return {done == 0 ? 0 : done - 1, consumed, produced};
    }

    std::uint64_t streamBytes() const { return streamBytes_; }
    std::uint64_t frameBytes() const { return frameBytes_; }

  private:
    void set(ZSTD_cParameter parameter, int value, const char *what) {
        std::size_t result = ZSTD_CCtx_setParameter(context_.get(), parameter, value);
        if (ZSTD_isError(result)) {
            throw PackFailure(std::string("zstd refuses the ") + what + " " +
                              std::to_string(value) + ": " + ZSTD_getErrorName(result));
        }
    }

    std::size_t run(ZSTD_inBuffer &input, ZSTD_EndDirective mode) {
        ZSTD_outBuffer output{output_.data(), output_.size(), 0};
        std::size_t remaining = ZSTD_compressStream2(context_.get(), &output, &input, mode);
        if (ZSTD_isError(remaining)) {
            throw PackFailure(std::string("zstd compression failed: ") +
                              ZSTD_getErrorName(remaining));
        }
        if (output.pos > 0) {
            out_.write(output_.data(), static_cast<std::streamsize>(output.pos));
            if (!out_) {
                throw PackFailure("cannot write the block");
            }
            frameBytes_ += output.pos;
            if (frameBytes_ > limit_) {
                throw FrameLimitExceeded(
                    limit_, endedStreamBytes_ + ZSTD_getFrameProgression(context_.get()).consumed);
            }
        }
        return remaining;
    }

    std::ostream &out_;
    std::unique_ptr<ZSTD_CCtx, CompressorFree> context_;
    std::vector<char> output_;
    std::uint64_t limit_;
    BlockOptions options_;
    std::uint64_t streamBytes_ = 0;
    std::uint64_t frameBytes_ = 0;
    bool frameOpen_ = false;
    // The totals of the frames ended so far.
    std::uint64_t endedStreamBytes_ = 0;
    std::uint64_t endedFrameBytes_ = 0;
};

FilePointer openForReading(const PayloadFile &file) {
#ifdef _WIN32
    FilePointer stream(_wfopen(file.source.c_str(), L"rb"));
#else
    FilePointer stream(std::fopen(file.source.c_str(), "rb"));
#endif
    if (!stream) {
        throw BadInput("cannot read '" + file.source.string() + "': " + std::strerror(errno));
    }
    return stream;
}

// Reads `stream` to its end in pieces; calls `piece` for each.
template <typename Piece>
void readPieces(std::FILE *stream, const PayloadFile &file, std::vector<unsigned char> &buffer,
                Piece piece) {
    for (;;) {
        std::size_t n = std::fread(buffer.data(), 1, buffer.size(), stream);
        if (n > 0) {
            piece(buffer.data(), n);
        }
        if (n < buffer.size()) {
            if (std::ferror(stream)) {
                throw BadInput("cannot read '" + file.source.string() +
                               "': " + std::strerror(errno));
            }
            return;
        }
    }
}

// The record-stream bytes of `file`'s record.
std::uint64_t recordBytes(const PayloadFile &file) {
    return 2 * (file.name.size() + 1) + RECORD_SIZE_BYTES + RECORD_CRC_BYTES + file.size;
}

} // namespace

namespace {

std::optional<std::string> describeFault(const std::u16string &name, EntryNameRules rules) {
    std::size_t at = 0;
    EntryNameFault fault = findEntryNameFault(reinterpret_cast<const WideUnit *>(name.data()),
                                              name.size(), rules, &at);
    switch (fault) {
    case ENTRY_NAME_FINE:
        break;
    case ENTRY_NAME_EMPTY:
        return "the name is empty";
    case ENTRY_NAME_TOO_LONG:
        return "the name has " + std::to_string(name.size()) + " UTF-16 units, more than " +
               std::to_string(ENTRY_NAME_CAPACITY - 1);
    case ENTRY_NAME_DRIVE:
        return "the name starts with a drive";
    case ENTRY_NAME_ABSOLUTE:
        return "the name is absolute";
    case ENTRY_NAME_EMPTY_COMPONENT:
        return "the name " + quoted(name) + " has an empty component";
    case ENTRY_NAME_DOT_COMPONENT:
        return "the name " + quoted(name) + " has a '" +
               utf16ToUtf8(name.substr(at, name.find(SEPARATOR, at) - at)) + "' component";
    case ENTRY_NAME_COLON_OR_SLASH:
    case ENTRY_NAME_FORBIDDEN_UNIT:
        return "the name " + quoted(name) + " contains " + describeUnit(name[at]) +
               (name[at] == SEPARATOR ? ", which Windows reads as a folder separator"
                                      : ", which Windows does not allow in file names");
    case ENTRY_NAME_BLANK_COMPONENT:
    case ENTRY_NAME_TRAILING_DOT_OR_SPACE:
        return "the name " + quoted(name) +
               (rules == ENTRY_NAME_COMPONENT_RULES ? " ends" : " has a component ending") +
               " in a dot or a space, which Windows drops";
    case ENTRY_NAME_DEVICE:
        return "the name " + quoted(name) +
               " is a device name on Windows, which opens the device instead of a file";
    case ENTRY_NAME_MARKER:
        return "the name " + quoted(name) +
               " is that of a file the launcher writes into the folders it unpacks";
    case ENTRY_NAME_LAUNCHER_TEMPORARY:
        return "the name " + quoted(name) +
               " matches the names of the launcher's temporary files (" +
               LAUNCHER_TEMPORARY_PREFIX "*" LAUNCHER_TEMPORARY_SUFFIX
                                         "), which a later start may remove";
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> checkEntryName(const std::u16string &name) {
    return describeFault(name, ENTRY_NAME_ALL_RULES);
}

std::optional<std::string> checkHostName(const std::u16string &name) {
    return describeFault(name, ENTRY_NAME_COMPONENT_RULES);
}

std::vector<PayloadFile> collectPayloadFiles(const fs::path &appDir, const fs::path &mainRelative,
                                             const std::vector<ExcludeGlob> &exclusions,
                                             WalkReport *report) {
    std::error_code error;
    if (!fs::is_directory(appDir, error)) {
        throw BadInput("'" + appDir.string() + "' is not a directory");
    }
    std::string mainText = mainRelative.string();
    std::replace(mainText.begin(), mainText.end(), '/', '\\');
    std::optional<std::u16string> mainName = utf8ToUtf16(mainText);
    if (!mainName) {
        throw BadInput("main program '" + mainRelative.string() + "': not valid UTF-8");
    }
    if (auto why = checkEntryName(*mainName)) {
        throw BadInput("main program '" + mainRelative.string() + "': " + *why);
    }

    // The main program or a folder it lies in.
    std::string mainPath = mainRelative.generic_string();
    for (std::size_t end = mainPath.find('/');; end = mainPath.find('/', end + 1)) {
        bool folder = end != std::string::npos;
        if (const ExcludeGlob *glob = findExclusion(exclusions, mainPath.substr(0, end), folder)) {
            throw BadInput("main program '" + mainRelative.string() +
                           "' is left out by --exclude '" + glob->pattern() + "'");
        }
        if (!folder) {
            break;
        }
    }

    WalkReport ownReport;
    Walker walker{exclusions, report ? *report : ownReport, {}};
    walker.walk(appDir, u"", "");
    std::vector<PayloadFile> &files = walker.files;
    auto main = findMainProgram(files, *mainName);
    if (main == files.end()) {
        throw BadInput("main program '" + mainRelative.string() + "' is not a file in '" +
                       appDir.string() + "'" + candidatePrograms(files));
    }
    std::rotate(files.begin(), main, main + 1);
    checkCaseClashes(files);
    return files;
}

std::uint64_t recordStreamBytes(const std::vector<PayloadFile> &files) {
    std::uint64_t bytes = RECORD_END_MARKER_BYTES;
    for (const PayloadFile &file : files) {
        bytes += recordBytes(file);
    }
    return bytes;
}

std::vector<PlannedFrame> planFrames(const std::vector<PayloadFile> &files,
                                     std::uint64_t frameTarget) {
    std::vector<PlannedFrame> frames(1);
    for (std::size_t k = 0; k < files.size(); ++k) {
        std::uint64_t bytes = recordBytes(files[k]);
        if (frames.back().streamBytes > 0 && frames.back().streamBytes + bytes > frameTarget) {
            frames.push_back({k, 0});
        }
        frames.back().streamBytes += bytes;
    }
    frames.back().streamBytes += RECORD_END_MARKER_BYTES;
    return frames;
}

std::uint64_t applicationFrameTarget(const std::vector<PayloadFile> &files) {
    return std::clamp(recordStreamBytes(files) / FRAMES_PER_APPLICATION, PAYLOAD_FRAME_TARGET_BYTES,
                      WHOLE_FRAME_MAX_BYTES);
}

int frameWindowLog(const BlockOptions &options, std::uint64_t streamBytes) {
    const int levels =
        static_cast<int>(ZSTD_getCParams(options.level, ZSTD_CONTENTSIZE_UNKNOWN, 0).windowLog);
    if (options.wholeFrameWindows) {
        if (streamBytes > WHOLE_FRAME_MAX_BYTES) {
            return LARGE_FRAME_WINDOW_LOG;
        }
        int log = ZSTD_WINDOWLOG_MIN;
        while ((std::uint64_t{1} << log) < streamBytes) {
            ++log;
        }
        return log;
    }
    if (options.windowLog != 0) {
        return options.windowLog;
    }
    return std::min(levels, static_cast<int>(ATTACHED_DATA_MAX_WINDOW_LOG));
}

std::uint64_t frameBytesBound(const std::vector<PayloadFile> &files, std::uint64_t frameTarget) {
    std::uint64_t bound = 0;
    for (const PlannedFrame &frame : planFrames(files, frameTarget)) {
        bound += ZSTD_compressBound(static_cast<std::size_t>(frame.streamBytes));
    }
    return bound;
}

std::uint64_t payloadIndexBytes(const std::vector<PayloadFile> &files, std::uint64_t frameTarget,
                                bool branchFilter) {
    std::uint64_t bytes = PAYLOAD_INDEX_HEADER_SIZE +
                          PAYLOAD_INDEX_FRAME_SIZE * planFrames(files, frameTarget).size();
    if (branchFilter) {
        bytes += INDEX_FILTER_HEAD_SIZE + std::uint64_t{PAYLOAD_INDEX_FILTER_SIZE} * files.size();
    }
    for (const PayloadFile &file : files) {
        bytes += PAYLOAD_INDEX_ENTRY_SIZE + 2 * file.name.size();
    }
    return bytes;
}

namespace {

// A file's content on its way into the frame, through the branch filter
// when it has a range.
class ContentFeed {
  public:
    ContentFeed(FrameWriter &frame, const std::optional<BranchFilterRange> &range)
        : frame_(frame), filtering_(range.has_value()) {
        if (filtering_) {
            startBranchFilter(&stream_, *range, true);
            filtered_.resize(BLOCK_IO_PIECE + BRANCH_INSTRUCTION_SIZE);
        }
    }
    void feed(const unsigned char *data, std::size_t size) {
        if (!filtering_) {
            frame_.feed(data, size);
            return;
        }
        while (size > 0) {
            std::size_t used = 0;
            std::size_t done =
                filterBranchPiece(&stream_, data, size, filtered_.data(), filtered_.size(), &used);
            frame_.feed(filtered_.data(), done);
            data += used;
            size -= used;
        }
    }
    void finish() {
        if (filtering_) {
            frame_.feed(filtered_.data(), finishBranchFilter(&stream_, filtered_.data()));
        }
    }

  private:
    FrameWriter &frame_;
    bool filtering_;
    BranchFilterStream stream_{};
    std::vector<unsigned char> filtered_;
};

// Feeds `file`'s record: its CRC-32 first, from a pass of its own, since it
// precedes the content.
void writeRecord(const PayloadFile &file, FrameWriter &frame, std::vector<unsigned char> &buffer,
                 std::vector<std::uint64_t> &recordStarts, BlockSummary &summary,
                 const ProgressFn &progress, bool branchFilter) {
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    {
        FilePointer stream = openForReading(file);
        readPieces(stream.get(), file, buffer, [&](const unsigned char *data, std::size_t n) {
            crc = continueCrc32(crc, data, n);
            size += n;
        });
    }

    // The frame's declared size counts on the size the walk found.
    if (size != file.size) {
        throw BadInput("'" + file.source.string() + "' changed while it was packed");
    }
    recordStarts.push_back(frame.streamBytes());
    std::string header;
    appendWide(header, file.name);
    appendLittleEndian(header, size, RECORD_SIZE_BYTES);
    appendLittleEndian(header, storedCrc(crc), RECORD_CRC_BYTES);
    frame.feed(header.data(), header.size());
    summary.records.push_back({file.name, size, storedCrc(crc)});
    std::optional<BranchFilterRange> range;
    if (branchFilter && (range = chooseBranchFilter(file.source, size))) {
        summary.filters.push_back(
            {static_cast<std::uint32_t>(summary.records.size() - 1), range->start, range->end});
    }
    ContentFeed content(frame, range);

    std::uint32_t again = 0;
    std::uint64_t fed = 0;
    FilePointer stream = openForReading(file);
    readPieces(stream.get(), file, buffer, [&](const unsigned char *data, std::size_t n) {
        if (fed + n > size) {
            throw BadInput("'" + file.source.string() + "' changed while it was packed");
        }
        again = continueCrc32(again, data, n);
        content.feed(data, n);
        fed += n;
        if (progress) {
            progress(frame.progress(recordStarts));
        }
    });
    if (fed != size || again != crc) {
        throw BadInput("'" + file.source.string() + "' changed while it was packed");
    }
    content.finish();
    ++summary.files;
    summary.contentBytes += size;
}

} // namespace

BlockSummary writeAttachedData(const std::vector<PayloadFile> &files, std::ostream &out,
                               const BlockOptions &options, const ProgressFn &progress) {
    for (const PayloadFile &file : files) {
        if (auto why = checkEntryName(file.name)) {
            throw BadInput("'" + file.source.string() + "': " + *why);
        }
    }
    out.write(reinterpret_cast<const char *>(ATTACHED_DATA_MAGIC), ATTACHED_DATA_MAGIC_SIZE);
    if (!out) {
        throw PackFailure("cannot write the block");
    }
    FrameWriter frame(out, options);
    BlockSummary summary;
    std::vector<unsigned char> buffer(BLOCK_IO_PIECE);
    std::vector<std::uint64_t> recordStarts;
    const std::vector<PlannedFrame> plan = planFrames(files, options.frameTarget);
    summary.frames.push_back({ATTACHED_DATA_MAGIC_SIZE, 0});
    frame.beginFrame(plan.front().streamBytes);
    for (std::size_t k = 0, nextFrame = 1; k < files.size(); ++k) {
        if (nextFrame < plan.size() && plan[nextFrame].firstRecord == k) {
            frame.endFrame();
            summary.frames.push_back(
                {ATTACHED_DATA_MAGIC_SIZE + frame.frameBytes(), static_cast<std::uint32_t>(k)});
            frame.beginFrame(plan[nextFrame].streamBytes);
            ++nextFrame;
        }
        writeRecord(files[k], frame, buffer, recordStarts, summary, progress, options.branchFilter);
    }
    const unsigned char endMarker[RECORD_END_MARKER_BYTES] = {};
    frame.feed(endMarker, sizeof endMarker);
    frame.endFrame();

    std::uint64_t offset = ATTACHED_DATA_MAGIC_SIZE + frame.frameBytes();
    std::string tail((ATTACHED_DATA_TRAILER_ALIGNMENT - offset % ATTACHED_DATA_TRAILER_ALIGNMENT) %
                         ATTACHED_DATA_TRAILER_ALIGNMENT,
                     '\0');
    appendLittleEndian(tail, offset + tail.size(), ATTACHED_DATA_TRAILER_SIZE);
    out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
    out.flush();
    if (!out) {
        throw PackFailure("cannot write the block");
    }
    summary.streamBytes = frame.streamBytes();
    summary.frameBytes = frame.frameBytes();
    summary.blockBytes = offset + tail.size();
    if (progress) {
        progress({summary.files, summary.streamBytes, summary.frameBytes});
    }
    return summary;
}

namespace {

// The layout's rules for the frame table of `recordCount` records.
void checkFrameTable(const std::vector<FrameStart> &frames, std::size_t recordCount) {
    if (recordCount == 0 || frames.empty() ||
        !(frames.front() == FrameStart{ATTACHED_DATA_MAGIC_SIZE, 0})) {
        throw PackFailure("the index needs a record and a first frame right after the magic");
    }
    for (std::size_t j = 1; j < frames.size(); ++j) {
        if (frames[j].offset <= frames[j - 1].offset ||
            frames[j].firstRecord <= frames[j - 1].firstRecord) {
            throw PackFailure("the index's frames do not follow each other");
        }
    }
    if (frames.back().firstRecord >= recordCount) {
        throw PackFailure("the index's last frame holds no record");
    }
}

// The layout's rules for the filter table of `records`.
void checkFilterTable(const std::vector<FilteredRecord> &filters,
                      const std::vector<RecordHeader> &records) {
    for (std::size_t j = 0; j < filters.size(); ++j) {
        const FilteredRecord &filter = filters[j];
        if (filter.record >= records.size() || (j > 0 && filter.record <= filters[j - 1].record) ||
            filter.end < filter.start + BRANCH_INSTRUCTION_SIZE ||
            filter.end > records[filter.record].size) {
            throw PackFailure("the index's filter table breaks the layout's rules");
        }
    }
}

unsigned char *writeFilterTable(unsigned char *at, const std::vector<FilteredRecord> &filters) {
    writeLe32(at + INDEX_FILTER_COUNT_AT, filters.size());
    at += INDEX_FILTER_HEAD_SIZE;
    for (const FilteredRecord &filter : filters) {
        writeLe32(at + INDEX_FILTER_ENTRY_AT, filter.record);
        writeLe64(at + INDEX_FILTER_START_AT, filter.start);
        writeLe64(at + INDEX_FILTER_END_AT, filter.end);
        at += PAYLOAD_INDEX_FILTER_SIZE;
    }
    return at;
}

} // namespace

std::string encodePayloadIndex(const std::vector<RecordHeader> &records,
                               const std::vector<FrameStart> &frames,
                               const std::vector<FilteredRecord> &filters) {
    checkFrameTable(frames, records.size());
    checkFilterTable(filters, records);
    const bool filtered = !filters.empty();
    const std::uint64_t framesStart =
        PAYLOAD_INDEX_HEADER_SIZE + std::uint64_t{PAYLOAD_INDEX_ENTRY_SIZE} * records.size();
    const std::uint64_t namesStart =
        framesStart + std::uint64_t{PAYLOAD_INDEX_FRAME_SIZE} * frames.size() +
        (filtered
             ? INDEX_FILTER_HEAD_SIZE + std::uint64_t{PAYLOAD_INDEX_FILTER_SIZE} * filters.size()
             : 0);
    std::string head(namesStart, '\0'), names;
    auto *entry = reinterpret_cast<unsigned char *>(head.data()) + PAYLOAD_INDEX_HEADER_SIZE;
    for (const RecordHeader &record : records) {
        if (auto why = checkEntryName(record.name)) {
            throw BadInput("the index cannot hold " + quoted(record.name) + ": " + *why);
        }
        writeLe64(entry + INDEX_ENTRY_FILE_SIZE_AT, record.size);
        writeLe32(entry + INDEX_ENTRY_CRC_AT, record.crc);
        writeLe32(entry + INDEX_ENTRY_NAME_OFFSET_AT, namesStart + names.size());
        writeLe32(entry + INDEX_ENTRY_NAME_LENGTH_AT, record.name.size());
        entry += PAYLOAD_INDEX_ENTRY_SIZE;
        for (char16_t unit : record.name) {
            appendLittleEndian(names, unit, 2);
        }
    }
    for (const FrameStart &frame : frames) {
        writeLe64(entry + INDEX_FRAME_OFFSET_AT, frame.offset);
        writeLe32(entry + INDEX_FRAME_FIRST_RECORD_AT, frame.firstRecord);
        entry += PAYLOAD_INDEX_FRAME_SIZE;
    }
    if (filtered) {
        writeFilterTable(entry, filters);
    }
    if (namesStart + names.size() > UINT32_MAX) {
        throw BadInput("the index of " + std::to_string(records.size()) +
                       " files does not fit in 4 GiB");
    }
    std::string index = head + names;
    auto *bytes = reinterpret_cast<unsigned char *>(index.data());
    std::memcpy(bytes, filtered ? PAYLOAD_INDEX_FILTERED_MAGIC : PAYLOAD_INDEX_MAGIC,
                sizeof PAYLOAD_INDEX_MAGIC);
    writeLe32(bytes + PAYLOAD_INDEX_COUNT_AT, records.size());
    writeLe32(bytes + PAYLOAD_INDEX_FRAME_COUNT_AT, frames.size());
    writeLe32(bytes + PAYLOAD_INDEX_CRC_AT, computeCrc32(bytes + PAYLOAD_INDEX_HEADER_SIZE,
                                                         index.size() - PAYLOAD_INDEX_HEADER_SIZE));
    return index;
}

} // namespace tallix
