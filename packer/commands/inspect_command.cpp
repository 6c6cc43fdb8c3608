// tallix-pack inspect: lists, verifies or unpacks the payload of a built
// launcher without running it.
#include "format/crc32.h"
#include "format/entry_name.h"
#include "packer/block/block_reader.h"
#include "packer/commands/command_line.h"
#include "packer/commands/commands.h"
#include "packer/image/launcher_info.h"
#include "packer/support/text_encoding.h"

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

// The subsystem field's values for a windowed and a console program.
constexpr unsigned PE_SUBSYSTEM_GUI = 2;
constexpr unsigned PE_SUBSYSTEM_CONSOLE = 3;

const char INSPECT_DESCRIPTION[] =
    "Lists the files packed into a launcher (name, size, CRC-32), the totals,\n"
    "the compression ratio and the launcher's template and version strings,\n"
    "without running it.\n";

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

bool hasUnpairedSurrogate(const std::u16string &text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

// Where `name` would be written below `root`, or nullopt with `why` set when
// it could leave `root` or cannot be a file name there. The launcher joins
// names without any check; extraction here must not.
std::optional<fs::path> extractionPath(const fs::path &root, const std::u16string &name,
                                       std::string &why) {
    if (hasUnpairedSurrogate(name)) {
        why = "it is not valid UTF-16";
        return std::nullopt;
    }
    fs::path result = root;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = name.find(u'\\', start);
        std::u16string part = name.substr(start, end == std::u16string::npos ? end : end - start);
        if (part.empty()) {
            why = "it has an empty component (a leading, doubled or trailing '\\')";
            return std::nullopt;
        }
        if (part == u"." || part == u"..") {
            why = "it has a '.' or '..' component";
            return std::nullopt;
        }
        if (part.find_first_of(u"/:") != std::u16string::npos) {
            why = "it contains '/' or ':'";
            return std::nullopt;
        }
        for (char16_t unit : part) {
            if (unit < 0x20) {
                why = "it contains a control character";
                return std::nullopt;
            }
        }
        result /= fs::path(utf16ToUtf8(part));
        if (end == std::u16string::npos) {
            return result;
        }
        start = end + 1;
    }
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

std::string percent(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", value);
    return text;
}

void printInfo(const LauncherInfo &info) {
    auto line = [](const char *label, const std::string &value) {
        if (!value.empty()) {
            std::printf("%-18s%s\n", label, value.c_str());
        }
    };
    line("Template:", info.directoryTemplate);
    line("Company:", info.company);
    line("Product:", info.product);
    line("Version:", info.version);
    line("File version:", info.fileVersion);
    line("Product version:", info.productVersion);
    if (!info.versionResource.empty()) {
        std::printf("Version resource:\n");
    }
    for (const auto &[key, value] : info.versionResource) {
        std::printf("  %-18s%s\n", key.c_str(), value.c_str());
    }
    if (info.subsystem) {
        const char *name = *info.subsystem == PE_SUBSYSTEM_GUI       ? "GUI"
                           : *info.subsystem == PE_SUBSYSTEM_CONSOLE ? "console"
                                                                     : "other";
        std::printf("%-18s%s (%u)\n", "Subsystem:", name, static_cast<unsigned>(*info.subsystem));
        std::printf("%-18s%s\n", "Signed:",
                    info.signature ? "yes (an Authenticode certificate table is present)" : "no");
    }
    if (!info.iconSizes.empty()) {
        std::string sizes;
        for (int size : info.iconSizes) {
            sizes += (sizes.empty() ? "" : ", ") + std::to_string(size);
        }
        std::printf("%-18s%s px\n", "Icon sizes:", sizes.c_str());
    }
    if (!info.manifest.empty()) {
        std::printf("Manifest:\n");
        std::size_t start = 0;
        while (start < info.manifest.size()) {
            std::size_t end = info.manifest.find('\n', start);
            end = end == std::string::npos ? info.manifest.size() : end;
            std::printf("  %s\n", info.manifest.substr(start, end - start).c_str());
            start = end + 1;
        }
    }
}

struct Totals {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    std::uint64_t mismatches = 0;
    std::uint64_t refused = 0;
};

int inspect(const InspectOptions &options) {
    const std::string shown = options.launcher.string();
    std::ifstream in(options.launcher, std::ios::binary);
    std::error_code ec;
    if (fs::is_directory(options.launcher, ec)) {
        std::fprintf(stderr, "tallix-pack inspect: %s: is a directory\n", shown.c_str());
        return STATUS_BAD_INPUT;
    }
    if (!in) {
        std::fprintf(stderr, "tallix-pack inspect: %s: cannot open: %s\n", shown.c_str(),
                     std::strerror(errno));
        return STATUS_BAD_INPUT;
    }
    std::optional<BlockLocation> where;
    bool cutShort = false;
    try {
        where = locateAttachedData(in, &cutShort);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "tallix-pack inspect: %s: %s\n", shown.c_str(), error.what());
        return STATUS_FAILURE;
    }
    if (!where && cutShort) {
        std::fprintf(stderr,
                     "tallix-pack inspect: %s: damaged launcher: its attached data is cut "
                     "short\n",
                     shown.c_str());
        return STATUS_FAILURE;
    }
    if (!where) {
        std::fprintf(stderr,
                     "tallix-pack inspect: %s: no attached data found; this is not a "
                     "tallix-onefile launcher\n",
                     shown.c_str());
        return STATUS_BAD_INPUT;
    }

    std::printf("%-18s%s\n", "Launcher:", shown.c_str());
    std::printf("%-18sat offset %" PRIu64 ", %" PRIu64 " bytes (frame %" PRIu64
                " bytes, window %" PRIu64 " KiB)\n",
                "Attached data:", where->offset, where->blockBytes, where->frameBytes,
                where->windowSize / 1024);
    printInfo(readLauncherInfo(in, where->offset, where->blockBytes));
    std::printf("\n%14s  %-8s  %s\n", "Size", "CRC-32", "Name");

    const bool checkCrc = options.verify || options.extractDir.has_value();
    if (options.extractDir) {
        fs::create_directories(*options.extractDir, ec);
        if (ec || !fs::is_directory(*options.extractDir)) {
            std::fprintf(stderr, "tallix-pack inspect: %s: cannot create the directory: %s\n",
                         options.extractDir->string().c_str(), ec.message().c_str());
            return STATUS_FAILURE;
        }
    }

    Totals totals;
    std::uint64_t trailingBytes = 0;
    try {
        RecordReader reader(in, *where);
        while (std::optional<EntryHeader> entry = reader.next()) {
            const std::string name = utf16ToUtf8(entry->name);
            std::printf("%14" PRIu64 "  %08" PRIx32 "  %s\n", entry->size, entry->crc,
                        name.c_str());
            ++totals.files;
            totals.bytes += entry->size;

            // The launcher refuses such a record; so does a check.
            if (options.verify &&
                !isContainedEntryName(reinterpret_cast<const WideUnit *>(entry->name.c_str()))) {
                std::fprintf(stderr,
                             "tallix-pack inspect: %s: the attached data is damaged: the record "
                             "name '%s' could leave the target directory\n",
                             shown.c_str(), name.c_str());
                ++totals.refused;
            }
            std::ofstream out;
            std::optional<fs::path> target;
            if (options.extractDir) {
                std::string why;
                target = extractionPath(*options.extractDir, entry->name, why);
                if (target && crossesLink(*options.extractDir, *target)) {
                    target.reset();
                    why = "its path runs through a symbolic link";
                }
                if (!target) {
                    std::fprintf(stderr, "tallix-pack inspect: refusing to extract '%s': %s\n",
                                 name.c_str(), why.c_str());
                    ++totals.refused;
                } else {
                    fs::create_directories(target->parent_path(), ec);
                    out.open(*target, std::ios::binary | std::ios::trunc);
                    if (!out) {
                        std::fprintf(stderr, "tallix-pack inspect: %s: cannot write: %s\n",
                                     target->string().c_str(), std::strerror(errno));
                        return STATUS_FAILURE;
                    }
                }
            }
            if (!checkCrc) {
                continue;
            }
            std::uint32_t crc = 0;
            reader.readContent([&](const unsigned char *data, std::size_t length) {
                crc = continueCrc32(crc, data, length);
                if (out.is_open()) {
                    out.write(reinterpret_cast<const char *>(data),
                              static_cast<std::streamsize>(length));
                }
            });
            if (out.is_open()) {
                out.close();
                if (!out) {
                    std::fprintf(stderr, "tallix-pack inspect: %s: write failed\n",
                                 target->string().c_str());
                    return STATUS_FAILURE;
                }
            }
            if (entry->crc != storedCrcFor(crc)) {
                std::fprintf(stderr,
                             "tallix-pack inspect: CRC-32 mismatch in '%s': stored %08" PRIx32
                             ", content gives %08" PRIx32 "\n",
                             name.c_str(), entry->crc, storedCrcFor(crc));
                ++totals.mismatches;
            }
        }
        if (checkCrc) {
            trailingBytes = reader.bytesAfterEndMarker();
        }
    } catch (const DamagedBlockError &error) {
        std::fprintf(stderr, "tallix-pack inspect: %s: the attached data is damaged: %s\n",
                     shown.c_str(), error.what());
        return STATUS_FAILURE;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "tallix-pack inspect: %s: %s\n", shown.c_str(), error.what());
        return STATUS_FAILURE;
    }

    double ratio = where->frameBytes > 0
                       ? static_cast<double>(totals.bytes) / static_cast<double>(where->frameBytes)
                       : 0.0;
    double share = totals.bytes > 0 ? 100.0 * static_cast<double>(where->frameBytes) /
                                          static_cast<double>(totals.bytes)
                                    : 0.0;
    std::printf("\n%" PRIu64 " files, %" PRIu64 " bytes; compressed %" PRIu64
                " bytes (ratio %.2f, %s of the original)\n",
                totals.files, totals.bytes, where->frameBytes, ratio, percent(share).c_str());

    if (trailingBytes > 0) {
        std::fprintf(stderr,
                     "tallix-pack inspect: %s: %" PRIu64 " decoded bytes follow the end marker\n",
                     shown.c_str(), trailingBytes);
    }
    if (totals.mismatches > 0 || totals.refused > 0 || trailingBytes > 0) {
        if (totals.mismatches > 0) {
            std::fprintf(stderr,
                         "tallix-pack inspect: %s: %" PRIu64 " of %" PRIu64
                         " files fail their CRC-32 check\n",
                         shown.c_str(), totals.mismatches, totals.files);
        }
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

} // namespace

int runInspectCommand(const Arguments &args) {
    InspectOptions options;
    return runCommand(inspectCommand(options), args, [&](const std::string &launcher) {
        options.launcher = launcher;
        return inspect(options);
    });
}

} // namespace tallix
