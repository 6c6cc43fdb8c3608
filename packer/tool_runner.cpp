#include "packer/tool_runner.h"

#include "packer/pack_errors.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace tallix {

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

namespace {

// Exit status of a child whose exec failed, as the shell reports it.
constexpr int EXEC_FAILED = 127;

std::string readLog(const std::filesystem::path &logFile) {
    std::ifstream in(logFile, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

} // namespace

void runTool(const std::vector<std::string> &command, const std::filesystem::path &workDirectory,
             const std::filesystem::path &logFile) {
    std::vector<char *> argv;
    for (const std::string &argument : command) {
        argv.push_back(const_cast<char *>(argument.c_str()));
    }
    argv.push_back(nullptr);
    int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0) {
        throw PackFailure(logFile.string() + ": " + std::strerror(errno));
    }
    pid_t child = ::fork();
    if (child == 0) {
        // The packer blocks interrupts to clean up on its own thread; a tool
        // must still stop on them.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::chdir(workDirectory.c_str()) != 0 || ::dup2(log, 1) < 0 || ::dup2(log, 2) < 0) {
            ::_exit(EXEC_FAILED);
        }
        int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) {
            ::dup2(null, 0);
        }
        ::execvp(argv[0], argv.data());
        const char *message = "cannot start the tool\n";
        ssize_t ignored = ::write(2, message, std::strlen(message));
        (void)ignored;
        ::_exit(EXEC_FAILED);
    }
    int saved = errno;
    ::close(log);
    if (child < 0) {
        throw PackFailure(std::string("cannot start ") + command[0] + ": " + std::strerror(saved));
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            throw PackFailure(std::string("waiting for ") + command[0] + ": " +
                              std::strerror(errno));
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return;
    }
    std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                        : "signal " + std::to_string(WTERMSIG(status));
    std::string output = readLog(logFile);
    throw PackFailure(command[0] + " failed (" + how + ")" +
                      (output.empty() ? "" : ":\n" + output));
}

} // namespace tallix
