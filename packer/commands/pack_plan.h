// What `tallix-pack pack` is to build, resolved from the user's options:
// defaults filled in, texts and versions checked, the program to start
// chosen. Pure: the file system's part is handed in.
#pragma once

#include "packer/commands/pack_options.h"
#include "packer/image/launcher_resources.h"
#include "packer/image/launcher_writer.h"

#include <string>
#include <vector>

namespace tallix {

struct PackPlan {
    BuildConstants constants;
    ResourceInfo resources;
    std::string mainProgram; // relative to the application directory
    // --console; without --console or --gui the caller takes the main
    // program's own subsystem once the file is found.
    bool console = false;
    // Printed before anything is built, in this order.
    std::vector<std::string> warnings;
    // Printed once the files are known (after their own warnings).
    std::vector<std::string> lateWarnings;
};

// `topLevelPrograms`: the .exe files directly in the application directory,
// sorted. Throws BadInput naming the option and the cause.
PackPlan planPack(const PackOptions &options, const std::vector<std::string> &topLevelPrograms);

// True when `name` ends in ".exe" in any letter case.
bool endsWithExe(const std::string &name);

} // namespace tallix
