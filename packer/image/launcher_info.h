// The values a launcher was built with, read back from its file.
//
// Three sources, all optional: the build-info record that the packer compiles
// into every launcher (the marker "TALLIX-BUILD-INFO-1" in UTF-16LE, a 0x0000
// unit, then six 0x0000-terminated UTF-16LE strings: template, company,
// product, version, file version, product version), the string table of the
// PE version resource, and the PE headers with the icon and manifest resources.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tallix {

struct LauncherInfo {
    std::string directoryTemplate; // UTF-8; empty when the record is missing
    std::string company;
    std::string product;
    std::string version;
    std::string fileVersion;
    std::string productVersion;
    // Key and value of each string of the version resource, in file order.
    std::vector<std::pair<std::string, std::string>> versionResource;
    // From the PE headers and resources; all empty for a file that is no PE.
    std::optional<std::uint16_t> subsystem; // 2 GUI, 3 console
    std::vector<int> iconSizes;             // pixels, as the icon group lists them
    std::string manifest;                   // the manifest resource's text
    bool signature = false;                 // an Authenticode certificate table is there
};

// Never fails: whatever cannot be found or parsed is left empty. A record
// inside the attached data (`payloadOffset`, `payloadBytes`) belongs to a
// packed file, not to this launcher, and is passed over.
LauncherInfo readLauncherInfo(std::istream &in, std::uint64_t payloadOffset = 0,
                              std::uint64_t payloadBytes = 0);

// The PE version resource's strings alone.
std::vector<std::pair<std::string, std::string>> readVersionStrings(std::istream &in);

} // namespace tallix
