// tallix-pack inspect: lists, verifies or unpacks the payload of a built
// launcher without running it.
#include "format/attached_data.h"
#include "format/constants_section.h"
#include "format/crc32.h"
#include "format/entry_name.h"
#include "format/payload_index.h"
#include "packer/block/block_reader.h"
#include "packer/commands/command_line.h"
#include "packer/commands/commands.h"
#include "packer/image/launcher_info.h"
#include "packer/image/pe_image.h"
#include "packer/support/pack_errors.h"
#include "packer/support/text_encoding.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace tallix {
namespace {

const char INSPECT_DESCRIPTION[] =
    "Lists the files packed into a launcher (name, size, CRC-32), the totals,\n"
    "the compression ratio and the launcher's build constants and version\n"
    "strings, without running it. A launcher the Windows loader or the launcher\n"
    "itself would refuse (its sections cut short or out of order, its constants\n"
    "failing their checksum) is reported as damaged. A bare block, as\n"
    "tallix-pack block writes it, is read as well.\n";

const char INSPECT_EPILOGUE[] =
    "Exit status: 0 all well, 1 a CRC-32 mismatch, damaged data or a write\n"
    "failure, 2 bad arguments or a file that is not a launcher.\n";

struct InspectOptions {
    fs::path launcher;
    bool verify = false;
    std::optional<fs::path> extractDir;
};

CommandSpec inspectCommand(InspectOptions &options) {
    return {"inspect",
            "LAUNCHER.exe",
            "LAUNCHER.exe [--verify] [--extract DIR]",
            INSPECT_DESCRIPTION,
            {
                flagOption("--verify", "decode everything and check every file's CRC-32",
                           options.verify),
                pathOption("--extract", "DIR", "",
                           "unpack the files into DIR (created if missing); every CRC-32 is "
                           "checked as well",
                           options.extractDir),
            },
            INSPECT_EPILOGUE};
}

// Where `name` is written below `root`, or nullopt with `why` set: the
// launcher's containment rule (format/entry_name.h), and what the host
// cannot take as a file name.
std::optional<fs::path> extractionPath(const fs::path &root, const std::u16string &name,
                                       std::string &why) {
    if (!isContainedEntryName(reinterpret_cast<const WideUnit *>(name.c_str()))) {
        why = "the launcher refuses it: it could leave the directory (an empty component, one "
              "of dots and spaces only, '/' or ':')";
        return std::nullopt;
    }
    if (!isWellFormedUtf16(name)) {
        why = "it is not valid UTF-16";
        return std::nullopt;
    }
    if (std::any_of(name.begin(), name.end(), [](char16_t unit) { return unit < 0x20; })) {
        why = "it contains a control character";
        return std::nullopt;
    }
    fs::path result = root;
    for (std::size_t start = 0, end = 0; end != std::u16string::npos; start = end + 1) {
        end = name.find(u'\\', start);
        result /= fs::path(utf16ToUtf8(name.substr(start, end - start)));
    }
    return result;
}

// Refuses to write through a symbolic link that already sits inside `root`:
// the names are checked, but the directory may hold links from elsewhere.
bool crossesLink(const fs::path &root, const fs::path &target) {
    fs::path walk = root;
    for (const fs::path &part : target.lexically_relative(root)) {
        walk /= part;
        std::error_code ec;
        if (fs::is_symlink(fs::symlink_status(walk, ec))) {
            return true;
        }
    }
    return false;
}

// Runs `step`, which reads the attached data, naming the launcher in what
// it throws.
template <typename Step> auto readingAttachedData(const std::string &shown, Step &&step) {
    try {
        return step();
    } catch (const DamagedBlockError &damage) {
        throw PackFailure(shown + ": the attached data is damaged: " + damage.what());
    } catch (const BlockReadError &failure) {
        throw PackFailure(shown + ": " + failure.what());
    }
}

// The file to inspect and where its attached data lies: through the
// launcher's section table and constants, or at the start of a bare block
// file, which has no launcher information.
struct OpenedLauncher {
    std::ifstream in;
    std::optional<LauncherInfo> info;
    BlockLocation where;
};

OpenedLauncher openLauncher(const fs::path &launcher, const std::string &shown) {
    std::error_code ec;
    if (fs::is_directory(launcher, ec)) {
        throw BadInput(shown + ": is a directory");
    }
    OpenedLauncher opened;
    opened.in.open(launcher, std::ios::binary);
    if (!opened.in) {
        throw BadInput(shown + ": cannot open: " + std::strerror(errno));
    }
    std::uint64_t offset = 0;
    std::uint64_t size = fs::file_size(launcher, ec);
    if (!startsWithAttachedData(opened.in)) {
        opened.info = readLauncherInfo(opened.in, shown);
        offset = opened.info->attachedDataOffset;
        size = opened.info->attachedDataBytes;
    }
    opened.where =
        readingAttachedData(shown, [&] { return checkAttachedData(opened.in, offset, size); });
    return opened;
}

void printField(const char *label, const std::string &value) {
    if (!value.empty()) {
        std::printf("%-18s%s\n", label, value.c_str());
    }
}

// Each line indented below a label; nothing without lines.
void printIndented(const char *label, const std::vector<std::string> &lines) {
    if (!lines.empty()) {
        std::printf("%s\n", label);
    }
    for (const std::string &line : lines) {
        std::printf("  %s\n", line.c_str());
    }
}

std::vector<std::string> splitLines(const std::string &text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string launchOptionNames(std::uint32_t options) {
    std::string names;
    for (const auto &[bit, option] :
         {std::pair{LAUNCH_CLEAN_OLD_VERSIONS, "--clean-old-versions"},
          std::pair{LAUNCH_KILL_CHILD_WITH_LAUNCHER, "--kill-child-with-launcher"},
          std::pair{LAUNCH_NO_PROGRESS_WINDOW, "--no-progress-window"},
          std::pair{LAUNCH_QUICK_CHECK, "--check quick"}}) {
        if (options & bit) {
            names += (names.empty() ? "" : " ") + std::string(option);
            options &= ~static_cast<std::uint32_t>(bit);
        }
    }
    if (options != 0) {
        char unknown[32];
        std::snprintf(unknown, sizeof unknown, "%s0x%" PRIX32, names.empty() ? "" : " ", options);
        names += unknown;
    }
    return names;
}

void printConstants(const LauncherInfo &info) {
    if (info.indexBytes == 0) {
        std::printf("%-18snone\n", "Payload index:");
    } else {
        std::printf("%-18sat offset %" PRIu64 ", %" PRIu64 " bytes\n",
                    "Payload index:", info.indexOffset, info.indexBytes);
    }
    printField("Template:", info.directoryTemplate);
    printField("Company:", info.company);
    printField("Product:", info.product);
    printField("Version:", info.version);
    printField("File version:", info.fileVersion);
    printField("Product version:", info.productVersion);
    // Quoted: an argument may be empty or hold spaces.
    std::vector<std::string> arguments;
    for (const std::string &argument : info.leadingArguments) {
        arguments.push_back('"' + argument + '"');
    }
    printIndented("Leading arguments:", arguments);
    printField("Launch options:", launchOptionNames(info.launchOptions));
}

// Whether the launcher would show its window on a long first start, and
// what it would show in it.
void printProgressWindow(const LauncherInfo &info) {
    const char *window = info.subsystem != pe::SUBSYSTEM_WINDOWS_GUI ? "off (console launcher)"
                         : (info.launchOptions & LAUNCH_NO_PROGRESS_WINDOW) != 0
                             ? "off (--no-progress-window)"
                             : "on";
    std::printf("%-18s%s\n", "Progress window:", window);
    if (info.splashBytes == 0) {
        std::printf("%-18snone\n", "Splash:");
    } else if (info.splashWidth == 0) {
        std::printf("%-18s%" PRIu64 " bytes, damaged: the launcher shows its default layout\n",
                    "Splash:", info.splashBytes);
    } else {
        std::printf("%-18s%" PRIu32 " x %" PRIu32 " px, %" PRIu64 " bytes\n",
                    "Splash:", info.splashWidth, info.splashHeight, info.splashBytes);
    }
}

void printResources(const LauncherInfo &info) {
    std::vector<std::string> version;
    for (const auto &[key, value] : info.versionResource) {
        version.push_back(key + std::string(key.size() < 18 ? 18 - key.size() : 0, ' ') + value);
    }
    printIndented("Version resource:", version);
    const char *subsystem = info.subsystem == pe::SUBSYSTEM_WINDOWS_GUI       ? "GUI"
                            : info.subsystem == pe::SUBSYSTEM_WINDOWS_CONSOLE ? "console"
                                                                              : "other";
    std::printf("%-18s%s (%u)\n", "Subsystem:", subsystem, static_cast<unsigned>(info.subsystem));
    printProgressWindow(info);
    std::printf("%-18s%s\n", "Signed:",
                info.signature ? "yes (an Authenticode certificate table is present)" : "no");
    std::string sizes;
    for (int size : info.iconSizes) {
        sizes += (sizes.empty() ? "" : ", ") + std::to_string(size);
    }
    printField("Icon sizes:", sizes.empty() ? "" : sizes + " px");
    printIndented("Manifest:", splitLines(info.manifest));
}

void printLauncher(const std::string &shown, const OpenedLauncher &opened) {
    const BlockLocation &where = opened.where;
    std::printf("%-18s%s\n", "Launcher:", shown.c_str());
    std::printf("%-18sat offset %" PRIu64 ", %" PRIu64 " bytes (%zu frame%s, %" PRIu64
                " bytes, window %" PRIu64 " KiB)\n",
                "Attached data:", where.offset, where.blockBytes, where.frameStarts.size(),
                where.frameStarts.size() == 1 ? "" : "s", where.frameBytes,
                where.windowSize / 1024);
    if (opened.info) {
        printConstants(*opened.info);
        printResources(*opened.info);
    }
}

struct Totals {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    std::uint64_t mismatches = 0;
    std::uint64_t refused = 0;
    std::uint64_t trailingBytes = 0; // decoded after the end marker
};

// Opens the file record `entry` is extracted to, or prints why it is not
// and counts a refusal; nullopt then.
std::optional<fs::path> openTarget(const fs::path &root, const EntryHeader &entry,
                                   const std::string &name, std::ofstream &out, Totals &totals) {
    std::string why;
    std::optional<fs::path> target = extractionPath(root, entry.name, why);
    if (target && crossesLink(root, *target)) {
        target.reset();
        why = "its path runs through a symbolic link";
    }
    if (!target) {
        std::fprintf(stderr, "tallix-pack inspect: refusing to extract '%s': %s\n", name.c_str(),
                     why.c_str());
        ++totals.refused;
        return std::nullopt;
    }
    std::error_code ec;
    fs::create_directories(target->parent_path(), ec);
    out.open(*target, std::ios::binary | std::ios::trunc);
    if (!out) {
        throw PackFailure(target->string() + ": cannot write: " + std::strerror(errno));
    }
    return target;
}

// Lists the record just read; checks its name against the launcher's rule
// with --verify; with --verify or --extract decodes its content, checks its
// CRC-32 and writes it out.
void inspectRecord(RecordReader &reader, const EntryHeader &entry, const InspectOptions &options,
                   const std::string &shown, const BranchFilterRange *filter, Totals &totals) {
    const std::string name = utf16ToUtf8(entry.name);
    std::printf("%14" PRIu64 "  %08" PRIx32 "  %s\n", entry.size, entry.crc, name.c_str());
    ++totals.files;
    totals.bytes += entry.size;
    if (options.verify &&
        !isContainedEntryName(reinterpret_cast<const WideUnit *>(entry.name.c_str()))) {
        std::fprintf(stderr,
                     "tallix-pack inspect: %s: the attached data is damaged: the record "
                     "name '%s' could leave the target directory\n",
                     shown.c_str(), name.c_str());
        ++totals.refused;
    }
    std::ofstream out;
    std::optional<fs::path> target;
    if (options.extractDir) {
        target = openTarget(*options.extractDir, entry, name, out, totals);
    }
    if (!options.verify && !options.extractDir) {
        return;
    }
    std::uint32_t crc = 0;
    reader.readContent(
        [&](const unsigned char *data, std::size_t length) {
            crc = continueCrc32(crc, data, length);
            if (out.is_open()) {
                out.write(reinterpret_cast<const char *>(data),
                          static_cast<std::streamsize>(length));
            }
        },
        filter);
    if (out.is_open()) {
        out.close();
        if (!out) {
            throw PackFailure(target->string() + ": write failed");
        }
    }
    if (entry.crc != storedCrc(crc)) {
        std::fprintf(stderr,
                     "tallix-pack inspect: CRC-32 mismatch in '%s': stored %08" PRIx32
                     ", content gives %08" PRIx32 "\n",
                     name.c_str(), entry.crc, storedCrc(crc));
        ++totals.mismatches;
    }
}

// The launcher's payload index, read whole: where its files went through
// the branch filter. A launcher without a whole index has none.
struct IndexFilters {
    std::vector<unsigned char> bytes;
    PayloadIndex index{nullptr, 0, 0, nullptr, 0};
};

void readIndexFilters(OpenedLauncher &opened, IndexFilters &filters) {
    if (!opened.info || opened.info->indexBytes == 0) {
        return;
    }
    filters.bytes.resize(static_cast<std::size_t>(opened.info->indexBytes));
    opened.in.clear();
    opened.in.seekg(static_cast<std::streamoff>(opened.info->indexOffset));
    opened.in.read(reinterpret_cast<char *>(filters.bytes.data()),
                   static_cast<std::streamsize>(filters.bytes.size()));
    if (!opened.in ||
        !openPayloadIndex(filters.bytes.data(), filters.bytes.size(), &filters.index)) {
        filters.index = PayloadIndex{nullptr, 0, 0, nullptr, 0};
    }
    opened.in.clear();
}

Totals inspectRecords(std::istream &in, const BlockLocation &where, const InspectOptions &options,
                      const std::string &shown, const IndexFilters &filters) {
    std::printf("\n%14s  %-8s  %s\n", "Size", "CRC-32", "Name");
    if (options.extractDir) {
        std::error_code ec;
        fs::create_directories(*options.extractDir, ec);
        if (ec || !fs::is_directory(*options.extractDir)) {
            throw PackFailure(options.extractDir->string() +
                              ": cannot create the directory: " + ec.message());
        }
    }
    Totals totals;
    readingAttachedData(shown, [&] {
        RecordReader reader(in, where);
        for (std::size_t k = 0; std::optional<EntryHeader> entry = reader.next(); ++k) {
            BranchFilterRange range{};
            bool filtered = findBranchFilter(filters.index, k, &range);
            inspectRecord(reader, *entry, options, shown, filtered ? &range : nullptr, totals);
        }
        if (options.verify || options.extractDir) {
            totals.trailingBytes = reader.bytesAfterEndMarker();
        }
    });
    return totals;
}

int summarize(const Totals &totals, const BlockLocation &where, const InspectOptions &options,
              const std::string &shown) {
    double frame = static_cast<double>(where.frameBytes);
    double content = static_cast<double>(totals.bytes);
    char share[32];
    std::snprintf(share, sizeof share, "%.1f %%", totals.bytes > 0 ? 100.0 * frame / content : 0.0);
    std::printf("\n%" PRIu64 " files, %" PRIu64 " bytes; compressed %" PRIu64
                " bytes (ratio %.2f, %s of the original)\n",
                totals.files, totals.bytes, where.frameBytes,
                where.frameBytes > 0 ? content / frame : 0.0, share);
    if (totals.trailingBytes > 0) {
        std::fprintf(stderr,
                     "tallix-pack inspect: %s: %" PRIu64 " decoded bytes follow the end marker\n",
                     shown.c_str(), totals.trailingBytes);
    }
    if (totals.mismatches > 0) {
        std::fprintf(stderr,
                     "tallix-pack inspect: %s: %" PRIu64 " of %" PRIu64
                     " files fail their CRC-32 check\n",
                     shown.c_str(), totals.mismatches, totals.files);
    }
    if (totals.mismatches > 0 || totals.refused > 0 || totals.trailingBytes > 0) {
        return STATUS_FAILURE;
    }
    if (options.extractDir) {
        std::printf("Extracted %" PRIu64 " files into %s\n", totals.files,
                    options.extractDir->string().c_str());
    } else if (options.verify) {
        std::printf("Verified: every CRC-32 matches\n");
    }
    return STATUS_SUCCESS;
}

int inspect(const InspectOptions &options) {
    const std::string shown = options.launcher.string();
    OpenedLauncher opened = openLauncher(options.launcher, shown);
    printLauncher(shown, opened);
    IndexFilters filters;
    readIndexFilters(opened, filters);
    Totals totals = inspectRecords(opened.in, opened.where, options, shown, filters);
    return summarize(totals, opened.where, options, shown);
}

} // namespace

int runInspectCommand(const Arguments &args) {
    InspectOptions options;
    return runCommand(inspectCommand(options), args, [&](const std::string &launcher) {
        options.launcher = launcher;
        return inspect(options);
    });
}

} // namespace tallix
