#include "packer/pack_options.h"

#include "packer/pack_errors.h"

#include <charconv>
#include <limits>
#include <map>

namespace tallix {

const char PACK_USAGE[] = R"(usage: tallix-pack pack APP_DIR -o OUTPUT.exe [options]

Packs the application directory APP_DIR into one Windows executable that
unpacks it into a per-user cache on its first start and runs its main program.

  -o, --output FILE          the launcher to write (required)
  --main REL_PATH            the program to start, relative to APP_DIR
                             (default: the only .exe at the top of APP_DIR)
  --template TEXT            where the launcher unpacks the application
                             (default: {CACHE_DIR}\{COMPANY}\{PRODUCT}-{VERSION})
  --company TEXT             company name (default: the product name)
  --product TEXT             product name (default: OUTPUT's name without .exe)
  --app-version X.Y.Z        version, 1 to 4 numbers of at most 65535 (default: 1.0.0)
  --file-version X.Y.Z       file version (default: --app-version)
  --product-version X.Y.Z    product version (default: --app-version)
  --description TEXT         file description (default: the product name)
  --copyright TEXT           legal copyright (default: none)
  --original-filename NAME   original file name (default: OUTPUT's file name)
  --internal-name NAME       internal name (default: OUTPUT's name without .exe)
  --icon FILE                a square PNG of at least 256 pixels, or an .ico with
                             seven PNG images of 16 to 256 pixels (default: built-in)
  --manifest-name NAME       assembly identity in the manifest (default: from the product)
  --arg TEXT                 an argument put before the user's (repeatable); the
                             template's placeholders and {APP_DIR} (the folder the
                             application was unpacked to) are expanded at start
  --clean-old-versions       after a start, remove the folders that older versions
                             of this company's product unpacked beside this one,
                             unless they are in use
  --kill-child-with-launcher end the application (and what it started) when the
                             launcher ends, also when the launcher is killed
  --console                  build a console launcher
  --gui                      build a GUI launcher (default: the main program's
                             own subsystem)
  --exclude GLOB             leave out what GLOB matches (repeatable), as in
                             .gitignore: '*' and '?' within a name, '**' any
                             folders, a trailing '/' folders only, no '/' in
                             GLOB any depth; matched on the '/'-separated path
                             below APP_DIR (e.g. '*.bak', 'node_modules/.bin/')
  --level N                  zstd level, 1 to 22 (default: 9)
  --jobs N                   compression threads (default: every core); the
                             output is the same for any value
  --window-log N             zstd window log, 10 to 27 (default: the level's own)
  --depfile FILE             write a Makefile dependency file of every input
  --sign-cert FILE           sign with this certificate (PEM) or PKCS#12 bundle
  --sign-key FILE            the certificate's private key (PEM)
  --sign-pass-file FILE      the password of the key or bundle
  --runtime DIR              the launcher runtime (default: ../lib/tallix-onefile
                             next to this tool)
  --no-index                 leave out the index of names, sizes and CRC-32s;
                             every start then decodes the whole payload
  --quiet                    no progress line and no summary
  -h, --help                 show this help

Placeholders of --template and --arg (names in any letter case):
  {CACHE_DIR}        the user's local application data  C:\Users\ann\AppData\Local
  {HOME}             the user's profile folder           C:\Users\ann
  {TEMP}             the user's temporary folder         C:\Users\ann\AppData\Local\Temp
  {PROGRAM}          the launcher's full path            D:\tools\MyApp.exe
  {PROGRAM_BASE}     the same without ".exe"             D:\tools\MyApp
  {PROGRAM_DIR}      the launcher's folder               D:\tools
  {PID}              the launcher's process id           4711
  {COMPANY}          --company                           Example Co
  {PRODUCT}          --product                           MyApp
  {VERSION}          --app-version                       2.3.1
  {FILE_VERSION}     --file-version                      2.3.1
  {PRODUCT_VERSION}  --product-version                   2.3.1
  {RANDOM}           11 random characters, new per start kX3q9_Tz0aB
  {TIME}             the start time, 100 ns since 1601   133790112000000000
  {TIME_US}          the start's microseconds, 6 digits  042137
  {APP_DIR}          --arg only: the unpack folder       C:\Users\ann\AppData\Local\Example Co\MyApp-2.3.1
The first six are full paths: use them only at the start of the template.

Exit status: 0 success, 2 bad input, 1 any other failure.
)";

namespace {

enum class Kind { Text, Path, Number, Flag, List, Subsystem };

struct OptionSpec {
    Kind kind;
    std::optional<std::string> PackOptions::*text = nullptr;
    std::optional<std::filesystem::path> PackOptions::*path = nullptr;
    bool PackOptions::*flag = nullptr;
    std::vector<std::string> PackOptions::*list = nullptr; // each use appends
    Subsystem subsystem = Subsystem::Gui;
};

int parseNumber(const std::string &option, const std::string &value, int minimum, int maximum) {
    int number = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (error != std::errc() || end != value.data() + value.size() || number < minimum ||
        number > maximum) {
        throw BadInput(option + " '" + value + "': expected a number from " +
                       std::to_string(minimum) + " to " + std::to_string(maximum));
    }
    return number;
}

} // namespace

PackOptions parsePackOptions(const Arguments &args) {
    using P = PackOptions;
    const std::map<std::string, OptionSpec> specs = {
        {"--main", {Kind::Text, &P::mainProgram}},
        {"--template", {Kind::Text, &P::directoryTemplate}},
        {"--company", {Kind::Text, &P::company}},
        {"--product", {Kind::Text, &P::product}},
        {"--app-version", {Kind::Text, &P::appVersion}},
        {"--file-version", {Kind::Text, &P::fileVersion}},
        {"--product-version", {Kind::Text, &P::productVersion}},
        {"--description", {Kind::Text, &P::description}},
        {"--copyright", {Kind::Text, &P::copyright}},
        {"--original-filename", {Kind::Text, &P::originalFilename}},
        {"--internal-name", {Kind::Text, &P::internalName}},
        {"--manifest-name", {Kind::Text, &P::manifestName}},
        {"--icon", {Kind::Path, nullptr, &P::icon}},
        {"--depfile", {Kind::Path, nullptr, &P::depfile}},
        {"--sign-cert", {Kind::Path, nullptr, &P::signCertificate}},
        {"--sign-key", {Kind::Path, nullptr, &P::signKey}},
        {"--sign-pass-file", {Kind::Path, nullptr, &P::signPasswordFile}},
        {"--runtime", {Kind::Path, nullptr, &P::runtime}},
        {"--level", {Kind::Number}},
        {"--jobs", {Kind::Number}},
        {"--window-log", {Kind::Number}},
        {"--arg", {.kind = Kind::List, .list = &P::leadingArguments}},
        {"--clean-old-versions", {.kind = Kind::Flag, .flag = &P::cleanOldVersions}},
        {"--kill-child-with-launcher", {.kind = Kind::Flag, .flag = &P::killChildWithLauncher}},
        {"--exclude", {.kind = Kind::List, .list = &P::exclusions}},
        {"--console", {.kind = Kind::Subsystem, .subsystem = Subsystem::Console}},
        {"--gui", {.kind = Kind::Subsystem, .subsystem = Subsystem::Gui}},
        {"--quiet", {Kind::Flag, nullptr, nullptr, &P::quiet}},
        {"--no-index", {Kind::Flag, nullptr, nullptr, &P::noIndex}},
    };
    PackOptions options;
    std::optional<std::string> appDirectory, output;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string argument = args[i];
        if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
            if (appDirectory) {
                throw BadInput("unexpected argument '" + argument + "' (only one APP_DIR)");
            }
            appDirectory = argument;
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "-h" || argument == "--help") {
            options.help = true;
            return options;
        }
        std::optional<std::string> inlineValue;
        if (std::size_t equals = argument.find('=');
            argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            inlineValue = argument.substr(equals + 1);
            argument.resize(equals);
        }
        if (argument == "-o") {
            argument = "--output";
        }
        auto spec = specs.find(argument);
        if (spec == specs.end() && argument != "--output") {
            throw BadInput("unknown option '" + argument + "' (see tallix-pack pack --help)");
        }
        if (spec != specs.end() &&
            (spec->second.kind == Kind::Flag || spec->second.kind == Kind::Subsystem)) {
            if (inlineValue) {
                throw BadInput(argument + " takes no value");
            }
            if (spec->second.kind == Kind::Flag) {
                options.*(spec->second.flag) = true;
            } else {
                options.subsystem = spec->second.subsystem;
            }
            continue;
        }
        std::string value;
        if (inlineValue) {
            value = *inlineValue;
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            throw BadInput(argument + " needs a value");
        }
        if (argument == "--output") {
            output = value;
        } else if (argument == "--level") {
            options.level = parseNumber(argument, value, LEVEL_MIN, LEVEL_MAX);
        } else if (argument == "--jobs") {
            options.jobs = parseNumber(argument, value, 1, JOBS_MAX);
        } else if (argument == "--window-log") {
            int log = parseNumber(argument, value, 0, std::numeric_limits<int>::max());
            if (log < WINDOW_LOG_MIN) {
                parseNumber(argument, value, WINDOW_LOG_MIN, WINDOW_LOG_MAX); // throws
            }
            if (log > WINDOW_LOG_MAX) {
                throw BadInput("--window-log " + value +
                               " is refused: the launcher decodes "
                               "windows of at most 2^" +
                               std::to_string(WINDOW_LOG_MAX) + " bytes");
            }
            options.windowLog = log;
        } else if (spec->second.kind == Kind::List) {
            (options.*(spec->second.list)).push_back(value);
        } else if (spec->second.kind == Kind::Path) {
            if (value.empty()) {
                throw BadInput(argument + " needs a file name");
            }
            options.*(spec->second.path) = std::filesystem::path(value);
        } else {
            options.*(spec->second.text) = value;
        }
    }
    if (!appDirectory) {
        throw BadInput("missing APP_DIR (see tallix-pack pack --help)");
    }
    if (!output || output->empty()) {
        throw BadInput("missing -o OUTPUT.exe (see tallix-pack pack --help)");
    }
    options.appDirectory = *appDirectory;
    options.output = *output;
    return options;
}

} // namespace tallix
