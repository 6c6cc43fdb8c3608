#include "packer/support/host_system.h"

#include "packer/support/pack_errors.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tallix {

namespace {

// Exit status of a child whose exec failed, as the shell reports it.
constexpr int EXEC_FAILED = 127;
// The status a shell gives a process ended by a signal, should re-raising fail.
constexpr int SIGNAL_STATUS_BASE = 128;

[[noreturn]] void awaitInterrupt(sigset_t signals, void (*cleanup)()) {
    int signal = 0;
    while (sigwait(&signals, &signal) != 0) {
    }
    cleanup();
    // Ends the process by the same signal, so a calling shell or make sees
    // an interrupt rather than a failure.
    std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(SIGNAL_STATUS_BASE + signal);
}

} // namespace

std::optional<std::string> readProblem(const std::filesystem::path &path, bool directory) {
    if (::access(path.c_str(), directory ? R_OK | X_OK : R_OK) != 0) {
        return std::string(std::strerror(errno));
    }
    return std::nullopt;
}

std::optional<std::string> regularFileProblem(const std::filesystem::path &file) {
    int descriptor = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return std::string(std::strerror(errno));
    }
    struct stat info {};
    bool regular = ::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
    ::close(descriptor);
    return regular ? std::nullopt : std::optional<std::string>("not a regular file");
}

bool standardErrorIsTerminal() {
    return ::isatty(STDERR_FILENO);
}

std::filesystem::path ownExecutable() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        throw PackFailure("cannot find the tool's own location: " + error.message());
    }
    return self;
}

std::optional<std::filesystem::path> findOnPath(const std::string &program) {
    const char *path = std::getenv("PATH");
    std::stringstream directories(path ? path : "");
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        std::filesystem::path candidate =
            std::filesystem::path(directory.empty() ? "." : directory) / program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

// In a session of its own: without a controlling terminal, a key that needs
// a password fails instead of waiting at a prompt nobody sees.
ProgramResult runProgram(const std::vector<std::string> &command) {
    std::vector<char *> argv;
    for (const std::string &argument : command) {
        argv.push_back(const_cast<char *>(argument.c_str()));
    }
    argv.push_back(nullptr);
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        throw PackFailure("cannot start " + command[0] + ": " + std::strerror(errno));
    }
    pid_t child = ::fork();
    if (child == 0) {
        // The packer blocks interrupts to handle them on a thread; a tool
        // must still stop on them.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::setsid();
        int null = ::open("/dev/null", O_RDONLY);
        if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(pipeEnds[1], 1) < 0 ||
            ::dup2(pipeEnds[1], 2) < 0) {
            ::_exit(EXEC_FAILED);
        }
        ::execv(argv[0], argv.data());
        ::_exit(EXEC_FAILED);
    }
    int saved = errno;
    ::close(pipeEnds[1]);
    if (child < 0) {
        ::close(pipeEnds[0]);
        throw PackFailure("cannot start " + command[0] + ": " + std::strerror(saved));
    }
    ProgramResult result;
    char buffer[4096];
    for (;;) {
        ssize_t got = ::read(pipeEnds[0], buffer, sizeof buffer);
        if (got > 0) {
            result.output.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(pipeEnds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            throw PackFailure("waiting for " + command[0] + ": " + std::strerror(errno));
        }
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    while (!result.output.empty() &&
           (result.output.back() == '\n' || result.output.back() == '\r')) {
        result.output.pop_back();
    }
    return result;
}

unsigned long processId() {
    return static_cast<unsigned long>(::getpid());
}

void onInterrupt(void (*cleanup)()) {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            sigaddset(&signals, signal);
        }
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread(awaitInterrupt, signals, cleanup).detach();
}

} // namespace tallix
