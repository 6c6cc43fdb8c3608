// The launcher's resources: version information (identifier 1), the icon
// group (identifier 1) with its images (identifiers 1 to 7) and the manifest
// (identifier 1), all in the neutral language; for a GUI launcher also the
// progress window's (progress_window_resources.h).
#pragma once

#include "packer/image/resources/progress_window_resources.h"
#include "packer/image/resources/resource_tree.h"
#include "packer/image/resources/version_string.h"

#include <optional>
#include <string>
#include <vector>

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
    // The string table's ProductVersion when it is free text ("2.0-beta");
    // otherwise productVersion in four parts.
    std::optional<std::u16string> productVersionText;
    std::string manifestName;                 // assembly identity name, checked by isAssemblyName
    std::string executionLevel = "asInvoker"; // the manifest's requestedExecutionLevel
    std::optional<std::string> manifest;      // a manifest of one's own, written as it is
    std::u16string packedBy;                  // "tallix-pack VERSION", string "PackedBy"
    ProgressWindowResources progressWindow;   // none unless set
};

// True for names the manifest's assembly identity accepts: letters, digits,
// ".", "-" and "_", not starting or ending with ".".
bool isAssemblyName(const std::string &name);

// The manifest; its assembly identity's version is `version` in four parts;
// it asks for `executionLevel` (asInvoker, highestAvailable or
// requireAdministrator).
std::string manifestText(const std::string &assemblyName, const VersionNumber &version,
                         const std::string &executionLevel = "asInvoker");

// The VS_VERSIONINFO block: the fixed part (VOS__WINDOWS32, VFT_APP, flags
// mask 0x3F), one string table "000004b0" and the translation 0x0000, 0x04B0.
// The string "PackedBy" names the packer that wrote it, when set: the
// launcher's own format stays as it is, and tallix-pack inspect shows it.
pe::Bytes versionResource(const ResourceInfo &info);

// Every resource of a launcher.
std::vector<pe::Resource> launcherResources(const ResourceInfo &info,
                                            const std::vector<pe::Bytes> &iconImages);

} // namespace tallix
