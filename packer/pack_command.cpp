// tallix-pack pack: builds one launcher executable from an application
// directory. Inputs are checked first; the block and the launcher are then
// built in a work directory beside the output (fixed name) and the result is
// renamed into place, so a failure never leaves a partial output behind.
#include "packer/block_writer.h"
#include "packer/commands.h"
#include "packer/depfile.h"
#include "packer/icon_builder.h"
#include "packer/launcher_build.h"
#include "packer/launcher_runtime.h"
#include "packer/pack_errors.h"
#include "packer/pack_options.h"
#include "packer/progress_line.h"
#include "packer/signing.h"
#include "packer/template_check.h"
#include "packer/text_encoding.h"
#include "packer/tool_runner.h"
#include "packer/version_string.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tallix {

namespace {

constexpr char DEFAULT_APP_VERSION[] = "1.0.0";
constexpr char FALLBACK_NAME[] = "Application";
// The launcher's unpacking checksum cannot cover files this large, so it
// rewrites them whenever it unpacks (its index check reads them whole).
constexpr std::uint64_t LARGE_FILE_WARNING = std::uint64_t(4) << 30;

void warn(const std::string &message) {
    std::fprintf(stderr, "tallix-pack pack: warning: %s\n", message.c_str());
}

bool endsWithExe(const std::string &name) {
    if (name.size() < 4) {
        return false;
    }
    std::string tail = name.substr(name.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return tail == ".exe";
}

std::string stemOf(const fs::path &output) {
    std::string name = output.filename().string();
    return endsWithExe(name) ? name.substr(0, name.size() - 4) : name;
}

// A user's text for a resource or a constant: UTF-8, one line.
std::u16string userText(const std::string &option, const std::string &value) {
    std::optional<std::u16string> wide = utf8ToUtf16(value);
    if (!wide) {
        throw BadInput(option + ": not valid UTF-8");
    }
    for (char16_t unit : *wide) {
        if (unit < 0x20 || unit == 0x7F) {
            throw BadInput(option + ": control characters are not allowed");
        }
    }
    return *wide;
}

VersionNumber versionOption(const std::string &option, const std::string &value) {
    std::optional<VersionNumber> version = parseVersion(value);
    if (!version) {
        throw BadInput(option + " '" + value +
                       "': expected 1 to 4 dot-separated numbers, each at most 65535");
    }
    return *version;
}

// Characters a value cannot have when the template puts it into a path.
void checkPathComponent(const std::string &placeholder, const std::u16string &value) {
    static const std::u16string forbidden = u"<>:\"/\\|?*";
    bool bad = value.empty() || value.back() == u'.' || value.back() == u' ' || value == u"." ||
               value == u"..";
    for (char16_t unit : value) {
        bad = bad || forbidden.find(unit) != std::u16string::npos;
    }
    if (bad) {
        throw BadInput(
            "the template uses {" + placeholder + "}, whose value '" + utf16ToUtf8(value) +
            "' cannot be a directory name on Windows; choose --template or another value");
    }
}

std::string defaultManifestName(const std::string &product) {
    std::string name;
    for (char c : product) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.') {
            name += c;
        } else if (c == ' ' && !name.empty() && name.back() != '.') {
            name += '.';
        }
    }
    while (!name.empty() && name.back() == '.') {
        name.pop_back();
    }
    while (!name.empty() && name.front() == '.') {
        name.erase(name.begin());
    }
    return name.empty() ? FALLBACK_NAME : name;
}

// Top-level .exe files of the application directory, sorted.
std::vector<std::string> topLevelPrograms(const fs::path &appDirectory) {
    std::vector<std::string> programs;
    std::error_code error;
    for (const fs::directory_entry &entry : fs::directory_iterator(appDirectory, error)) {
        std::string name = entry.path().filename().string();
        if (endsWithExe(name) && entry.is_regular_file(error)) {
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
    if (::access(appDirectory.c_str(), R_OK | X_OK) != 0) {
        throw BadInput(appDirectory.string() + ": " + std::strerror(errno));
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

// The program to start, relative to the application directory.
std::string chooseMainProgram(const PackOptions &options) {
    std::vector<std::string> programs = topLevelPrograms(options.appDirectory);
    if (options.mainProgram) {
        fs::path relative = fs::path(*options.mainProgram).lexically_normal();
        if (relative.empty() || relative.is_absolute() || *relative.begin() == "..") {
            throw BadInput("--main " + *options.mainProgram +
                           ": must name a file inside the application directory");
        }
        if (programs.empty()) {
            warn(options.appDirectory.string() +
                 ": no .exe at the top of the application directory");
        }
        return relative.string();
    }
    if (programs.size() == 1) {
        return programs.front();
    }
    if (programs.empty()) {
        throw BadInput(options.appDirectory.string() +
                       ": no .exe at the top of the application directory; name the program "
                       "to start with --main");
    }
    std::string list;
    for (const std::string &program : programs) {
        list += (list.empty() ? "" : ", ") + program;
    }
    throw BadInput(options.appDirectory.string() + ": several programs could be started (" + list +
                   "); choose one with --main");
}

// Opens every file once before any work, so an unreadable one is reported
// as bad input before minutes of compression.
void checkReadable(const std::vector<PayloadFile> &files) {
    for (const PayloadFile &file : files) {
        int descriptor = ::open(file.source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (descriptor < 0) {
            throw BadInput(file.source.string() + ": " + std::strerror(errno));
        }
        struct stat info {};
        bool regular = ::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
        ::close(descriptor);
        if (!regular) {
            throw BadInput(file.source.string() + ": not a regular file");
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
    if (::access(file.c_str(), R_OK) != 0) {
        throw BadInput(option + " " + file.string() + ": " + std::strerror(errno));
    }
}

// Counts what passes through, for the progress line's ratio.
class CountingBuffer : public std::streambuf {
  public:
    explicit CountingBuffer(std::streambuf *target) : target_(target) {}
    std::uint64_t count() const { return count_; }

  protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        ++count_;
        return target_->sputc(traits_type::to_char_type(c));
    }
    std::streamsize xsputn(const char *data, std::streamsize size) override {
        std::streamsize written = target_->sputn(data, size);
        count_ += static_cast<std::uint64_t>(std::max<std::streamsize>(written, 0));
        return written;
    }
    int sync() override { return target_->pubsync(); }

  private:
    std::streambuf *target_;
    std::uint64_t count_ = 0;
};

// The work directory: one per output, fixed name, removed when done.
class WorkDirectory {
  public:
    explicit WorkDirectory(const fs::path &output)
        : path_(output.parent_path() / ("." + output.filename().string() + ".tallix-pack")) {
        std::error_code error;
        fs::remove_all(path_, error);
        if (!fs::create_directory(path_, error)) {
            throw PackFailure(path_.string() + ": cannot create the work directory (" +
                              error.message() + ")");
        }
    }
    ~WorkDirectory() {
        std::error_code error;
        fs::remove_all(path_, error);
    }
    const fs::path &path() const { return path_; }

  private:
    fs::path path_;
};

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

int pack(const PackOptions &options) {
    // Everything the user gave is checked before anything is built.
    checkAppDirectory(options.appDirectory);
    fs::path outputDirectory =
        options.output.parent_path().empty() ? fs::path(".") : options.output.parent_path();
    std::error_code error;
    if (!fs::is_directory(outputDirectory, error)) {
        throw BadInput("-o " + options.output.string() + ": the directory " +
                       outputDirectory.string() + " does not exist");
    }
    if (fs::is_directory(options.output, error)) {
        throw BadInput("-o " + options.output.string() + ": is a directory");
    }

    std::string product = options.product.value_or(stemOf(options.output));
    if (product.empty()) {
        product = FALLBACK_NAME;
    }
    std::string appVersionText = options.appVersion.value_or(DEFAULT_APP_VERSION);
    VersionNumber appVersion = versionOption("--app-version", appVersionText);
    VersionNumber fileVersion =
        versionOption("--file-version", options.fileVersion.value_or(appVersionText));
    VersionNumber productVersion =
        versionOption("--product-version", options.productVersion.value_or(appVersionText));

    LauncherBuild build;
    build.console = options.console;
    BuildConstants &constants = build.constants;
    constants.product = userText("--product", product);
    constants.company = userText("--company", options.company.value_or(product));
    constants.version = userText("--app-version", appVersion.text);
    constants.fileVersion = userText("--file-version", fileVersion.text);
    constants.productVersion = userText("--product-version", productVersion.text);
    constants.directoryTemplate =
        userText("--template", options.directoryTemplate.value_or(DEFAULT_TEMPLATE));
    TemplateCheck templateCheck = checkTemplate(constants.directoryTemplate);
    if (templateCheck.error) {
        throw BadInput("--template '" + utf16ToUtf8(constants.directoryTemplate) +
                       "': " + *templateCheck.error);
    }
    const std::pair<const char *, const std::u16string *> pathValues[] = {
        {"COMPANY", &constants.company},
        {"PRODUCT", &constants.product},
        {"VERSION", &constants.version},
        {"FILE_VERSION", &constants.fileVersion},
        {"PRODUCT_VERSION", &constants.productVersion}};
    for (const auto &[placeholder, value] : pathValues) {
        if (templateCheck.placeholders.count(placeholder)) {
            checkPathComponent(placeholder, *value);
        }
    }

    ResourceInfo &resources = build.resources;
    resources.company = constants.company;
    resources.product = constants.product;
    resources.description = userText("--description", options.description.value_or(product));
    if (options.copyright) {
        resources.copyright = userText("--copyright", *options.copyright);
    }
    resources.originalFilename =
        userText("--original-filename",
                 options.originalFilename.value_or(options.output.filename().string()));
    resources.internalName =
        userText("--internal-name", options.internalName.value_or(stemOf(options.output)));
    resources.fileVersion = fileVersion;
    resources.productVersion = productVersion;
    resources.manifestName = options.manifestName.value_or(defaultManifestName(product));
    if (!isAssemblyName(resources.manifestName)) {
        throw BadInput("--manifest-name '" + resources.manifestName +
                       "': use letters, digits, '.', '-' and '_' only, not starting or ending "
                       "with '.'");
    }

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
    } else if (options.signKey || options.signPasswordFile) {
        throw BadInput("--sign-key and --sign-pass-file need --sign-cert");
    }

    if (options.icon) {
        checkInputFile("--icon", *options.icon);
        build.iconImages = loadIconImages(*options.icon);
    }

    std::string mainProgram = chooseMainProgram(options);
    std::vector<PayloadFile> files = collectPayloadFiles(options.appDirectory, mainProgram);
    checkReadable(files);
    for (const auto &[first, second] : findCaseCollisions(files)) {
        warn("'" + first.string() + "' and '" + second.string() +
             "' differ only in letter case and are one file on Windows; the launcher "
             "rewrites it on every start and only the latter survives");
    }
    if (!templateCheck.perUserStart) {
        warn("the template '" + utf16ToUtf8(constants.directoryTemplate) +
             "' does not start in a per-user folder ({CACHE_DIR}, {HOME} or {TEMP}); another "
             "user who can write there can plant files the launcher then runs");
    }

    LauncherRuntime runtime = locateRuntime(options.runtime);
    for (const char *tool : {MINGW_CXX, MINGW_CC, MINGW_WINDRES}) {
        if (!findOnPath(tool)) {
            throw PackFailure(std::string(tool) + " is not on PATH (install mingw-w64)");
        }
    }
    fs::path iconSource = options.icon ? *options.icon : runtime.file("default-icon.png");
    if (!options.icon) {
        build.iconImages = loadIconImages(iconSource);
    }

    // Building.
    WorkDirectory work(options.output);
    auto started = std::chrono::steady_clock::now();
    BlockSummary summary;
    {
        std::ofstream block(work.path() / BLOCK_FILE, std::ios::binary | std::ios::trunc);
        if (!block) {
            throw PackFailure((work.path() / BLOCK_FILE).string() + ": " + std::strerror(errno));
        }
        CountingBuffer counter(block.rdbuf());
        std::ostream counted(&counter);
        std::uint64_t totalBytes = 0;
        for (const PayloadFile &file : files) {
            totalBytes += file.size;
        }
        ProgressLine progress(!options.quiet && ::isatty(STDERR_FILENO), files.size(), totalBytes);
        BlockOptions blockOptions;
        blockOptions.level = options.level;
        blockOptions.workers = options.jobs.value_or(
            std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, JOBS_MAX));
        blockOptions.windowLog = options.windowLog.value_or(0);
        summary = writeAttachedData(files, counted, blockOptions,
                                    [&](std::uint64_t done, std::uint64_t bytes) {
                                        progress.update(done, bytes, counter.count());
                                    });
        progress.finish();
        block.close();
        if (!block) {
            throw PackFailure((work.path() / BLOCK_FILE).string() + ": cannot write (" +
                              std::strerror(errno) + ")");
        }
    }
    {
        std::string index = options.noIndex ? std::string() : encodePayloadIndex(summary.records);
        std::ofstream out(work.path() / INDEX_FILE, std::ios::binary | std::ios::trunc);
        out.write(index.data(), static_cast<std::streamsize>(index.size()));
        out.close();
        if (!out) {
            throw PackFailure((work.path() / INDEX_FILE).string() + ": cannot write (" +
                              std::strerror(errno) + ")");
        }
    }
    buildLauncher(runtime, build, work.path());
    fs::path launcher = work.path() / LAUNCHER_FILE;
    if (signing) {
        signLauncher(launcher, *signing);
    }
    fs::rename(launcher, options.output, error);
    if (error) {
        throw PackFailure(options.output.string() + ": " + error.message());
    }

    if (options.depfile) {
        std::vector<fs::path> inputs;
        for (const PayloadFile &file : files) {
            inputs.push_back(fs::absolute(file.source).lexically_normal());
        }
        // A directory's time changes when an entry is added, removed or
        // renamed in it, so listing them re-packs for new files too.
        inputs.push_back(fs::absolute(options.appDirectory).lexically_normal());
        for (const fs::directory_entry &entry :
             fs::recursive_directory_iterator(options.appDirectory)) {
            if (entry.is_directory() && !entry.is_symlink()) {
                inputs.push_back(fs::absolute(entry.path()).lexically_normal());
            }
        }
        inputs.push_back(fs::absolute(iconSource).lexically_normal());
        for (const fs::path &file : runtime.inputFiles()) {
            inputs.push_back(fs::absolute(file).lexically_normal());
        }
        if (signing) {
            for (const auto &file :
                 {std::optional(signing->certificate), signing->key, signing->passwordFile}) {
                if (file) {
                    inputs.push_back(fs::absolute(*file).lexically_normal());
                }
            }
        }
        writeDepfile(*options.depfile, options.output, inputs);
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
    }
    return STATUS_SUCCESS;
}

} // namespace

int runPackCommand(const Arguments &args) {
    return runReportingErrors("pack", [&] {
        PackOptions options = parsePackOptions(args);
        if (options.help) {
            std::fputs(PACK_USAGE, stdout);
            return int(STATUS_SUCCESS);
        }
        return pack(options);
    });
}

} // namespace tallix
