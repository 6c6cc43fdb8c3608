// Builds one launcher in a work directory: generates the build constants,
// the attached data source and the resources, then compiles and links them
// with the runtime. Every file has a fixed name and every tool runs inside
// the work directory with relative names, so no path of the build machine
// ends up in the executable.
#pragma once

#include "packer/icon_builder.h"
#include "packer/launcher_runtime.h"
#include "packer/resource_script.h"

#include <filesystem>
#include <map>
#include <string>

namespace tallix {

// Fixed names inside the work directory.
inline constexpr char BLOCK_FILE[] = "attached_data.bin";
// Empty for a launcher without an index.
inline constexpr char INDEX_FILE[] = "payload_index.bin";
inline constexpr char LAUNCHER_FILE[] = "launcher.exe";

struct BuildConstants {
    std::u16string directoryTemplate;
    std::u16string company;
    std::u16string product;
    std::u16string version;
    std::u16string fileVersion;
    std::u16string productVersion;
};

struct LauncherBuild {
    BuildConstants constants;
    ResourceInfo resources;
    std::vector<Bytes> iconImages; // ICON_SIZES order
    bool console = false;
};

// Replaces each "@NAME@" of `text` with values.at(NAME); other text stays.
std::string fillTemplate(const std::string &text, const std::map<std::string, std::string> &values);

// A path as the text of an assembler string ("..." with \\ and \" escaped).
std::string assemblerString(const std::string &path);

// Writes the sources and links `workDirectory`/LAUNCHER_FILE; the block must
// already be in `workDirectory`/BLOCK_FILE, the index in INDEX_FILE. Throws
// PackFailure.
void buildLauncher(const LauncherRuntime &runtime, const LauncherBuild &build,
                   const std::filesystem::path &workDirectory);

} // namespace tallix
