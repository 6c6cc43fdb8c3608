#include "packer/launcher_runtime.h"

#include "packer/pack_errors.h"

#include <array>
#include <fstream>
#include <sstream>

namespace tallix {

namespace {

constexpr std::array<const char *, 3> LIBRARIES = {"libtallix_entry.a", "libtallix_core.a",
                                                   "libzstd.a"};
constexpr std::array<const char *, 5> OTHER_FILES = {
    "include/buildinfo/build_constants.h", "buildinfo/build_constants.cpp.in",
    "buildinfo/attached_data.S.in", "default-icon.png", "launcher-link-options.txt"};

std::filesystem::path toolDirectory() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        throw PackFailure("cannot find the tool's own location: " + error.message());
    }
    return self.parent_path();
}

} // namespace

std::vector<std::filesystem::path> LauncherRuntime::libraries() const {
    std::vector<std::filesystem::path> result;
    for (const char *library : LIBRARIES) {
        result.push_back(file(library));
    }
    return result;
}

std::vector<std::filesystem::path> LauncherRuntime::inputFiles() const {
    std::vector<std::filesystem::path> result = libraries();
    for (const char *other : OTHER_FILES) {
        result.push_back(file(other));
    }
    return result;
}

LauncherRuntime locateRuntime(const std::optional<std::filesystem::path> &chosen) {
    LauncherRuntime runtime;
    runtime.directory =
        chosen ? *chosen : (toolDirectory() / RUNTIME_RELATIVE_TO_TOOL).lexically_normal();
    auto refuse = [&chosen, &runtime](const std::string &problem) -> void {
        if (chosen) {
            throw BadInput("--runtime " + runtime.directory.string() + ": " + problem);
        }
        throw PackFailure("the launcher runtime at " + runtime.directory.string() +
                          " is unusable: " + problem +
                          " (reinstall, or give its directory with --runtime)");
    };
    for (const std::filesystem::path &needed : runtime.inputFiles()) {
        std::error_code error;
        if (!std::filesystem::is_regular_file(needed, error)) {
            refuse("missing " + needed.lexically_relative(runtime.directory).string());
        }
    }
    std::ifstream options(runtime.file("launcher-link-options.txt"));
    std::string line;
    int number = 0;
    while (std::getline(options, line)) {
        ++number;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::string mode, argument;
        fields >> mode >> argument;
        std::vector<std::string> *target = mode == "all"       ? &runtime.linkAll
                                           : mode == "release" ? &runtime.linkRelease
                                           : mode == "gui"     ? &runtime.linkGui
                                           : mode == "console" ? &runtime.linkConsole
                                           : mode == "lib"     ? &runtime.linkLibraries
                                                               : nullptr;
        if (target == nullptr || argument.empty()) {
            refuse("launcher-link-options.txt:" + std::to_string(number) + ": unreadable line");
        }
        target->push_back(argument);
    }
    if (options.bad()) {
        refuse("cannot read launcher-link-options.txt");
    }
    return runtime;
}

} // namespace tallix
