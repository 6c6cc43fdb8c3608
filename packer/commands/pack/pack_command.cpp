// tallix-pack pack: builds one launcher executable from an application
// directory, in three phases. The options and the file system are resolved
// into one checked plan (pack_plan.h), its warnings shown; the launcher is
// built from the plan alone: written from the runtime's prebuilt image, the
// block streamed straight into it, in a work directory beside the output
// (fixed name), and renamed into place, so a failure never leaves a partial
// output behind; last the summary is reported.
#include "packer/block/block_writer.h"
#include "packer/commands/commands.h"
#include "packer/commands/pack/pack_options.h"
#include "packer/commands/pack/pack_plan.h"
#include "packer/image/launcher_writer.h"
#include "packer/image/signing.h"
#include "packer/support/depfile.h"
#include "packer/support/host_system.h"
#include "packer/support/pack_errors.h"
#include "packer/support/progress_line.h"
#include "packer/support/work_directory.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace tallix {

namespace {

// The launcher is written here inside the work directory.
constexpr char LAUNCHER_FILE[] = "launcher.exe";
// rwxr-xr-x, as linkers leave the programs they write.
constexpr fs::perms LAUNCHER_PERMISSIONS = fs::perms::owner_all | fs::perms::group_read |
                                           fs::perms::group_exec | fs::perms::others_read |
                                           fs::perms::others_exec;
// A node_modules tree holds hundreds of links; the summary names a few.
constexpr std::size_t LINKS_LISTED = 5;

std::string counted(std::uint64_t count, const char *noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// Under the summary: what the packer chose or followed on its own.
void printNotes(const PackOptions &options, const PackPlan &plan) {
    const WalkReport &walk = plan.walk;
    const bool console = plan.subsystem == Subsystem::Console;
    const char *kind = console ? "console" : "GUI";
    if (options.subsystem) {
        std::printf("  %s launcher (--%s)\n", kind, console ? "console" : "gui");
    } else {
        std::printf("  %s launcher, as %s is (--console or --gui chooses)\n", kind,
                    plan.files.front().source.filename().string().c_str());
    }
    if (!options.exclusions.empty()) {
        std::string patterns;
        for (const std::string &pattern : options.exclusions) {
            patterns += " '" + pattern + "'";
        }
        std::printf("  left out by --exclude%s: %s, %s\n", patterns.c_str(),
                    counted(walk.excludedFiles, "file").c_str(),
                    counted(walk.excludedDirectories, "folder").c_str());
    }
    if (!walk.links.empty()) {
        std::printf("  symbolic links packed as their targets (%zu):", walk.links.size());
        for (std::size_t i = 0; i < walk.links.size() && i < LINKS_LISTED; ++i) {
            const auto &[link, target] = walk.links[i];
            std::printf(" %s -> %s", link.lexically_relative(options.appDirectory).string().c_str(),
                        target.string().c_str());
        }
        if (walk.links.size() > LINKS_LISTED) {
            std::printf(" and %zu more", walk.links.size() - LINKS_LISTED);
        }
        std::printf("\n");
    }
}

// `message` with the launcher's work path replaced by the output it becomes:
// the user knows the one, not the other.
std::string namingOutput(std::string message, const fs::path &launcher, const fs::path &output) {
    const std::string internal = launcher.string();
    for (std::size_t at = message.find(internal); at != std::string::npos;
         at = message.find(internal, at + output.string().size())) {
        message.replace(at, internal.size(), output.string());
    }
    return message;
}

void writeDepfile(const fs::path &depfile, const fs::path &target,
                  const std::vector<fs::path> &inputs) {
    fs::path temporary = depfile;
    temporary += ".tmp";
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << depfileText(target, inputs);
    out.close();
    std::error_code error;
    if (!out || (fs::rename(temporary, depfile, error), error)) {
        fs::remove(temporary, error);
        throw PackFailure(depfile.string() + ": cannot write the depfile");
    }
}

std::string mebibytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

// Writes the launcher into `launcher` from the runtime's image, the block
// streamed straight into its constants section.
BlockSummary writeLauncherFile(const fs::path &launcher, const PackOptions &options,
                               const PackPlan &plan) {
    std::fstream out(launcher, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
    if (!out) {
        throw PackFailure(launcher.string() + ": " + std::strerror(errno));
    }
    ProgressLine progress(!options.quiet && standardErrorIsTerminal(), plan.files.size(),
                          recordStreamBytes(plan.files));
    BlockSummary summary;
    auto writeBlock = [&](std::ostream &block) {
        summary = writeAttachedData(plan.files, block, plan.block, [&](const BlockProgress &now) {
            progress.update(now.files, now.consumed, now.produced);
        });
        progress.finish();
        if (options.noIndex) {
            return pe::Bytes();
        }
        std::string index = encodePayloadIndex(summary.records, summary.frames, summary.filters);
        return pe::Bytes(index.begin(), index.end());
    };
    try {
        writeLauncher(plan.image, plan.settings.constants, plan.resources, writeBlock, out);
    } catch (const pe::ImageError &problem) {
        throw PackFailure("cannot write the launcher from " + plan.imageSource.string() + ": " +
                          problem.what());
    } catch (const FrameLimitExceeded &exceeded) {
        progress.finish();
        throw BadInput(
            launcherTooLarge("the files compress to more than " + mebibytes(plan.block.frameLimit) +
                             " (clear once " + mebibytes(exceeded.consumed) + " of their " +
                             mebibytes(recordStreamBytes(plan.files)) + " were compressed)"));
    }
    out.close();
    if (!out) {
        throw PackFailure(launcher.string() + ": cannot write (" + std::strerror(errno) + ")");
    }
    return summary;
}

void showWarnings(const std::vector<std::string> &warnings) {
    for (const std::string &warning : warnings) {
        std::fprintf(stderr, "tallix-pack pack: warning: %s\n", warning.c_str());
    }
}

// The first phase: the plan, its warnings shown, also those found before a
// check that fails.
void resolveShowingWarnings(const PackOptions &options, PackPlan &plan) {
    try {
        resolvePack(options, plan);
    } catch (...) {
        showWarnings(plan.warnings);
        throw;
    }
    showWarnings(plan.warnings);
}

// The second phase, from the plan and the paths the user gave: the launcher
// in the work folder, signed, renamed into place; then the depfile.
BlockSummary buildLauncher(const PackOptions &options, const PackPlan &plan) {
    WorkDirectory work(options.output);
    fs::path launcher = work.path() / LAUNCHER_FILE;
    BlockSummary summary;
    try {
        summary = writeLauncherFile(launcher, options, plan);
        if (plan.signing) {
            signLauncher(launcher, *plan.signing);
        }
    } catch (const PackFailure &failure) {
        throw PackFailure(namingOutput(failure.what(), launcher, options.output));
    }
    // A program like any other build output; where the host has no such
    // modes the launcher keeps what it has.
    std::error_code ignored;
    fs::permissions(launcher, LAUNCHER_PERMISSIONS, ignored);
    std::error_code error;
    fs::rename(launcher, options.output, error);
    if (error) {
        throw PackFailure(options.output.string() + ": " + error.message());
    }
    if (options.depfile) {
        writeDepfile(*options.depfile, options.output, plan.depfileInputs);
    }
    return summary;
}

// The third phase: one line of what was packed, then the notes.
void reportPack(const PackOptions &options, const PackPlan &plan, const BlockSummary &summary,
                double seconds) {
    std::error_code error;
    std::uintmax_t size = fs::file_size(options.output, error);
    std::printf("%s: %s, %.1f MB packed to %.1f MB (%.1f%%), launcher %.1f MB, %.1f s\n",
                options.output.string().c_str(), counted(summary.files, "file").c_str(),
                static_cast<double>(summary.contentBytes) / 1e6,
                static_cast<double>(summary.frameBytes) / 1e6,
                summary.contentBytes ? 100.0 * static_cast<double>(summary.frameBytes) /
                                           static_cast<double>(summary.contentBytes)
                                     : 0.0,
                static_cast<double>(size) / 1e6, seconds);
    printNotes(options, plan);
}

int pack(const PackOptions &options) {
    PackPlan plan;
    resolveShowingWarnings(options, plan);
    auto started = std::chrono::steady_clock::now();
    BlockSummary summary = buildLauncher(options, plan);
    if (!options.quiet) {
        reportPack(
            options, plan, summary,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
    return STATUS_SUCCESS;
}

} // namespace

int runPackCommand(const Arguments &args) {
    PackOptions options;
    return runCommand(packCommand(options), args, [&](const std::string &appDirectory) {
        options.appDirectory = appDirectory;
        return pack(options);
    });
}

} // namespace tallix
