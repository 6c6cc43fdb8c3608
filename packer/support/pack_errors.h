// The two ways a pack fails, mapped to the tool's exit statuses: input the
// user must fix (2), and everything else (1).
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace tallix {

// Exit statuses of the tool.
enum : int {
    STATUS_SUCCESS = 0,
    STATUS_FAILURE = 1,   // a tool that failed, a full disk, anything but the input
    STATUS_BAD_INPUT = 2, // missing or unusable input, bad option values
};

// A missing or unusable input, or a bad option value.
struct BadInput : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A tool that failed, a full disk, a missing runtime.
struct PackFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs a command's body; an escaping error is printed as "tallix-pack
// COMMAND: message" on stderr and becomes exit status 2 (BadInput) or 1.
int runReportingErrors(const char *command, const std::function<int()> &body);

} // namespace tallix
