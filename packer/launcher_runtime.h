// The installed launcher runtime: what every launcher is linked from.
//
//   libtallix_entry.a libtallix_core.a libzstd.a   linked in this order
//   include/buildinfo/build_constants.h           declarations of the constants
//   buildinfo/build_constants.cpp.in             @NAME@ templates filled per build
//   buildinfo/attached_data.S.in
//   default-icon.png                             used without --icon
//   launcher-link-options.txt                    "all|release|gui|console|lib ARGUMENT" lines
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tallix {

// Where the runtime lies relative to the directory of tallix-pack itself.
inline constexpr char RUNTIME_RELATIVE_TO_TOOL[] = "../lib/tallix-onefile";

struct LauncherRuntime {
    std::filesystem::path directory;
    std::vector<std::string> linkAll;       // every launcher
    std::vector<std::string> linkRelease;   // delivered launchers, not test ones
    std::vector<std::string> linkGui;       // GUI subsystem (the default)
    std::vector<std::string> linkConsole;   // --console
    std::vector<std::string> linkLibraries; // system libraries, last on the line

    std::filesystem::path file(const std::string &relative) const { return directory / relative; }
    std::vector<std::filesystem::path> libraries() const;
    // Every file a launcher build reads from the runtime (for the depfile).
    std::vector<std::filesystem::path> inputFiles() const;
};

// Finds and reads the runtime: `chosen` (--runtime; a problem there is bad
// input) or the one installed beside the tool (a problem is a failure).
LauncherRuntime locateRuntime(const std::optional<std::filesystem::path> &chosen);

} // namespace tallix
