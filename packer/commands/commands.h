// The subcommands of tallix-pack. Each takes its arguments after the
// subcommand's name and returns the process exit status.
#pragma once

#include "packer/support/pack_errors.h"

#include <string>
#include <vector>

namespace tallix {

using Arguments = std::vector<std::string>;

int runPackCommand(const Arguments &args);
int runInspectCommand(const Arguments &args);
int runBlockCommand(const Arguments &args);

} // namespace tallix
