#include "packer/commands/pack/pack_options.h"

#include "format/progress_window.h"
#include "packer/block/block_writer.h"
#include "packer/support/pack_errors.h"

#include <limits>

namespace tallix {

namespace {

const char PACK_DESCRIPTION[] =
    R"(Packs the application directory APP_DIR into one Windows executable that
unpacks it into a per-user cache on its first start and runs its main program.
)";

const char PACK_EPILOGUE[] =
    R"(Placeholders of --template and --arg (names in any letter case):
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

void setWindowLog(PackOptions &options, const std::string &value) {
    int log = parseNumber("--window-log", value, 0, std::numeric_limits<int>::max());
    if (log < WINDOW_LOG_MIN) {
        parseNumber("--window-log", value, WINDOW_LOG_MIN, WINDOW_LOG_MAX); // throws
    }
    if (log > WINDOW_LOG_MAX) {
        throw BadInput("--window-log " + value +
                       " is refused: the launcher decodes windows of at most 2^" +
                       std::to_string(WINDOW_LOG_MAX) + " bytes");
    }
    options.windowLog = log;
}

void setCheck(PackOptions &options, const std::string &value) {
    if (value != "quick" && value != "content") {
        throw BadInput("--check '" + value + "': expected quick or content");
    }
    options.quickCheck = value == "quick";
}

void setExecutionLevel(PackOptions &options, const std::string &value) {
    if (value != "asInvoker" && value != "highestAvailable" && value != "requireAdministrator") {
        throw BadInput("--execution-level '" + value +
                       "': expected asInvoker, highestAvailable or requireAdministrator");
    }
    options.executionLevel = value;
}

OptionSpec subsystemOption(PackOptions &options, std::string name, Subsystem subsystem,
                           std::string help, std::string defaultText) {
    OptionSpec option{
        std::move(name),
        OptionKind::Flag,
        "",
        std::move(defaultText),
        std::move(help),
        [&options, subsystem](const std::string &) {
            // One wins over the other only by accident of order: say so.
            if (options.subsystem && *options.subsystem != subsystem) {
                throw BadInput(
                    "--gui and --console contradict each other: a launcher is one or the other; "
                    "give one of them");
            }
            options.subsystem = subsystem;
        }};
    return option;
}

} // namespace

OptionSpec frameKibOption(std::function<void(int)> set) {
    return numberOption(
        "--frame-kib", "N",
        std::to_string(PAYLOAD_FRAME_TARGET_BYTES >> 10) + "; from level " +
            std::to_string(WHOLE_FRAME_WINDOW_LEVEL) + " sized to the files",
        "a new frame starts before a file that would carry the frame past N KiB of records; a "
        "larger file has a frame of its own. From level " +
            std::to_string(WHOLE_FRAME_WINDOW_LEVEL) +
            " (without --window-log) the default is a quarter of the files' bytes, within " +
            std::to_string(PAYLOAD_FRAME_TARGET_BYTES >> 10) + " to " +
            std::to_string(WHOLE_FRAME_MAX_BYTES >> 10) +
            ", and each frame's window covers it whole",
        1, FRAME_KIB_MAX, std::move(set));
}

CommandSpec packCommand(PackOptions &o) {
    OptionSpec output{"--output",
                      OptionKind::Path,
                      "OUTPUT.exe",
                      "",
                      "the launcher to write",
                      [&o](const std::string &value) { o.output = value; },
                      'o',
                      true};
    OptionSpec windowLog{"--window-log",
                         OptionKind::Number,
                         "N",
                         "the level's own",
                         "zstd window log, 10 to 27",
                         [&o](const std::string &value) { setWindowLog(o, value); }};
    return {
        "pack",
        "APP_DIR",
        "APP_DIR -o OUTPUT.exe [options]",
        PACK_DESCRIPTION,
        {
            output,
            textOption("--main", "REL_PATH", "the only .exe at the top of APP_DIR",
                       "the program to start, relative to APP_DIR", o.mainProgram),
            textOption("--template", "TEXT", "{CACHE_DIR}\\{COMPANY}\\{PRODUCT}-{VERSION}",
                       "where the launcher unpacks the application", o.directoryTemplate),
            textOption("--company", "TEXT", "the product name", "company name", o.company),
            textOption("--product", "TEXT", "OUTPUT's name without .exe", "product name",
                       o.product),
            textOption("--app-version", "X.Y.Z", "1.0.0",
                       "version, 1 to 4 numbers of at most 65535", o.appVersion),
            textOption("--file-version", "X.Y.Z", "--app-version",
                       "file version; also the manifest's assembly version", o.fileVersion),
            textOption("--product-version", "TEXT", "--app-version",
                       "product version, free text such as 2.1-beta; the numeric version takes "
                       "the numbers it starts with, else --app-version's",
                       o.productVersion),
            textOption("--description", "TEXT", "the product name", "file description",
                       o.description),
            textOption("--copyright", "TEXT", "none", "legal copyright", o.copyright),
            textOption("--original-filename", "NAME", "OUTPUT's file name", "original file name",
                       o.originalFilename),
            textOption("--internal-name", "NAME", "OUTPUT's name without .exe", "internal name",
                       o.internalName),
            pathOption("--icon", "FILE", "built-in",
                       "a PNG or an .ico; the sizes of 16 to 256 pixels it lacks are resized from "
                       "its largest image",
                       o.icon),
            textOption("--manifest-name", "NAME", "from the product",
                       "assembly identity in the manifest", o.manifestName),
            OptionSpec{"--execution-level", OptionKind::Text,
                       "asInvoker|highestAvailable|requireAdministrator", "asInvoker",
                       "the rights Windows asks for when the launcher starts (the manifest's "
                       "requestedExecutionLevel); requireAdministrator shows the elevation "
                       "prompt on every start",
                       [&o](const std::string &value) { setExecutionLevel(o, value); }},
            pathOption("--manifest", "FILE", "",
                       "use FILE, well-formed XML whose root is <assembly>, as the launcher's "
                       "manifest instead of the one tallix-pack writes; not with "
                       "--manifest-name or --execution-level, which only shape that one",
                       o.manifest),
            OptionSpec{"--arg", OptionKind::Text, "TEXT", "",
                       "an argument put before the user's (repeatable); the template's "
                       "placeholders and {APP_DIR} (the folder the application was unpacked to) "
                       "are expanded at start",
                       [&o](const std::string &text) { o.leadingArguments.push_back(text); }},
            flagOption("--clean-old-versions",
                       "after a start, remove the folders that older versions of this company's "
                       "product unpacked beside this one, unless they are in use",
                       o.cleanOldVersions),
            flagOption("--kill-child-with-launcher",
                       "end the application (and what it started) when the launcher ends, also "
                       "when the launcher is killed",
                       o.killChildWithLauncher),
            pathOption("--splash", "IMAGE.png", "the icon and a line",
                       "the image a GUI launcher's window shows while a long start unpacks, a PNG "
                       "of at most " +
                           std::to_string(SPLASH_MAX_WIDTH) + "x" +
                           std::to_string(SPLASH_MAX_HEIGHT) + " pixels",
                       o.splash),
            flagOption("--no-progress-window",
                       "a GUI launcher shows no window while a long start unpacks",
                       o.noProgressWindow),
            subsystemOption(o, "--console", Subsystem::Console, "build a console launcher", ""),
            subsystemOption(o, "--gui", Subsystem::Gui, "build a GUI launcher",
                            "the main program's own subsystem"),
            OptionSpec{"--exclude", OptionKind::Text, "GLOB", "",
                       "leave out what GLOB matches (repeatable), as in .gitignore: '*' and '?' "
                       "within a name, '**' any folders, a trailing '/' folders only, no '/' in "
                       "GLOB any depth; matched on the '/'-separated path below APP_DIR (e.g. "
                       "'*.bak', 'node_modules/.bin/')",
                       [&o](const std::string &glob) { o.exclusions.push_back(glob); }},
            numberOption("--level", "N", std::to_string(DEFAULT_LEVEL), "zstd level, 1 to 22",
                         LEVEL_MIN, LEVEL_MAX, [&o](int level) { o.level = level; }),
            numberOption("--jobs", "N", "every core",
                         "compression threads; the output is the same for any value", 1, JOBS_MAX,
                         [&o](int jobs) { o.jobs = jobs; }),
            windowLog,
            frameKibOption([&o](int kib) { o.frameKib = kib; }),
            pathOption("--depfile", "FILE", "", "write a Makefile dependency file of every input",
                       o.depfile),
            pathOption("--sign-cert", "FILE", "",
                       "sign with this certificate (PEM) or PKCS#12 bundle", o.signCertificate),
            pathOption("--sign-key", "FILE", "", "the certificate's private key (PEM)", o.signKey),
            pathOption("--sign-pass-file", "FILE", "", "the password of the key or bundle",
                       o.signPasswordFile),
            pathOption("--runtime", "DIR", "../lib/tallix-onefile next to this tool",
                       "the launcher runtime", o.runtime),
            flagOption("--no-index",
                       "leave out the index of names, sizes and CRC-32s; every start then "
                       "decodes the whole payload",
                       o.noIndex),
            flagOption("--no-branch-filter",
                       "store the code of x86 programs and libraries as it is; by default "
                       "their call and jump targets are made absolute where that packs smaller "
                       "(never with --no-index)",
                       o.noBranchFilter),
            OptionSpec{"--check", OptionKind::Text, "quick|content", "content",
                       "how a warm start checks the unpacked files: content reads every file "
                       "and compares its CRC-32; quick compares each file's size, last-write "
                       "time and identity with a record the launcher keeps, and reads only the "
                       "files that differ (it misses a change that keeps all three)",
                       [&o](const std::string &value) { setCheck(o, value); }},
            flagOption("--quiet", "no progress line and no summary", o.quiet),
        },
        PACK_EPILOGUE,
    };
}

PackOptions parsePackOptions(const Arguments &args) {
    PackOptions options;
    std::optional<std::string> appDirectory = parseCommandLine(packCommand(options), args);
    if (!appDirectory) {
        options.help = true;
        return options;
    }
    options.appDirectory = *appDirectory;
    return options;
}

} // namespace tallix
