// Makefile-style dependency files, as make, ninja and CMake's
// add_custom_command(DEPFILE) read them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tallix {

// One path escaped for a depfile: "\ " for a space, "\#", "$$", and a
// backslash doubled where it would otherwise escape the next character.
std::string depfilePath(const std::string &path);

// "target: \\\n  input \\\n  input\n".
std::string depfileText(const std::filesystem::path &target,
                        const std::vector<std::filesystem::path> &inputs);

} // namespace tallix
