#include "packer/program_search.h"

#include <cstdlib>
#include <sstream>
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

} // namespace tallix
