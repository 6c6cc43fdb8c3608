// The launcher's resources as a windres script: version information
// (identifier 1), the icon group (identifier 1) and the manifest (type 24,
// identifier 1), all in the neutral language.
#pragma once

#include "packer/version_string.h"

#include <optional>
#include <string>

namespace tallix {

struct ResourceInfo {
    std::u16string company;
    std::u16string product;
    std::u16string description;
    std::optional<std::u16string> copyright; // LegalCopyright, only when given
    std::u16string originalFilename;
    std::u16string internalName;
    VersionNumber fileVersion;
    VersionNumber productVersion;
    std::string manifestName; // assembly identity name, checked by isAssemblyName
};

// A windres string literal: "" for a quote, \\ for a backslash, \xHHHH for
// anything but printable ASCII (windres reads at most four hex digits).
std::string resourceStringLiteral(const std::u16string &text);

// True for names the manifest's assembly identity accepts: letters, digits,
// ".", "-" and "_", not starting or ending with ".".
bool isAssemblyName(const std::string &name);

std::string manifestText(const std::string &assemblyName);

// The script; `iconFile` and `manifestFile` are paths as windres should open
// them (relative to its working directory).
std::string resourceScript(const ResourceInfo &info, const std::string &iconFile,
                           const std::string &manifestFile);

} // namespace tallix
