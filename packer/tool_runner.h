// Runs the cross tools (compiler, assembler, resource compiler, linker).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tallix {

// The mingw-w64 tools a launcher is built with, found on PATH.
inline constexpr char MINGW_CXX[] = "x86_64-w64-mingw32-g++-posix";
inline constexpr char MINGW_CC[] = "x86_64-w64-mingw32-gcc-posix";
inline constexpr char MINGW_WINDRES[] = "x86_64-w64-mingw32-windres";

std::optional<std::filesystem::path> findOnPath(const std::string &program);

// Runs `command` (argv[0] searched on PATH) in `workDirectory`, its output
// collected in `logFile`. Throws PackFailure with the tool's output when it
// cannot start or exits with anything but 0.
void runTool(const std::vector<std::string> &command, const std::filesystem::path &workDirectory,
             const std::filesystem::path &logFile);

} // namespace tallix
