#include "packer/image/launcher_runtime.h"

#include "packer/support/host_system.h"
#include "packer/support/pack_errors.h"

namespace tallix {

std::vector<std::filesystem::path> LauncherRuntime::inputFiles() const {
    return {file(GUI_IMAGE), file(CONSOLE_IMAGE), file(DEFAULT_ICON)};
}

LauncherRuntime locateRuntime(const std::optional<std::filesystem::path> &chosen) {
    LauncherRuntime runtime;
    runtime.directory =
        chosen ? *chosen
               : (ownExecutable().parent_path() / RUNTIME_RELATIVE_TO_TOOL).lexically_normal();
    for (const std::filesystem::path &needed : runtime.inputFiles()) {
        std::error_code error;
        if (std::filesystem::is_regular_file(needed, error)) {
            continue;
        }
        std::string problem = "missing " + needed.filename().string();
        if (chosen) {
            throw BadInput("--runtime " + runtime.directory.string() + ": " + problem);
        }
        throw PackFailure("the launcher runtime at " + runtime.directory.string() +
                          " is unusable: " + problem +
                          " (reinstall, or give its directory with --runtime)");
    }
    return runtime;
}

} // namespace tallix
