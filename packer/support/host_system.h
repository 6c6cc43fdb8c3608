// What the packer needs from the system it runs on, Linux or Windows
// (host_system-posix.cpp, host_system-win32.cpp).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tallix {

// Why `path` cannot be read (a directory: listed), or nullopt when it can.
std::optional<std::string> readProblem(const std::filesystem::path &path, bool directory);

// Opens `file` for reading once: why it cannot be packed ("not a regular
// file", the system's reason), or nullopt.
std::optional<std::string> regularFileProblem(const std::filesystem::path &file);

bool standardErrorIsTerminal();

// The running program's own file.
std::filesystem::path ownExecutable();

// `program` found in a directory of PATH (on Windows also with ".exe").
std::optional<std::filesystem::path> findOnPath(const std::string &program);

struct ProgramResult {
    int status = 0;     // exit status; on Linux 128 + signal for a killed one
    std::string output; // standard output and error together, final line ends trimmed
};

// Runs `command` (command[0] a full path) without a terminal or console and
// with no input, so that a tool that would prompt fails instead. Throws
// PackFailure when it cannot be started.
ProgramResult runProgram(const std::vector<std::string> &command);

unsigned long processId();

// From now on, an interrupt (SIGINT, SIGTERM or SIGHUP on Linux, a console
// control event on Windows) first runs `cleanup` on a thread of its own,
// then ends the process as the interrupt would have. On Linux the signals
// are blocked in the calling thread and in the threads it starts later; call
// this before starting any. An interrupt ignored at that time stays ignored.
void onInterrupt(void (*cleanup)());

} // namespace tallix
