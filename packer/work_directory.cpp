#include "packer/work_directory.h"

#include "packer/pack_errors.h"

#include <csignal>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace tallix {

namespace fs = std::filesystem;

namespace {

// The status a shell gives a process ended by a signal, should re-raising fail.
constexpr int SIGNAL_STATUS_BASE = 128;
// Other threads may still create files in the folder while it is removed.
constexpr int REMOVE_ATTEMPTS = 5;

std::mutex guardedMutex;
std::optional<fs::path> guarded; // the folder to remove on a signal

void removeFolder(const fs::path &folder) {
    std::error_code error;
    for (int attempt = 0; attempt < REMOVE_ATTEMPTS && fs::exists(fs::symlink_status(folder));
         ++attempt) {
        fs::remove_all(folder, error);
    }
}

// Runs on its own thread, so it may lock and allocate as any code can.
[[noreturn]] void awaitSignal(sigset_t signals) {
    int signal = 0;
    while (sigwait(&signals, &signal) != 0) {
    }
    {
        std::lock_guard<std::mutex> lock(guardedMutex);
        if (guarded) {
            removeFolder(*guarded);
        }
        // Ends the process by the same signal, so a calling shell or make
        // sees an interrupt rather than a failure.
        std::signal(signal, SIG_DFL);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, signal);
        pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
        raise(signal);
    }
    _exit(SIGNAL_STATUS_BASE + signal);
}

void watchSignalsOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        sigset_t signals;
        sigemptyset(&signals);
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction current {};
            if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
                sigaddset(&signals, signal);
            }
        }
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        std::thread(awaitSignal, signals).detach();
    });
}

} // namespace

fs::path workDirectoryFor(const fs::path &output) {
    return output.parent_path() / ("." + output.filename().string() + ".tallix-pack");
}

WorkDirectory::WorkDirectory(const fs::path &output) : path_(workDirectoryFor(output)) {
    watchSignalsOnce();
    std::lock_guard<std::mutex> lock(guardedMutex);
    std::error_code error;
    fs::remove_all(path_, error);
    if (!fs::create_directory(path_, error)) {
        throw PackFailure(path_.string() + ": cannot create the work directory (" +
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
