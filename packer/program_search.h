// Finding a helper program (the signing tool) on PATH.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tallix {

std::optional<std::filesystem::path> findOnPath(const std::string &program);

} // namespace tallix
