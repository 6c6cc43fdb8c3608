#include "packer/commands/pack/output_path_check.h"

#include "packer/support/pack_errors.h"
#include "packer/support/work_directory.h"

#include <algorithm>
#include <iterator>

namespace tallix {

namespace fs = std::filesystem;

const char *fileKind(fs::file_status status) {
    return fs::is_fifo(status)             ? "a FIFO"
           : fs::is_character_file(status) ? "a character device"
           : fs::is_block_file(status)     ? "a block device"
           : fs::is_socket(status)         ? "a socket"
                                           : "not a regular file";
}

namespace {

// `inner` is `outer` or lies below it, once links and ".." are resolved.
bool isWithin(const fs::path &inner, const fs::path &outer) {
    std::error_code error;
    fs::path resolvedInner = fs::weakly_canonical(fs::absolute(inner), error);
    fs::path resolvedOuter = fs::weakly_canonical(fs::absolute(outer), error);
    if (error) {
        return false;
    }
    auto [end, innerPosition] = std::mismatch(resolvedOuter.begin(), resolvedOuter.end(),
                                              resolvedInner.begin(), resolvedInner.end());
    // weakly_canonical keeps a trailing separator as an empty last element.
    return end == resolvedOuter.end() || (std::next(end) == resolvedOuter.end() && end->empty());
}

bool sameFile(const fs::path &a, const fs::path &b) {
    std::error_code error;
    if (fs::exists(a, error) && fs::exists(b, error)) {
        return fs::equivalent(a, b, error);
    }
    return fs::weakly_canonical(fs::absolute(a), error) ==
           fs::weakly_canonical(fs::absolute(b), error);
}

} // namespace

void checkOutputPlace(const NamedPath &output, const fs::path &appDirectory) {
    auto refuse = [&output](const std::string &cause) {
        throw BadInput(output.option + " " + output.path.string() + ": " + cause);
    };
    fs::path directory =
        output.path.parent_path().empty() ? fs::path(".") : output.path.parent_path();
    std::error_code error;
    if (!fs::is_directory(directory, error)) {
        refuse("the directory " + directory.string() + " does not exist");
    }
    fs::file_status status = fs::status(output.path, error);
    if (fs::is_directory(status)) {
        refuse("is a directory");
    }
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        refuse(std::string("exists and is ") + fileKind(status) +
               ", which the packer would replace; choose another path");
    }
    if (isWithin(output.path, appDirectory)) {
        refuse("lies inside the application directory " + appDirectory.string() +
               " and would be packed into the next build; write it elsewhere");
    }
}

namespace {

void checkSpared(const NamedPath &output, const std::vector<NamedPath> &inputs) {
    for (const NamedPath &input : inputs) {
        if (sameFile(output.path, input.path)) {
            throw BadInput(output.option + " " + output.path.string() + ": is the same file as " +
                           input.option + " " + input.path.string() +
                           ", which it would overwrite; choose another path");
        }
    }
}

[[noreturn]] void refuseWorkFolder(const fs::path &output, const std::string &held) {
    throw BadInput("-o " + output.string() + ": the packer empties the work folder " +
                   workDirectoryFor(output).string() + " beside it, which holds the " + held +
                   "; choose another path");
}

void checkWorkFolderSpares(const fs::path &output, const std::vector<NamedPath> &inputs) {
    for (const NamedPath &input : inputs) {
        if (isWithin(input.path, workDirectoryFor(output))) {
            refuseWorkFolder(output, input.option + " file");
        }
    }
}

} // namespace

std::vector<NamedPath> namedInputFiles(const PackOptions &options) {
    std::vector<NamedPath> inputs;
    for (const auto &[option, file] :
         {std::pair{"--icon", options.icon}, std::pair{"--splash", options.splash},
          std::pair{"--sign-cert", options.signCertificate},
          std::pair{"--sign-key", options.signKey},
          std::pair{"--sign-pass-file", options.signPasswordFile}}) {
        if (file) {
            inputs.push_back({option, *file});
        }
    }
    return inputs;
}

void checkPackOutputs(const PackOptions &options, const std::vector<NamedPath> &inputs) {
    if (isWithin(options.appDirectory, workDirectoryFor(options.output))) {
        refuseWorkFolder(options.output, "application directory");
    }
    checkWorkFolderSpares(options.output, inputs);
    const NamedPath launcher{"-o", options.output};
    checkOutputPlace(launcher, options.appDirectory);
    if (!options.depfile) {
        checkSpared(launcher, inputs);
        return;
    }
    // Neither written file may be the other.
    const NamedPath depfile{"--depfile", *options.depfile};
    std::vector<NamedPath> others = inputs;
    others.push_back(depfile);
    checkSpared(launcher, others);
    others.back() = launcher;
    checkOutputPlace(depfile, options.appDirectory);
    checkSpared(depfile, others);
}

void checkOutputsSpare(const PackOptions &options, const std::vector<NamedPath> &inputs) {
    checkWorkFolderSpares(options.output, inputs);
    checkSpared({"-o", options.output}, inputs);
    if (options.depfile) {
        checkSpared({"--depfile", *options.depfile}, inputs);
    }
}

} // namespace tallix
