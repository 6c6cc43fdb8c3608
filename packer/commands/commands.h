// The subcommands of tallix-pack. Each takes its arguments after the
// subcommand's name and returns the process exit status.
#pragma once

#include <string>
#include <vector>

namespace tallix {

// Exit statuses of the tool.
enum : int {
    STATUS_SUCCESS = 0,
    STATUS_FAILURE = 1,   // a tool that failed, a full disk, anything but the input
    STATUS_BAD_INPUT = 2, // missing or unusable input, bad option values
};

using Arguments = std::vector<std::string>;

int runPackCommand(const Arguments &args);
int runInspectCommand(const Arguments &args);
int runBlockCommand(const Arguments &args);

} // namespace tallix
