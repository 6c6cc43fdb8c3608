#include "packer/commands/pack/pack_plan.h"

#include "packer/commands/pack/output_path_check.h"
#include "packer/commands/pack/progress_window_settings.h"
#include "packer/commands/pack/template_check.h"
#include "packer/image/icon/icon_builder.h"
#include "packer/image/launcher_writer.h"
#include "packer/image/resources/launcher_resources.h"
#include "packer/support/host_system.h"
#include "packer/support/pack_errors.h"
#include "packer/support/text/xml_check.h"

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
        throw BadInput(appDirectory.string() +
                       ": not a directory; APP_DIR is the folder that holds the application "
                       "(its program and every file it needs): put a lone program in a folder "
                       "of its own and pack that folder");
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

// Only a regular file is read: a FIFO would wait for a writer, a device
// never end.
void checkInputFile(const std::string &option, const fs::path &file) {
    std::error_code error;
    fs::file_status status = fs::status(file, error);
    if (!fs::exists(status)) {
        throw BadInput(option + " " + file.string() + ": no such file");
    }
    if (fs::is_directory(status)) {
        throw BadInput(option + " " + file.string() + ": is a directory; " + option +
                       " names a file");
    }
    if (!fs::is_regular_file(status)) {
        throw BadInput(option + " " + file.string() + ": is " + fileKind(status) +
                       ", not a regular file; " + option + " names a file");
    }
    if (std::optional<std::string> problem = readProblem(file, false)) {
        throw BadInput(option + " " + file.string() + ": " + *problem);
    }
}

// A manifest is a few KiB; this bounds what a wrong file makes the packer
// read, as tallix-pack inspect bounds what it reads of a resource.
constexpr std::uintmax_t MANIFEST_FILE_LIMIT = 1 << 20;

// The text of --manifest FILE, refused unless it is well-formed XML whose
// root is <assembly>: Windows refuses to start a program whose manifest it
// cannot parse.
std::string readManifest(const fs::path &file) {
    checkInputFile("--manifest", file);
    std::error_code error;
    if (fs::file_size(file, error) > MANIFEST_FILE_LIMIT) {
        throw BadInput("--manifest " + file.string() + ": larger than " +
                       std::to_string(MANIFEST_FILE_LIMIT >> 10) +
                       " KiB, which is no manifest; name the manifest file");
    }
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw BadInput("--manifest " + file.string() + ": cannot read it");
    }
    if (text.rfind("\xFF\xFE", 0) == 0 || text.rfind("\xFE\xFF", 0) == 0) {
        throw BadInput("--manifest " + file.string() +
                       ": the manifest is UTF-16 text; save it as UTF-8");
    }
    XmlCheck check = checkXml(text);
    if (check.problem) {
        throw BadInput(file.string() + ":" + std::to_string(check.problem->line) +
                       ": the manifest is not well-formed XML: " + check.problem->cause +
                       "; Windows would refuse to start the launcher; correct it, or leave out "
                       "--manifest for the one tallix-pack writes");
    }
    std::string local = check.root.substr(check.root.find(':') + 1);
    if (local != "assembly") {
        throw BadInput(file.string() + ": the manifest's root element is <" + check.root +
                       ">, where Windows expects <assembly "
                       "xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">");
    }
    return text;
}

std::optional<SigningOptions> signingInputs(const PackOptions &options) {
    if (!options.signCertificate) {
        return std::nullopt;
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
        plan.iconImages = loadIconImages(plan.iconSource).images;
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

BlockOptions blockOptions(const PackOptions &options, const std::vector<PayloadFile> &files) {
    BlockOptions block;
    block.level = options.level;
    block.workers = options.jobs.value_or(
        std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, JOBS_MAX));
    block.windowLog = options.windowLog.value_or(0);
    // A window given by hand is kept for every frame.
    block.wholeFrameWindows = !options.windowLog && options.level >= WHOLE_FRAME_WINDOW_LEVEL;
    if (options.frameKib) {
        block.frameTarget = std::uint64_t(*options.frameKib) << 10;
    } else if (block.wholeFrameWindows) {
        block.frameTarget = applicationFrameTarget(files);
    }
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
    for (const auto &file : {options.splash, options.manifest}) {
        if (file) {
            inputs.push_back(*file);
        }
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

// The files the user named, before any work: only a regular file is read.
void checkInputFiles(const std::vector<NamedPath> &inputs) {
    for (const NamedPath &input : inputs) {
        checkInputFile(input.option, input.path);
    }
}

} // namespace

void resolvePack(const PackOptions &options, PackPlan &plan) {
    checkAppDirectory(options.appDirectory);
    plan.settings = launcherSettings(options);
    const std::vector<NamedPath> inputs = namedInputFiles(options);
    checkInputFiles(inputs);
    checkPackOutputs(options, inputs);
    std::vector<ExcludeGlob> exclusions(options.exclusions.begin(), options.exclusions.end());
    std::vector<std::string> programs = topLevelPrograms(options.appDirectory, exclusions);
    if (!endsWithExe(options.output.filename().string())) {
        plan.warnings.push_back(options.output.string() +
                                ": the launcher's name does not end in .exe, so Windows will not "
                                "start it by that name; add .exe to -o");
    }
    MainProgramChoice main = chooseMainProgram(options, programs);
    plan.signing = signingInputs(options);
    if (options.icon) {
        plan.iconSource = *options.icon;
        IconImages icon = loadIconImages(*options.icon);
        plan.iconImages = std::move(icon.images);
        if (icon.warning) {
            plan.warnings.push_back(*icon.warning);
        }
    }
    if (options.manifest) {
        plan.settings.resources.manifest = readManifest(*options.manifest);
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
    plan.block = blockOptions(options, plan.files);
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
