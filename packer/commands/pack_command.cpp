// tallix-pack pack: builds one launcher executable from an application
// directory. Inputs are checked and resolved into a plan first; the launcher
// is then written from the runtime's prebuilt image, with the block streamed
// straight into it, in a work directory beside the output (fixed name), and
// renamed into place, so a failure never leaves a partial output behind.
#include "packer/block/block_writer.h"
#include "packer/commands/commands.h"
#include "packer/commands/output_path_check.h"
#include "packer/commands/pack_options.h"
#include "packer/commands/pack_plan.h"
#include "packer/image/icon_builder.h"
#include "packer/image/launcher_runtime.h"
#include "packer/image/launcher_writer.h"
#include "packer/image/pe_probe.h"
#include "packer/image/signing.h"
#include "packer/support/depfile.h"
#include "packer/support/host_system.h"
#include "packer/support/pack_errors.h"
#include "packer/support/progress_line.h"
#include "packer/support/work_directory.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

namespace fs = std::filesystem;

namespace tallix {

namespace {

// The launcher is written here inside the work directory.
constexpr char LAUNCHER_FILE[] = "launcher.exe";
// The launcher's unpacking checksum cannot cover files this large, so it
// rewrites them whenever it unpacks (its index check reads them whole).
constexpr std::uint64_t LARGE_FILE_WARNING = std::uint64_t(4) << 30;
// A node_modules tree holds hundreds of links; the summary names a few.
constexpr std::size_t LINKS_LISTED = 5;

void warn(const std::string &message) {
    std::fprintf(stderr, "tallix-pack pack: warning: %s\n", message.c_str());
}

// Top-level .exe files of the application directory that are not excluded, sorted.
std::vector<std::string> topLevelPrograms(const fs::path &appDirectory,
                                          const std::vector<ExcludeGlob> &exclusions) {
    std::vector<std::string> programs;
    std::error_code error;
    for (const fs::directory_entry &entry : fs::directory_iterator(appDirectory, error)) {
        std::string name = entry.path().filename().string();
        if (endsWithExe(name) && entry.is_regular_file(error) &&
            !findExclusion(exclusions, name, false)) {
            programs.push_back(name);
        }
    }
    std::sort(programs.begin(), programs.end());
    return programs;
}

void checkAppDirectory(const fs::path &appDirectory) {
    std::error_code error;
    fs::file_status status = fs::status(appDirectory, error);
    if (!fs::exists(status)) {
        throw BadInput(appDirectory.string() + ": no such directory");
    }
    if (!fs::is_directory(status)) {
        throw BadInput(appDirectory.string() + ": not a directory");
    }
    if (std::optional<std::string> problem = readProblem(appDirectory, true)) {
        throw BadInput(appDirectory.string() + ": " + *problem);
    }
    fs::recursive_directory_iterator walk(appDirectory, error);
    bool anyFile = false;
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
        if (!walk->is_directory(error)) {
            anyFile = true;
            break;
        }
    }
    if (!anyFile && !error) {
        throw BadInput(appDirectory.string() + ": the application directory is empty");
    }
}

// Opens every file once before any work, so an unreadable one is reported
// as bad input before minutes of compression.
void checkReadable(const std::vector<PayloadFile> &files) {
    for (const PayloadFile &file : files) {
        if (std::optional<std::string> problem = regularFileProblem(file.source)) {
            throw BadInput(file.source.string() + ": " + *problem);
        }
        if (file.size >= LARGE_FILE_WARNING) {
            warn(file.source.string() + ": " + std::to_string(file.size >> 20) +
                 " MiB; the launcher rewrites a file of 4 GiB or more whenever it unpacks "
                 "(on every start with --no-index)");
        }
    }
}

void checkInputFile(const std::string &option, const fs::path &file) {
    std::error_code error;
    if (!fs::is_regular_file(file, error)) {
        throw BadInput(option + " " + file.string() + ": no such file");
    }
    if (std::optional<std::string> problem = readProblem(file, false)) {
        throw BadInput(option + " " + file.string() + ": " + *problem);
    }
}

std::string counted(std::uint64_t count, const char *noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// Under the summary: what the packer chose or followed on its own.
void printNotes(const PackOptions &options, bool console, const fs::path &mainProgram,
                const WalkReport &walk) {
    const char *kind = console ? "console" : "GUI";
    if (options.subsystem) {
        std::printf("  %s launcher (--%s)\n", kind, console ? "console" : "gui");
    } else {
        std::printf("  %s launcher, as %s is (--console or --gui chooses)\n", kind,
                    mainProgram.filename().string().c_str());
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

pe::Image loadImage(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    pe::Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        throw PackFailure(file.string() + ": " + std::strerror(errno));
    }
    try {
        return pe::Image::parse(std::move(bytes));
    } catch (const pe::ImageError &error) {
        throw PackFailure(file.string() + ": not a usable launcher image: " + error.what());
    }
}

// Writes the launcher into `launcher` from the image at `imageFile`, the
// block streamed straight into its constants section.
BlockSummary writeLauncherFile(const fs::path &launcher, const fs::path &imageFile,
                               const PackPlan &plan, const std::vector<pe::Bytes> &iconImages,
                               const std::vector<PayloadFile> &files, const PackOptions &options) {
    pe::Image image = loadImage(imageFile);
    std::fstream out(launcher, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
    if (!out) {
        throw PackFailure(launcher.string() + ": " + std::strerror(errno));
    }
    ProgressLine progress(!options.quiet && standardErrorIsTerminal(), files.size(),
                          recordStreamBytes(files));
    BlockOptions blockOptions;
    blockOptions.level = options.level;
    blockOptions.workers = options.jobs.value_or(
        std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, JOBS_MAX));
    blockOptions.windowLog = options.windowLog.value_or(0);
    BlockSummary summary;
    auto writeBlock = [&](std::ostream &block) {
        summary = writeAttachedData(files, block, blockOptions, [&](const BlockProgress &now) {
            progress.update(now.files, now.consumed, now.produced);
        });
        progress.finish();
        if (options.noIndex) {
            return pe::Bytes();
        }
        std::string index = encodePayloadIndex(summary.records);
        return pe::Bytes(index.begin(), index.end());
    };
    try {
        writeLauncher(image, plan.constants, launcherResources(plan.resources, iconImages),
                      writeBlock, out);
    } catch (const pe::ImageError &problem) {
        throw PackFailure("cannot write the launcher from " + imageFile.string() + ": " +
                          problem.what());
    }
    out.close();
    if (!out) {
        throw PackFailure(launcher.string() + ": cannot write (" + std::strerror(errno) + ")");
    }
    return summary;
}

// Every file the launcher was made from, absolute, for the depfile.
std::vector<fs::path> packInputs(const PackOptions &options, const std::vector<PayloadFile> &files,
                                 const std::vector<fs::path> &directories,
                                 const fs::path &iconSource, const LauncherRuntime &runtime) {
    std::vector<fs::path> inputs;
    for (const PayloadFile &file : files) {
        inputs.push_back(file.source);
    }
    // A directory's time changes when an entry is added, removed or renamed
    // in it, so listing them re-packs for new files too.
    inputs.insert(inputs.end(), directories.begin(), directories.end());
    inputs.push_back(iconSource);
    for (const fs::path &file : runtime.inputFiles()) {
        inputs.push_back(file);
    }
    for (const auto &file : {options.signCertificate, options.signKey, options.signPasswordFile}) {
        if (file && options.signCertificate) {
            inputs.push_back(*file);
        }
    }
    for (fs::path &input : inputs) {
        input = fs::absolute(input).lexically_normal();
    }
    return inputs;
}

int pack(const PackOptions &options) {
    // Everything the user gave is checked before anything is built.
    checkAppDirectory(options.appDirectory);
    checkPackOutputs(options);
    std::error_code error;
    std::vector<ExcludeGlob> exclusions(options.exclusions.begin(), options.exclusions.end());
    PackPlan plan = planPack(options, topLevelPrograms(options.appDirectory, exclusions));

    std::optional<SigningOptions> signing;
    if (options.signCertificate) {
        checkInputFile("--sign-cert", *options.signCertificate);
        signing =
            SigningOptions{*options.signCertificate, options.signKey, options.signPasswordFile};
        for (const auto &[option, file] :
             {std::pair{"--sign-key", options.signKey},
              std::pair{"--sign-pass-file", options.signPasswordFile}}) {
            if (file) {
                checkInputFile(option, *file);
            }
        }
    }
    std::vector<pe::Bytes> iconImages;
    if (options.icon) {
        checkInputFile("--icon", *options.icon);
        iconImages = loadIconImages(*options.icon);
    }
    for (const std::string &warning : plan.warnings) {
        warn(warning);
    }
    WalkReport walk;
    std::vector<PayloadFile> files =
        collectPayloadFiles(options.appDirectory, plan.mainProgram, exclusions, &walk);
    plan.console =
        options.subsystem.value_or(probeMainProgram(files.front().source)) == Subsystem::Console;
    checkReadable(files);
    for (const auto &[first, second] : findCaseCollisions(files)) {
        warn("'" + first.string() + "' and '" + second.string() +
             "' differ only in letter case and are one file on Windows; the launcher "
             "rewrites it on every start and only the latter survives");
    }
    for (const std::string &warning : plan.lateWarnings) {
        warn(warning);
    }

    LauncherRuntime runtime = locateRuntime(options.runtime);
    checkPackOutputs(options, runtime.inputFiles());
    fs::path iconSource = options.icon ? *options.icon : runtime.file(DEFAULT_ICON);
    if (!options.icon) {
        iconImages = loadIconImages(iconSource);
    }

    // Building.
    WorkDirectory work(options.output);
    auto started = std::chrono::steady_clock::now();
    fs::path launcher = work.path() / LAUNCHER_FILE;
    BlockSummary summary;
    try {
        summary = writeLauncherFile(launcher, runtime.image(plan.console), plan, iconImages, files,
                                    options);
        if (signing) {
            signLauncher(launcher, *signing);
        }
    } catch (const PackFailure &failure) {
        throw PackFailure(namingOutput(failure.what(), launcher, options.output));
    }
    fs::rename(launcher, options.output, error);
    if (error) {
        throw PackFailure(options.output.string() + ": " + error.message());
    }

    if (options.depfile) {
        writeDepfile(*options.depfile, options.output,
                     packInputs(options, files, walk.directories, iconSource, runtime));
    }

    if (!options.quiet) {
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::uintmax_t size = fs::file_size(options.output, error);
        std::printf("%s: %llu files, %.1f MB packed to %.1f MB (%.1f%%), launcher %.1f MB, "
                    "%.1f s\n",
                    options.output.string().c_str(), static_cast<unsigned long long>(summary.files),
                    static_cast<double>(summary.contentBytes) / 1e6,
                    static_cast<double>(summary.frameBytes) / 1e6,
                    summary.contentBytes ? 100.0 * static_cast<double>(summary.frameBytes) /
                                               static_cast<double>(summary.contentBytes)
                                         : 0.0,
                    static_cast<double>(size) / 1e6, seconds);
        printNotes(options, plan.console, files.front().source, walk);
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
