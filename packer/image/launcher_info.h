// The values a launcher was built with, read back from its file without
// running it: the constants section found through the section table, as
// the launcher finds it in its own image (format/constants_section.h), then
// the version, icon, manifest and splash resources.
#pragma once

#include "format/constants_section.h"

#include <cstdint>
#include <istream>
#include <string>
#include <utility>
#include <vector>

namespace tallix {

struct LauncherInfo {
    // The build constants, UTF-8.
    std::string directoryTemplate;
    std::string company;
    std::string product;
    std::string version;
    std::string fileVersion;
    std::string productVersion;
    std::vector<std::string> leadingArguments;
    std::uint32_t launchOptions = 0; // LaunchOption bits
    // File offsets and sizes; an index of 0 bytes means none.
    std::uint64_t attachedDataOffset = 0, attachedDataBytes = 0;
    std::uint64_t indexOffset = 0, indexBytes = 0;
    // Key and value of each string of the version resource, in file order.
    std::vector<std::pair<std::string, std::string>> versionResource;
    std::uint16_t subsystem = 0;
    std::vector<int> iconSizes; // pixels, as the icon group lists them
    std::string manifest;       // the manifest resource's text
    bool signature = false;     // an Authenticode certificate table is there
    // The progress window's splash (format/progress_window.h): the size of
    // its data, 0 without one; its pixels, 0 when the launcher would not
    // show it.
    std::uint64_t splashBytes = 0;
    std::uint32_t splashWidth = 0, splashHeight = 0;
};

// Reads the launcher in `in`, `name` being the file as the user named it.
// Throws BadInput "NAME: not a tallix-onefile launcher (...)" for a file
// without PE headers or without the constants section, and PackFailure
// "NAME: damaged ..." for PE headers cut short or out of order, a file
// cut short, a section holding the constants under another name, and
// constants the launcher would refuse: their checksum first
// (checkBuildConstants), then each entry. The resources are optional: what
// cannot be read of them stays empty.
LauncherInfo readLauncherInfo(std::istream &in, const std::string &name);

// checkBuildConstants on the constants section of `sectionSize` bytes at
// file offset `sectionOffset` of `in`, whose section table entry is
// `tableEntry`.
BuildConstantsState checkConstantsInFile(std::istream &in, std::uint64_t sectionOffset,
                                         std::uint64_t sectionSize, const unsigned char *tableEntry,
                                         std::uint32_t *computed);

} // namespace tallix
