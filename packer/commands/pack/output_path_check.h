// Checks the paths a pack (or a block) writes before any work, so that
// writing them can never replace or remove one of its inputs.
#pragma once

#include "packer/commands/pack/pack_options.h"

#include <filesystem>
#include <string>
#include <vector>

namespace tallix {

struct NamedPath {
    std::string option; // how the user gave it: "--icon", "-o"
    std::filesystem::path path;
};

// "a FIFO", "a character device", "a block device", "a socket", or "not a
// regular file" for anything else that is neither a file nor a directory.
const char *fileKind(std::filesystem::file_status status);

// Where a written file may lie: in an existing directory, outside
// `appDirectory`, and a regular file if it exists. Throws BadInput naming
// the option, the path, the cause and the fix.
void checkOutputPlace(const NamedPath &output, const std::filesystem::path &appDirectory);

// The files a pack reads that the user named (--icon, --splash, --sign-cert,
// --sign-key, --sign-pass-file), as given.
std::vector<NamedPath> namedInputFiles(const PackOptions &options);

// Every path the pack writes (-o, and --depfile when given) must lie in an
// existing directory, outside the application directory, be a regular file
// if it exists, and be neither the other output nor one of `inputs` (also
// through a link); the work folder beside -o, which the pack empties, must
// hold neither the application directory nor one of `inputs`. Throws
// BadInput naming the option, the path, the cause and the fix.
void checkPackOutputs(const PackOptions &options, const std::vector<NamedPath> &inputs);

// For inputs known only after checkPackOutputs (the runtime's files):
// throws BadInput when writing an output or emptying the work folder would
// replace or remove one of them.
void checkOutputsSpare(const PackOptions &options, const std::vector<NamedPath> &inputs);

} // namespace tallix
