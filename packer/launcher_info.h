// The values a launcher was built with, read back from its file.
//
// Two sources, both optional: the build-info record that the packer compiles
// into every launcher (the marker "TALLIX-BUILD-INFO-1" in UTF-16LE, a 0x0000
// unit, then six 0x0000-terminated UTF-16LE strings: template, company,
// product, version, file version, product version), and the string table of
// the PE version resource.
#pragma once

#include <cstdint>
#include <istream>
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
};

// Never fails: whatever cannot be found or parsed is left empty. A record
// inside the attached data (`payloadOffset`, `payloadBytes`) belongs to a
// packed file, not to this launcher, and is passed over.
LauncherInfo readLauncherInfo(std::istream &in, std::uint64_t payloadOffset = 0,
                              std::uint64_t payloadBytes = 0);

// The PE version resource's strings alone.
std::vector<std::pair<std::string, std::string>> readVersionStrings(std::istream &in);

} // namespace tallix
