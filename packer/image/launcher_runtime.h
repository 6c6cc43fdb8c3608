// The installed launcher runtime: what every launcher is made from.
//
//   launcher-gui.exe       prebuilt launcher image, GUI subsystem
//   launcher-console.exe   the same for the console subsystem (--console)
//   default-icon.png       used without --icon
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tallix {

// Where the runtime lies relative to the directory of tallix-pack itself.
inline constexpr char RUNTIME_RELATIVE_TO_TOOL[] = "../lib/tallix-onefile";
inline constexpr char GUI_IMAGE[] = "launcher-gui.exe";
inline constexpr char CONSOLE_IMAGE[] = "launcher-console.exe";
inline constexpr char DEFAULT_ICON[] = "default-icon.png";

struct LauncherRuntime {
    std::filesystem::path directory;

    std::filesystem::path file(const std::string &relative) const { return directory / relative; }
    std::filesystem::path image(bool console) const {
        return file(console ? CONSOLE_IMAGE : GUI_IMAGE);
    }
    // Every file a pack may read from the runtime (for the depfile).
    std::vector<std::filesystem::path> inputFiles() const;
};

// Finds the runtime: `chosen` (--runtime; a problem there is bad input) or
// the one installed beside the tool (a problem is a failure).
LauncherRuntime locateRuntime(const std::optional<std::filesystem::path> &chosen);

} // namespace tallix
