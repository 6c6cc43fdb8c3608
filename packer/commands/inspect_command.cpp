// tallix-pack inspect: lists, verifies or unpacks the payload of a built
// launcher without running it.
#include "format/attached_data.h"
#include "format/constants_section.h"
#include "format/crc/crc32.h"
#include "format/entry_name.h"
#include "format/index/payload_index.h"
#include "packer/block/block_reader.h"
#include "packer/commands/command_line.h"
#include "packer/commands/commands.h"
#include "packer/commands/pack/output_path_check.h"
#include "packer/commands/pack/template_check.h"
#include "packer/image/launcher_info.h"
#include "packer/image/pe_image.h"
#include "packer/support/pack_errors.h"
#include "packer/support/text/text_encoding.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace tallix {
namespace {

const char INSPECT_DESCRIPTION[] =
    "Lists the files packed into a launcher (name, size, CRC-32), the totals,\n"
    "the compression ratio, the launcher's build constants and version strings,\n"
    "the program it starts, where it unpacks for a sample user and the\n"
    "tallix-pack that wrote it, without running it. A launcher the Windows\n"
    "loader or the launcher itself would refuse (its sections cut short or out\n"
    "of order, its constants failing their checksum) is reported as damaged. A\n"
    "bare block, as tallix-pack block writes it, is read as well.\n";

const char INSPECT_EPILOGUE[] =
    "Exit status: 0 all well, 1 a CRC-32 mismatch, damaged data or a write\n"
    "failure, 2 bad arguments or a file that is not a launcher.\n";

struct InspectOptions {
    fs::path launcher;
    bool verify = false;
    bool json = false;
    std::optional<fs::path> extractDir;
};

CommandSpec inspectCommand(InspectOptions &options) {
    return {"inspect",
            "LAUNCHER.exe",
            "LAUNCHER.exe [--verify] [--extract DIR] [--json]",
            INSPECT_DESCRIPTION,
            {
                flagOption("--verify", "decode everything and check every file's CRC-32",
                           options.verify),
                pathOption("--extract", "DIR", "",
                           "unpack the files into DIR (created if missing); every CRC-32 is "
                           "checked as well",
                           options.extractDir),
                flagOption("--json",
                           "print the same facts and the file list as one JSON object; what "
                           "--verify and --extract find still goes to standard error",
                           options.json),
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
    fs::file_status status = fs::status(launcher, ec);
    if (fs::is_directory(status)) {
        throw BadInput(shown + ": is a directory");
    }
    // A FIFO would wait for a writer, a device never end.
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        throw BadInput(shown + ": is " + fileKind(status) + ", not a launcher file");
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

std::vector<std::string> launchOptionNames(std::uint32_t options) {
    std::vector<std::string> names;
    for (const auto &[bit, option] :
         {std::pair{LAUNCH_CLEAN_OLD_VERSIONS, "--clean-old-versions"},
          std::pair{LAUNCH_KILL_CHILD_WITH_LAUNCHER, "--kill-child-with-launcher"},
          std::pair{LAUNCH_NO_PROGRESS_WINDOW, "--no-progress-window"},
          std::pair{LAUNCH_QUICK_CHECK, "--check quick"}}) {
        if (options & bit) {
            names.push_back(option);
            options &= ~static_cast<std::uint32_t>(bit);
        }
    }
    if (options != 0) {
        char unknown[32];
        std::snprintf(unknown, sizeof unknown, "0x%" PRIX32, options);
        names.push_back(unknown);
    }
    return names;
}

std::string joined(const std::vector<std::string> &items, const char *separator) {
    std::string text;
    for (const std::string &item : items) {
        text += (text.empty() ? "" : separator) + item;
    }
    return text;
}

// What inspect derives from the launcher beyond its stored values.
struct Facts {
    std::string mainProgram;  // the first record's name
    std::string sampleFolder; // the template expanded for SAMPLE_MACHINE; empty if invalid
    std::string check;        // "quick" or "content"
    std::string packedBy;     // empty: the launcher does not say
    std::string executionLevel;
};

// The value of `attribute` in the first `element` of `xml`, or "": the
// attribute may stand on its own line, with white space around its '='.
std::string attributeOf(const std::string &xml, const std::string &element,
                        const std::string &attribute) {
    std::size_t at = xml.find("<" + element);
    std::size_t end = xml.find('>', at);
    if (at == std::string::npos || end == std::string::npos) {
        return "";
    }
    std::smatch found;
    const std::string tag = xml.substr(at, end - at);
    if (!std::regex_search(tag, found,
                           std::regex("\\s" + attribute + "\\s*=\\s*(\"([^\"]*)\"|'([^']*)')"))) {
        return "";
    }
    return found[2].matched ? found[2].str() : found[3].str();
}

Facts factsOf(const std::string &shown, const std::optional<LauncherInfo> &info,
              std::string mainProgram) {
    Facts facts;
    facts.mainProgram = std::move(mainProgram);
    if (!info) {
        return facts;
    }
    BuildConstants constants;
    for (const auto &[text, field] :
         {std::pair{&info->directoryTemplate, &constants.directoryTemplate},
          std::pair{&info->company, &constants.company},
          std::pair{&info->product, &constants.product},
          std::pair{&info->version, &constants.version},
          std::pair{&info->fileVersion, &constants.fileVersion},
          std::pair{&info->productVersion, &constants.productVersion}}) {
        *field = utf8ToUtf16(*text).value_or(u"");
    }
    if (!checkTemplate(constants.directoryTemplate).error) {
        std::u16string name = utf8ToUtf16(fs::path(shown).filename().string()).value_or(u"");
        facts.sampleFolder = utf16ToUtf8(estimateExpansion(constants, name, SAMPLE_MACHINE));
    }
    facts.check = (info->launchOptions & LAUNCH_QUICK_CHECK) != 0 ? "quick" : "content";
    for (const auto &[key, value] : info->versionResource) {
        if (key == "PackedBy") {
            facts.packedBy = value;
        }
    }
    facts.executionLevel = attributeOf(info->manifest, "requestedExecutionLevel", "level");
    return facts;
}

void printConstants(const LauncherInfo &info, const Facts &facts) {
    if (info.indexBytes == 0) {
        std::printf("%-18snone\n", "Payload index:");
    } else {
        std::printf("%-18sat offset %" PRIu64 ", %" PRIu64 " bytes\n",
                    "Payload index:", info.indexOffset, info.indexBytes);
    }
    printField("Template:", info.directoryTemplate);
    printField("Unpack folder:",
               facts.sampleFolder.empty() ? "" : facts.sampleFolder + " (for a sample user)");
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
    printField("Launch options:", joined(launchOptionNames(info.launchOptions), " "));
    printField("Check mode:",
               facts.check == "quick" ? "quick (--check quick)" : "content (the default)");
}

// Whether the launcher would show its window on a long first start, and
// what it would show in it.
const char *progressWindowState(const LauncherInfo &info) {
    return info.subsystem != pe::SUBSYSTEM_WINDOWS_GUI             ? "off (console launcher)"
           : (info.launchOptions & LAUNCH_NO_PROGRESS_WINDOW) != 0 ? "off (--no-progress-window)"
                                                                   : "on";
}

const char *subsystemName(const LauncherInfo &info) {
    return info.subsystem == pe::SUBSYSTEM_WINDOWS_GUI       ? "GUI"
           : info.subsystem == pe::SUBSYSTEM_WINDOWS_CONSOLE ? "console"
                                                             : "other";
}

void printProgressWindow(const LauncherInfo &info) {
    std::printf("%-18s%s\n", "Progress window:", progressWindowState(info));
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

void printResources(const LauncherInfo &info, const Facts &facts) {
    std::vector<std::string> version;
    for (const auto &[key, value] : info.versionResource) {
        version.push_back(key + std::string(key.size() < 18 ? 18 - key.size() : 0, ' ') + value);
    }
    printIndented("Version resource:", version);
    std::printf("%-18s%s (%u)\n", "Subsystem:", subsystemName(info),
                static_cast<unsigned>(info.subsystem));
    printProgressWindow(info);
    std::printf("%-18s%s\n", "Signed:",
                info.signature ? "yes (an Authenticode certificate table is present)" : "no");
    std::string sizes;
    for (int size : info.iconSizes) {
        sizes += (sizes.empty() ? "" : ", ") + std::to_string(size);
    }
    printField("Icon sizes:", sizes.empty() ? "" : sizes + " px");
    printField("Execution level:", facts.executionLevel.empty()
                                       ? "none asked (Windows starts it as the invoker)"
                                       : facts.executionLevel);
    printField("Packed by:",
               facts.packedBy.empty() ? "not recorded (an older tallix-pack)" : facts.packedBy);
    printIndented("Manifest:", splitLines(info.manifest));
}

void printLauncher(const std::string &shown, const OpenedLauncher &opened, const Facts &facts) {
    const BlockLocation &where = opened.where;
    std::printf("%-18s%s\n", "Launcher:", shown.c_str());
    std::printf("%-18sat offset %" PRIu64 ", %" PRIu64 " bytes (%zu frame%s, %" PRIu64
                " bytes, window %" PRIu64 " KiB)\n",
                "Attached data:", where.offset, where.blockBytes, where.frameStarts.size(),
                where.frameStarts.size() == 1 ? "" : "s", where.frameBytes,
                where.windowSize / 1024);
    printField("Main program:", facts.mainProgram);
    if (opened.info) {
        printConstants(*opened.info, facts);
        printResources(*opened.info, facts);
    }
}

struct Totals {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    std::uint64_t mismatches = 0;
    std::uint64_t refused = 0;
    std::uint64_t trailingBytes = 0;    // decoded after the end marker
    std::vector<std::string> jsonFiles; // with --json, each file's object
};

// `text` as a JSON string. Text that is not UTF-8 (a manifest in another
// encoding, a file name of the host) keeps each of its bytes as a Latin-1
// character, so that the output stays JSON.
std::string jsonText(const std::string &text) {
    const bool utf8 = utf8ToUtf16(text).has_value();
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20 ||
                   (!utf8 && static_cast<unsigned char>(c) >= 0x80)) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x",
                          static_cast<unsigned>(static_cast<unsigned char>(c)));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + '"';
}

std::string jsonTextOrNull(const std::string &text) {
    return text.empty() ? "null" : jsonText(text);
}

// One line for the whole array, or with `onLines` one line per item.
template <typename Items, typename Render>
std::string jsonArray(const Items &items, Render render, bool onLines = false) {
    std::string out = "[";
    for (const auto &item : items) {
        out += (out.size() > 1 ? (onLines ? "," : ", ") : "") +
               std::string(onLines ? "\n    " : "") + render(item);
    }
    return out + (onLines && out.size() > 1 ? "\n  ]" : "]");
}

using JsonFields = std::vector<std::pair<std::string, std::string>>;

// One line for the whole object, or with `onLines` one line per field.
std::string jsonObject(const JsonFields &fields, bool onLines = false) {
    std::string out = "{";
    for (const auto &[key, value] : fields) {
        out += (out.size() > 1 ? "," : "") + std::string(onLines ? "\n  " : " ") + jsonText(key) +
               ": " + value;
    }
    return out + (onLines ? "\n}" : " }");
}

// The launcher's payload index, when it has a whole one: a start holds each
// record to its entry (name, size, CRC-32) and each frame to the frame
// table, so --verify does too. One that fails its own check the launcher
// ignores, and so does --verify.
struct IndexCheck {
    std::vector<unsigned char> data;
    PayloadIndex index{};
    bool whole = false;
    std::size_t next = 0; // entries met so far
};

IndexCheck readIndexCheck(std::ifstream &in, const std::optional<LauncherInfo> &info) {
    IndexCheck check;
    if (!info || info->indexBytes == 0) {
        return check;
    }
    check.data.resize(static_cast<std::size_t>(info->indexBytes));
    in.clear();
    in.seekg(static_cast<std::streamoff>(info->indexOffset));
    in.read(reinterpret_cast<char *>(check.data.data()),
            static_cast<std::streamsize>(check.data.size()));
    check.whole = in.gcount() == static_cast<std::streamsize>(check.data.size()) &&
                  openPayloadIndex(check.data.data(), check.data.size(), &check.index);
    return check;
}

void refuseLayout(const std::string &shown, const std::string &why, Totals &totals) {
    std::fprintf(stderr, "tallix-pack inspect: %s: the attached data is damaged: %s\n",
                 shown.c_str(), why.c_str());
    ++totals.refused;
}

void checkRecordAgainstIndex(IndexCheck &check, const EntryHeader &entry, const std::string &name,
                             const std::string &shown, Totals &totals) {
    std::size_t k = check.next++;
    if (k >= check.index.count) {
        refuseLayout(shown, "record '" + name + "' is beyond the payload index's entries", totals);
    } else if (!recordMatchesIndexEntry(payloadIndexEntry(check.index, k), entry.name.c_str(),
                                        entry.size, entry.crc)) {
        refuseLayout(shown,
                     "record " + std::to_string(k) + " ('" + name +
                         "') is not the payload index's entry " + std::to_string(k) +
                         " (name, size or CRC-32)",
                     totals);
    }
}

// After the end marker: every entry met, and the frames where the table
// puts them, each beginning the record it names.
void checkIndexEnd(const IndexCheck &check, const BlockLocation &where,
                   const std::vector<std::size_t> &firstRecords, const std::string &shown,
                   Totals &totals) {
    if (check.next < check.index.count) {
        refuseLayout(shown, "the records end before the payload index's entries", totals);
    }
    bool same = where.frameStarts.size() == check.index.frameCount &&
                firstRecords.size() == check.index.frameCount;
    for (std::size_t j = 0; same && j < check.index.frameCount; ++j) {
        PayloadIndexFrame frame = payloadIndexFrame(check.index, j);
        same = frame.offset == where.frameStarts[j] && frame.firstRecord == firstRecords[j];
    }
    if (!same) {
        refuseLayout(shown, "its frames are not where the payload index's frame table puts them",
                     totals);
    }
}

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
                   IndexCheck &check, const std::string &shown, const BranchFilterRange *filter,
                   Totals &totals) {
    const std::string name = utf16ToUtf8(entry.name);
    if (options.json) {
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08" PRIx32, entry.crc);
        totals.jsonFiles.push_back(jsonObject({{"name", jsonText(name)},
                                               {"size", std::to_string(entry.size)},
                                               {"crc32", jsonText(crc)}}));
    } else {
        std::printf("%14" PRIu64 "  %08" PRIx32 "  %s\n", entry.size, entry.crc, name.c_str());
    }
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
    if (options.verify && check.whole) {
        checkRecordAgainstIndex(check, entry, name, shown, totals);
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

Totals inspectRecords(std::istream &in, const BlockLocation &where, const InspectOptions &options,
                      IndexCheck &check, const std::string &shown) {
    if (!options.json) {
        std::printf("\n%14s  %-8s  %s\n", "Size", "CRC-32", "Name");
    }
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
            bool filtered = check.whole && findBranchFilter(check.index, k, &range);
            inspectRecord(reader, *entry, options, check, shown, filtered ? &range : nullptr,
                          totals);
        }
        if (options.verify || options.extractDir) {
            totals.trailingBytes = reader.bytesAfterEndMarker();
        }
        if (options.verify && check.whole) {
            checkIndexEnd(check, where, reader.frameFirstRecords(), shown, totals);
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
    if (!options.json) {
        std::printf("\n%" PRIu64 " files, %" PRIu64 " bytes; compressed %" PRIu64
                    " bytes (ratio %.2f, %s of the original)\n",
                    totals.files, totals.bytes, where.frameBytes,
                    where.frameBytes > 0 ? content / frame : 0.0, share);
    }
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
    if (options.json) {
        // Standard output holds the JSON object alone.
    } else if (options.extractDir) {
        std::printf("Extracted %" PRIu64 " files into %s\n", totals.files,
                    options.extractDir->string().c_str());
    } else if (options.verify) {
        std::printf("Verified: every CRC-32 matches\n");
    }
    return STATUS_SUCCESS;
}

// The first record's name: the program the launcher starts. Empty when
// the block cannot be read; the listing then reports why.
std::string firstRecordName(std::istream &in, const BlockLocation &where) {
    try {
        RecordReader reader(in, where);
        std::optional<EntryHeader> entry = reader.next();
        return entry ? utf16ToUtf8(entry->name) : std::string();
    } catch (const DamagedBlockError &) {
    } catch (const BlockReadError &) {
    }
    return "";
}

JsonFields launcherJson(const LauncherInfo &info, const Facts &facts) {
    auto number = [](std::uint64_t value) { return std::to_string(value); };
    JsonFields version;
    for (const auto &[key, value] : info.versionResource) {
        version.emplace_back(key, jsonText(value));
    }
    return {
        {"payloadIndex", info.indexBytes == 0 ? "null"
                                              : jsonObject({{"offset", number(info.indexOffset)},
                                                            {"bytes", number(info.indexBytes)}})},
        {"template", jsonText(info.directoryTemplate)},
        {"unpackFolderSample", jsonTextOrNull(facts.sampleFolder)},
        {"company", jsonText(info.company)},
        {"product", jsonText(info.product)},
        {"version", jsonText(info.version)},
        {"fileVersion", jsonText(info.fileVersion)},
        {"productVersion", jsonText(info.productVersion)},
        {"leadingArguments", jsonArray(info.leadingArguments, jsonText)},
        {"launchOptions", jsonArray(launchOptionNames(info.launchOptions), jsonText)},
        {"checkMode", jsonText(facts.check)},
        {"versionResource", jsonObject(version)},
        {"subsystem", jsonText(subsystemName(info))},
        {"progressWindow", jsonText(progressWindowState(info))},
        {"splash", info.splashBytes == 0 ? "null"
                                         : jsonObject({{"bytes", number(info.splashBytes)},
                                                       {"width", number(info.splashWidth)},
                                                       {"height", number(info.splashHeight)}})},
        {"signed", info.signature ? "true" : "false"},
        {"iconSizes", jsonArray(info.iconSizes, [](int size) { return std::to_string(size); })},
        {"executionLevel", jsonTextOrNull(facts.executionLevel)},
        {"packedBy", jsonTextOrNull(facts.packedBy)},
        {"manifest", jsonText(info.manifest)},
    };
}

void printJson(const std::string &shown, const OpenedLauncher &opened, const Facts &facts,
               const Totals &totals) {
    auto number = [](std::uint64_t value) { return std::to_string(value); };
    const BlockLocation &where = opened.where;
    JsonFields fields = {
        {"launcher", jsonText(shown)},
        {"attachedData", jsonObject({{"offset", number(where.offset)},
                                     {"bytes", number(where.blockBytes)},
                                     {"frames", number(where.frameStarts.size())},
                                     {"frameBytes", number(where.frameBytes)},
                                     {"windowBytes", number(where.windowSize)}})},
        {"mainProgram", jsonTextOrNull(facts.mainProgram)},
    };
    if (opened.info) {
        JsonFields more = launcherJson(*opened.info, facts);
        fields.insert(fields.end(), more.begin(), more.end());
    }
    fields.emplace_back("files",
                        jsonArray(
                            totals.jsonFiles, [](const std::string &file) { return file; }, true));
    fields.emplace_back("totals", jsonObject({{"files", number(totals.files)},
                                              {"bytes", number(totals.bytes)},
                                              {"compressedBytes", number(where.frameBytes)}}));
    std::printf("%s\n", jsonObject(fields, true).c_str());
}

int inspect(const InspectOptions &options) {
    const std::string shown = options.launcher.string();
    std::error_code ec;
    if (options.extractDir && fs::exists(*options.extractDir, ec) &&
        !fs::is_directory(*options.extractDir, ec)) {
        throw BadInput("--extract " + options.extractDir->string() +
                       ": exists and is not a directory; name a new or an existing directory");
    }
    OpenedLauncher opened = openLauncher(options.launcher, shown);
    Facts facts = factsOf(shown, opened.info, firstRecordName(opened.in, opened.where));
    if (!options.json) {
        printLauncher(shown, opened, facts);
    }
    IndexCheck check = readIndexCheck(opened.in, opened.info);
    Totals totals = inspectRecords(opened.in, opened.where, options, check, shown);
    if (options.json) {
        printJson(shown, opened, facts, totals);
    }
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
