// What the options of `tallix-pack pack` alone decide about the launcher:
// its constants and resources with the defaults filled in, every text,
// version and template checked, and the program to start chosen among those
// the caller found. Pure: the file system's part is pack_plan.h's.
#pragma once

#include "packer/commands/pack/pack_options.h"
#include "packer/image/launcher_writer.h"
#include "packer/image/resources/launcher_resources.h"

#include <optional>
#include <string>
#include <vector>

namespace tallix {

struct LauncherSettings {
    BuildConstants constants;
    ResourceInfo resources;
};

// Throws BadInput naming the option and the cause, also for --sign-key or
// --sign-pass-file without --sign-cert.
LauncherSettings launcherSettings(const PackOptions &options);

// What is unsafe or wasteful about the directory template of `constants`
// (as launcherSettings made them), in the order they are shown: a full-path
// placeholder after the start, a new folder on every start, a start outside
// the user's own folders.
std::vector<std::string> templateWarnings(const BuildConstants &constants);

struct MainProgramChoice {
    std::string relative;               // to the application directory
    std::optional<std::string> warning; // --main with no .exe at the top
};

// --main, or else the only one of `topLevelPrograms` (the .exe files
// directly in the application directory, sorted). Throws BadInput for a
// --main outside the directory, and without --main for none or several.
MainProgramChoice chooseMainProgram(const PackOptions &options,
                                    const std::vector<std::string> &topLevelPrograms);

// True when `name` ends in ".exe" in any letter case.
bool endsWithExe(const std::string &name);

} // namespace tallix
