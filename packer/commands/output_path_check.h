// Checks a path the packer writes (the launcher, the depfile) before any
// work, so that writing it can never replace one of the user's inputs.
#pragma once

#include "packer/commands/pack_options.h"

#include <filesystem>
#include <string>
#include <vector>

namespace tallix {

struct NamedPath {
    std::string option; // how the user gave it: "--icon", "-o"
    std::filesystem::path path;
};

// Throws BadInput naming the option, the path, the cause and the fix when
// the path lies in a directory that does not exist, exists as anything but
// a regular file, lies inside `appDirectory` or is one of `inputs` (also
// through a link).
void checkOutputPath(const NamedPath &output, const std::filesystem::path &appDirectory,
                     const std::vector<NamedPath> &inputs);

// Throws BadInput when `appDirectory` or one of `inputs` lies inside the
// work folder beside the launcher `output`, which the packer empties.
void checkWorkFolder(const std::filesystem::path &output, const std::filesystem::path &appDirectory,
                     const std::vector<NamedPath> &inputs);

// Both checks for every path a pack writes (-o, --depfile) against every
// file the user named, and against `runtimeFiles` once they are known.
void checkPackOutputs(const PackOptions &options,
                      const std::vector<std::filesystem::path> &runtimeFiles = {});

} // namespace tallix
