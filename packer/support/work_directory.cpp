#include "packer/support/work_directory.h"

#include "packer/support/host_system.h"
#include "packer/support/pack_errors.h"

#include <mutex>
#include <optional>

namespace tallix {

namespace fs = std::filesystem;

namespace {

// Other threads may still create files in the folder while it is removed.
constexpr int REMOVE_ATTEMPTS = 5;

std::mutex guardedMutex;
std::optional<fs::path> guarded; // the folder to remove on an interrupt

void removeFolder(const fs::path &folder) {
    std::error_code error;
    for (int attempt = 0; attempt < REMOVE_ATTEMPTS && fs::exists(fs::symlink_status(folder));
         ++attempt) {
        fs::remove_all(folder, error);
    }
}

// Keeps the lock until the process ends, so no work folder appears after.
void removeOnInterrupt() {
    guardedMutex.lock();
    if (guarded) {
        removeFolder(*guarded);
    }
}

} // namespace

fs::path workDirectoryFor(const fs::path &output) {
    return output.parent_path() / ("." + output.filename().string() + ".tallix-pack");
}

WorkDirectory::WorkDirectory(const fs::path &output) : path_(workDirectoryFor(output)) {
    static std::once_flag once;
    std::call_once(once, [] { onInterrupt(removeOnInterrupt); });
    std::lock_guard<std::mutex> lock(guardedMutex);
    std::error_code error;
    fs::remove_all(path_, error);
    if (!fs::create_directory(path_, error)) {
        // Named after what the user asked for: the work directory is ours.
        fs::path folder = output.parent_path().empty() ? fs::path(".") : output.parent_path();
        throw PackFailure("-o " + output.string() + ": cannot write in " + folder.string() + " (" +
                          error.message() + ")");
    }
    guarded = path_;
}

WorkDirectory::~WorkDirectory() {
    std::lock_guard<std::mutex> lock(guardedMutex);
    removeFolder(path_);
    guarded.reset();
}

} // namespace tallix
