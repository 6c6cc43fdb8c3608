// The resources of the GUI launcher's progress window (layout in
// format/progress_window.h): the string table with its line, and the
// splash, a PNG decoded here into the DIB the launcher draws as it is.
#pragma once

#include "packer/image/resources/resource_tree.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tallix {

struct ProgressWindowResources {
    bool text = false;               // the string table with the line
    std::optional<pe::Bytes> splash; // the splash DIB
};

// A string table block holding `text` as string `index` (0 to 15) and
// nothing else.
pe::Bytes stringTableBlock(unsigned index, const std::u16string &text);

// The splash DIB of a PNG of at most SPLASH_MAX_WIDTH x SPLASH_MAX_HEIGHT
// pixels, its transparency flattened onto white. Throws BadInput naming
// `origin` and the cause.
pe::Bytes splashFromPng(const pe::Bytes &png, const std::string &origin);

// Reads `file` and converts it as above.
pe::Bytes loadSplash(const std::filesystem::path &file);

// The resources for `wanted`, in the neutral language.
std::vector<pe::Resource> progressWindowResources(const ProgressWindowResources &wanted);

} // namespace tallix
