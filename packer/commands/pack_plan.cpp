#include "packer/commands/pack_plan.h"

#include "packer/commands/output_path_check.h"
#include "packer/commands/progress_window_settings.h"
#include "packer/commands/template_check.h"
#include "packer/image/icon_builder.h"
#include "packer/image/launcher_resources.h"
#include "packer/image/launcher_writer.h"
#include "packer/support/host_system.h"
#include "packer/support/pack_errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace tallix {

namespace {

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

void checkInputFile(const std::string &option, const fs::path &file) {
    std::error_code error;
    if (!fs::is_regular_file(file, error)) {
        throw BadInput(option + " " + file.string() + ": no such file");
    }
    if (std::optional<std::string> problem = readProblem(file, false)) {
        throw BadInput(option + " " + file.string() + ": " + *problem);
    }
}

std::optional<SigningOptions> signingInputs(const PackOptions &options) {
    if (!options.signCertificate) {
        return std::nullopt;
    }
    checkInputFile("--sign-cert", *options.signCertificate);
    for (const auto &[option, file] : {std::pair{"--sign-key", options.signKey},
                                       std::pair{"--sign-pass-file", options.signPasswordFile}}) {
        if (file) {
            checkInputFile(option, *file);
        }
    }
    return SigningOptions{*options.signCertificate, options.signKey, options.signPasswordFile};
}

// Opens every file once, so that an unreadable one is reported as bad input
// before minutes of compression.
void checkReadable(const std::vector<PayloadFile> &files) {
    for (const PayloadFile &file : files) {
        if (std::optional<std::string> problem = regularFileProblem(file.source)) {
            throw BadInput(file.source.string() + ": " + *problem);
        }
    }
}

// The files to pack and the subsystem to build for.
void resolvePayload(const PackOptions &options, const std::string &mainProgram,
                    const std::vector<ExcludeGlob> &exclusions, PackPlan &plan) {
    plan.files = collectPayloadFiles(options.appDirectory, mainProgram, exclusions, &plan.walk);
    // Probed also with --console or --gui: no launcher can start what it refuses.
    Subsystem own = probeMainProgram(plan.files.front().source);
    plan.subsystem = options.subsystem.value_or(own);
    checkReadable(plan.files);
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

// The runtime, its image for the subsystem, and the built-in icon when
// there is no --icon.
void resolveRuntime(const PackOptions &options, PackPlan &plan) {
    plan.runtime = locateRuntime(options.runtime);
    std::vector<NamedPath> runtimeFiles;
    for (const fs::path &file : plan.runtime.inputFiles()) {
        runtimeFiles.push_back({"runtime", file});
    }
    checkOutputsSpare(options, runtimeFiles);
    if (!options.icon) {
        plan.iconSource = plan.runtime.file(DEFAULT_ICON);
        plan.iconImages = loadIconImages(plan.iconSource);
    }
    plan.imageSource = plan.runtime.image(plan.subsystem == Subsystem::Console);
    plan.image = loadImage(plan.imageSource);
    plan.resources = launcherResources(plan.settings.resources, plan.iconImages);
}

// Sets plan.block.frameLimit: the launcher written with an empty block
// shows what everything but the block and the index takes. When even the
// files' compression bound fits, any frame does; otherwise compression
// stops once the frame passes the room left.
void limitLauncherSize(const PackOptions &options, PackPlan &plan) {
    std::stringstream empty;
    try {
        writeLauncher(
            plan.image, plan.settings.constants, plan.resources,
            [](std::ostream &) { return pe::Bytes(); }, empty);
    } catch (const pe::ImageError &problem) {
        throw PackFailure("cannot write the launcher from " + plan.imageSource.string() + ": " +
                          problem.what());
    }
    const std::uint64_t index =
        options.noIndex
            ? 0
            : payloadIndexBytes(plan.files, plan.block.frameTarget, plan.block.branchFilter);
    std::optional<std::uint64_t> room =
        frameRoom(pe::readHeaders(empty), index, pe::LOADABLE_IMAGE_SIZE);
    if (!room) {
        throw BadInput(launcherTooLarge("the launcher runtime, its resources and the index of " +
                                        std::to_string(plan.files.size()) +
                                        " files take all of it"));
    }
    if (frameBytesBound(plan.files, plan.block.frameTarget) > *room) {
        plan.block.frameLimit = *room;
    }
}

BlockOptions blockOptions(const PackOptions &options) {
    BlockOptions block;
    block.level = options.level;
    block.workers = options.jobs.value_or(
        std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, JOBS_MAX));
    block.windowLog = options.windowLog.value_or(0);
    // The filter's facts live in the index: without it, no filter.
    block.branchFilter = !options.noIndex && !options.noBranchFilter;
    return block;
}

std::vector<fs::path> depfileInputs(const PackOptions &options, const PackPlan &plan) {
    std::vector<fs::path> inputs;
    for (const PayloadFile &file : plan.files) {
        inputs.push_back(file.source);
    }
    // A directory's time changes when an entry is added, removed or renamed
    // in it, so listing them re-packs for new files too.
    inputs.insert(inputs.end(), plan.walk.directories.begin(), plan.walk.directories.end());
    inputs.push_back(plan.iconSource);
    if (options.splash) {
        inputs.push_back(*options.splash);
    }
    for (const fs::path &file : plan.runtime.inputFiles()) {
        inputs.push_back(file);
    }
    if (plan.signing) {
        for (const auto &file :
             {options.signCertificate, options.signKey, options.signPasswordFile}) {
            if (file) {
                inputs.push_back(*file);
            }
        }
    }
    for (fs::path &input : inputs) {
        input = fs::absolute(input).lexically_normal();
    }
    return inputs;
}

} // namespace

void resolvePack(const PackOptions &options, PackPlan &plan) {
    checkAppDirectory(options.appDirectory);
    checkPackOutputs(options, namedInputFiles(options));
    std::vector<ExcludeGlob> exclusions(options.exclusions.begin(), options.exclusions.end());
    std::vector<std::string> programs = topLevelPrograms(options.appDirectory, exclusions);
    plan.settings = launcherSettings(options);
    if (!endsWithExe(options.output.filename().string())) {
        plan.warnings.push_back(options.output.string() +
                                ": the launcher's name does not end in .exe, so Windows will not "
                                "start it by that name; add .exe to -o");
    }
    MainProgramChoice main = chooseMainProgram(options, programs);
    plan.signing = signingInputs(options);
    if (options.icon) {
        checkInputFile("--icon", *options.icon);
        plan.iconSource = *options.icon;
        plan.iconImages = loadIconImages(*options.icon);
    }
    if (main.warning) {
        plan.warnings.push_back(*main.warning);
    }
    resolvePayload(options, main.relative, exclusions, plan);
    plan.settings.resources.progressWindow = progressWindowFor(options, plan.subsystem);
    for (std::string &warning : templateWarnings(plan.settings.constants)) {
        plan.warnings.push_back(std::move(warning));
    }
    if (std::optional<std::string> warning =
            programPathWarning(plan.settings.constants, plan.settings.resources.originalFilename,
                               plan.files.front().name)) {
        plan.warnings.push_back(*warning);
    }
    resolveRuntime(options, plan);
    plan.block = blockOptions(options);
    limitLauncherSize(options, plan);
    if (options.depfile) {
        plan.depfileInputs = depfileInputs(options, plan);
    }
}

std::optional<std::uint64_t> frameRoom(const pe::Headers &emptyLauncher, std::uint64_t indexBytes,
                                       std::uint64_t imageLimit) {
    // The block and the index lengthen the launcher's constants section
    // alone, and a section grows the image by whole alignment units: by at
    // most the room left, rounded down to a unit, when they fit in it.
    const std::uint64_t alignment = std::max<std::uint32_t>(emptyLauncher.sectionAlignment, 1);
    if (emptyLauncher.sizeOfImage > imageLimit) {
        return std::nullopt;
    }
    const std::uint64_t left = (imageLimit - emptyLauncher.sizeOfImage) / alignment * alignment;
    if (left < indexBytes + BLOCK_FRAMING_BYTES) {
        return std::nullopt;
    }
    return left - indexBytes - BLOCK_FRAMING_BYTES;
}

std::string launcherTooLarge(const std::string &cause) {
    return "the launcher would be larger than " + std::to_string(pe::LOADABLE_IMAGE_SIZE >> 20) +
           " MiB, the largest program this packer writes, as Windows refuses programs of about "
           "2 GiB: " +
           cause +
           "; leave large data out of the payload with --exclude, or raise the compression "
           "level with --level";
}

} // namespace tallix
