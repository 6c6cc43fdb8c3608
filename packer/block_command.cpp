// tallix-pack block: writes only the attached data block of an application
// directory, for tests and benchmarks that link a block into a program of
// their own.
#include "packer/block_writer.h"
#include "packer/commands.h"
#include "packer/host_system.h"
#include "packer/pack_errors.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

namespace tallix {

namespace fs = std::filesystem;

namespace {

const char BLOCK_USAGE[] =
    "usage: tallix-pack block APP_DIR -o BLOCK.bin [--main REL] [--level N] [--jobs N]\n"
    "                         [--index INDEX.bin]\n"
    "\n"
    "Writes the attached data block of APP_DIR: every file below it, compressed\n"
    "into one zstd frame, the main program first.\n"
    "\n"
    "options:\n"
    "  -o, --output BLOCK.bin  the block file to write (replaced only on success)\n"
    "  --main REL              the program the launcher starts, relative to APP_DIR\n"
    "                          (\"/\" or \"\\\" separated); default: the only .exe\n"
    "                          directly in APP_DIR\n"
    "  --level N               zstd compression level, 1..22 (default 3)\n"
    "  --jobs N                zstd worker threads, 1 or more (default: the number of\n"
    "                          processors); the block is the same for every count\n"
    "  --index INDEX.bin       also write the index of the records (name, size and\n"
    "                          CRC-32 of each), the launcher's second constant\n"
    "  -h, --help              show this help\n";

struct BlockArguments {
    fs::path appDir;
    fs::path output;
    std::optional<fs::path> main;
    std::optional<fs::path> index;
    BlockOptions options;
};

int parseNumber(const std::string &option, const std::string &text) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        throw BadInput("option " + option + ": '" + text + "' is not a number");
    }
    return value;
}

BlockArguments parseArguments(const Arguments &args) {
    BlockArguments parsed;
    unsigned hardware = std::thread::hardware_concurrency();
    parsed.options.workers = hardware > 0 ? static_cast<int>(hardware) : 1;
    bool haveAppDir = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        std::optional<std::string> inlineValue;
        if (option.starts_with("--") && option.find('=') != std::string::npos) {
            inlineValue = option.substr(option.find('=') + 1);
            option = option.substr(0, option.find('='));
        }
        auto value = [&]() -> std::string {
            if (inlineValue) {
                return *inlineValue;
            }
            if (i + 1 >= args.size()) {
                throw BadInput("option " + option + " needs a value");
            }
            return args[++i];
        };
        if (option == "-o" || option == "--output") {
            parsed.output = value();
        } else if (option == "--main") {
            parsed.main = fs::path(value());
        } else if (option == "--index") {
            parsed.index = fs::path(value());
        } else if (option == "--level") {
            parsed.options.level = parseNumber(option, value());
        } else if (option == "--jobs") {
            parsed.options.workers = parseNumber(option, value());
            if (parsed.options.workers < 1) {
                throw BadInput("option --jobs: the count must be 1 or more");
            }
        } else if (option.starts_with("-") && option != "-") {
            throw BadInput("unknown option '" + args[i] + "'");
        } else if (!haveAppDir) {
            parsed.appDir = option;
            haveAppDir = true;
        } else {
            throw BadInput("unexpected argument '" + option + "'");
        }
    }
    if (!haveAppDir) {
        throw BadInput("no application directory given");
    }
    if (parsed.output.empty()) {
        throw BadInput("no output file given (-o BLOCK.bin)");
    }
    return parsed;
}

bool isExecutableName(const std::string &name) {
    if (name.size() < 4) {
        return false;
    }
    std::string suffix = name.substr(name.size() - 4);
    for (char &c : suffix) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return suffix == ".exe";
}

fs::path defaultMainProgram(const fs::path &appDir) {
    std::vector<fs::path> programs;
    std::error_code error;
    for (fs::directory_iterator it(appDir, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        if (it->is_regular_file() && isExecutableName(it->path().filename().string())) {
            programs.push_back(it->path().filename());
        }
    }
    if (error) {
        throw BadInput("cannot read the directory '" + appDir.string() + "': " + error.message());
    }
    if (programs.size() != 1) {
        throw BadInput("'" + appDir.string() + "' holds " + std::to_string(programs.size()) +
                       " .exe files directly; name the main program with --main");
    }
    return programs.front();
}

// Written beside the target and renamed over it, so a failure leaves no
// partial block behind.
void writeBlockFile(const BlockArguments &arguments, const std::vector<PayloadFile> &files) {
    fs::path partial = arguments.output;
    partial += ".partial-" + std::to_string(processId());
    try {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        if (!out) {
            throw PackFailure("cannot create '" + partial.string() + "': " + std::strerror(errno));
        }
        BlockSummary summary = writeAttachedData(files, out, arguments.options);
        out.close();
        if (!out) {
            throw PackFailure("cannot write '" + partial.string() + "'");
        }
        if (arguments.index) {
            std::string index = encodePayloadIndex(summary.records);
            std::ofstream indexOut(*arguments.index, std::ios::binary | std::ios::trunc);
            indexOut.write(index.data(), static_cast<std::streamsize>(index.size()));
            indexOut.close();
            if (!indexOut) {
                throw PackFailure("cannot write '" + arguments.index->string() + "'");
            }
        }
        std::error_code error;
        fs::rename(partial, arguments.output, error);
        if (error) {
            throw PackFailure("cannot rename '" + partial.string() + "' to '" +
                              arguments.output.string() + "': " + error.message());
        }
        std::printf("%s: %llu files, %llu content bytes, block of %llu bytes\n",
                    arguments.output.string().c_str(),
                    static_cast<unsigned long long>(summary.files),
                    static_cast<unsigned long long>(summary.contentBytes),
                    static_cast<unsigned long long>(summary.blockBytes));
    } catch (const PackFailure &failure) {
        std::error_code ignored;
        fs::remove(partial, ignored);
        throw PackFailure(arguments.output.string() + ": " + failure.what());
    } catch (...) {
        std::error_code ignored;
        fs::remove(partial, ignored);
        throw;
    }
}

} // namespace

int runBlockCommand(const Arguments &args) {
    for (const std::string &arg : args) {
        if (arg == "-h" || arg == "--help") {
            std::fputs(BLOCK_USAGE, stdout);
            return STATUS_SUCCESS;
        }
    }
    return runReportingErrors("block", [&] {
        BlockArguments arguments = parseArguments(args);
        std::error_code error;
        if (!fs::is_directory(arguments.appDir, error)) {
            throw BadInput("'" + arguments.appDir.string() + "' is not a directory");
        }
        fs::path main = arguments.main ? *arguments.main : defaultMainProgram(arguments.appDir);
        std::vector<PayloadFile> files = collectPayloadFiles(arguments.appDir, main);
        for (const auto &[first, second] : findCaseCollisions(files)) {
            std::fprintf(stderr,
                         "tallix-pack block: warning: '%s' and '%s' differ only in letter case "
                         "and are one file on Windows\n",
                         first.string().c_str(), second.string().c_str());
        }
        writeBlockFile(arguments, files);
        return int(STATUS_SUCCESS);
    });
}

} // namespace tallix
