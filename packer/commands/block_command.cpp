// tallix-pack block: writes only the attached data block of an application
// directory, for tests and benchmarks that link a block into a program of
// their own.
#include "packer/block/block_writer.h"
#include "packer/commands/command_line.h"
#include "packer/commands/commands.h"
#include "packer/commands/pack/output_path_check.h"
#include "packer/commands/pack/pack_options.h"
#include "packer/support/host_system.h"
#include "packer/support/pack_errors.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

namespace tallix {

namespace fs = std::filesystem;

namespace {

struct BlockArguments {
    fs::path appDir;
    std::optional<fs::path> output;
    std::optional<fs::path> main;
    std::optional<fs::path> index;
    BlockOptions options;
    std::optional<std::uint64_t> frameTarget; // --frame-kib
};

CommandSpec blockCommand(BlockArguments &arguments) {
    return {
        "block",
        "APP_DIR",
        "APP_DIR -o BLOCK.bin [options]",
        "Writes the attached data block of APP_DIR: every file below it, compressed\n"
        "into independent zstd frames of whole files, the main program first.\n",
        {
            [&] {
                OptionSpec output = pathOption("--output", "BLOCK.bin", "",
                                               "the block file to write, replaced only on "
                                               "success",
                                               arguments.output);
                output.shortName = 'o';
                output.required = true;
                return output;
            }(),
            pathOption("--main", "REL_PATH", "the only .exe directly in APP_DIR",
                       "the program the launcher starts, relative to APP_DIR (\"/\" or \"\\\" "
                       "separated)",
                       arguments.main),
            numberOption("--level", "N", std::to_string(DEFAULT_LEVEL), "zstd level, 1 to 22",
                         LEVEL_MIN, LEVEL_MAX,
                         [&arguments](int level) { arguments.options.level = level; }),
            numberOption("--jobs", "N", "every core",
                         "compression threads; the block is the same for any value", 1, JOBS_MAX,
                         [&arguments](int jobs) { arguments.options.workers = jobs; }),
            frameKibOption(
                [&arguments](int kib) { arguments.frameTarget = std::uint64_t(kib) << 10; }),
            pathOption("--index", "INDEX.bin", "",
                       "also write the index of the records (name, size and CRC-32 of each), "
                       "the launcher's second constant",
                       arguments.index),
        },
        "",
    };
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
    fs::path partial = *arguments.output;
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
            std::string index = encodePayloadIndex(summary.records, summary.frames);
            std::ofstream indexOut(*arguments.index, std::ios::binary | std::ios::trunc);
            indexOut.write(index.data(), static_cast<std::streamsize>(index.size()));
            indexOut.close();
            if (!indexOut) {
                throw PackFailure("cannot write '" + arguments.index->string() + "'");
            }
        }
        std::error_code error;
        fs::rename(partial, *arguments.output, error);
        if (error) {
            throw PackFailure("cannot rename '" + partial.string() + "' to '" +
                              arguments.output->string() + "': " + error.message());
        }
        std::printf("%s: %llu files, %llu content bytes, block of %llu bytes\n",
                    arguments.output->string().c_str(),
                    static_cast<unsigned long long>(summary.files),
                    static_cast<unsigned long long>(summary.contentBytes),
                    static_cast<unsigned long long>(summary.blockBytes));
    } catch (const PackFailure &failure) {
        std::error_code ignored;
        fs::remove(partial, ignored);
        throw PackFailure(arguments.output->string() + ": " + failure.what());
    } catch (...) {
        std::error_code ignored;
        fs::remove(partial, ignored);
        throw;
    }
}

// Before the compression, which may take minutes.
void checkBlockOutputs(const BlockArguments &arguments) {
    checkOutputPlace({"-o", *arguments.output}, arguments.appDir);
    if (!arguments.index) {
        return;
    }
    checkOutputPlace({"--index", *arguments.index}, arguments.appDir);
    std::error_code error;
    if (fs::weakly_canonical(fs::absolute(*arguments.index), error) ==
        fs::weakly_canonical(fs::absolute(*arguments.output), error)) {
        throw BadInput("--index " + arguments.index->string() +
                       ": is the same file as -o; choose another path");
    }
}

} // namespace

int runBlockCommand(const Arguments &args) {
    BlockArguments arguments;
    unsigned hardware = std::thread::hardware_concurrency();
    arguments.options.workers = std::clamp(static_cast<int>(hardware), 1, JOBS_MAX);
    arguments.options.level = DEFAULT_LEVEL;
    return runCommand(blockCommand(arguments), args, [&](const std::string &appDir) {
        arguments.appDir = appDir;
        std::error_code error;
        if (!fs::is_directory(arguments.appDir, error)) {
            throw BadInput("'" + arguments.appDir.string() + "' is not a directory");
        }
        checkBlockOutputs(arguments);
        fs::path main = arguments.main ? *arguments.main : defaultMainProgram(arguments.appDir);
        std::vector<PayloadFile> files = collectPayloadFiles(arguments.appDir, main);
        BlockOptions &options = arguments.options;
        options.wholeFrameWindows = options.level >= WHOLE_FRAME_WINDOW_LEVEL;
        options.frameTarget = arguments.frameTarget.value_or(
            options.wholeFrameWindows ? applicationFrameTarget(files) : PAYLOAD_FRAME_TARGET_BYTES);
        writeBlockFile(arguments, files);
        return int(STATUS_SUCCESS);
    });
}

} // namespace tallix
