// The two ways a pack fails, mapped to the tool's exit statuses: input the
// user must fix (2), and everything else (1).
#pragma once

#include <stdexcept>
#include <string>

namespace tallix {

// A missing or unusable input, or a bad option value.
struct BadInput : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A tool that failed, a full disk, a missing runtime.
struct PackFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

} // namespace tallix
