// The options of `tallix-pack pack`, parsed but not yet checked against the
// file system.
#pragma once

#include "packer/commands/command_line.h"
#include "packer/commands/commands.h"
#include "packer/image/pe_probe.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tallix {

// zstd's regular levels.
constexpr int LEVEL_MIN = 1;
constexpr int LEVEL_MAX = 22;
// Every warm start decodes the whole frame. On 262 MB of real PE files level
// 9 gave a 30 % smaller frame than level 3 and decoded at least as fast
// (19 was no faster, 22 a third slower), at seconds of packing.
constexpr int DEFAULT_LEVEL = 9;
// zstd's limit on worker threads.
constexpr int JOBS_MAX = 200;
// The launcher's decoder admits windows up to 2^27 bytes; 2^10 is zstd's floor.
constexpr int WINDOW_LOG_MIN = 10;
constexpr int WINDOW_LOG_MAX = 27;
// Frames of up to 1 GiB of records: beyond that a launcher has little to
// decode side by side.
constexpr int FRAME_KIB_MAX = 1 << 20;

struct PackOptions {
    std::filesystem::path appDirectory;
    std::filesystem::path output;
    std::optional<std::string> mainProgram;
    std::optional<std::string> directoryTemplate;
    std::optional<std::string> company;
    std::optional<std::string> product;
    std::optional<std::string> appVersion;
    std::optional<std::string> fileVersion;
    std::optional<std::string> productVersion;
    std::optional<std::string> description;
    std::optional<std::string> copyright;
    std::optional<std::string> originalFilename;
    std::optional<std::string> internalName;
    std::optional<std::filesystem::path> icon;
    std::optional<std::string> manifestName;
    std::optional<std::string> executionLevel;     // checked by the option's setter
    std::optional<std::filesystem::path> manifest; // a manifest of one's own
    std::vector<std::string> leadingArguments;     // --arg, in order
    bool cleanOldVersions = false;
    bool killChildWithLauncher = false;
    std::optional<std::filesystem::path> splash; // progress window image
    bool noProgressWindow = false;
    std::optional<Subsystem> subsystem; // default: the main program's own
    std::vector<std::string> exclusions;
    bool quiet = false;
    bool noIndex = false;
    bool noBranchFilter = false;
    bool quickCheck = false; // --check quick
    int level = DEFAULT_LEVEL;
    std::optional<int> jobs;      // default: every core
    std::optional<int> windowLog; // default: the level's own, capped
    std::optional<int> frameKib;  // default: by level and application
    std::optional<std::filesystem::path> depfile;
    std::optional<std::filesystem::path> signCertificate;
    std::optional<std::filesystem::path> signKey;
    std::optional<std::filesystem::path> signPasswordFile;
    std::optional<std::filesystem::path> runtime;
    bool help = false;
};

// The command-line table of `pack`, bound to `options`. APP_DIR is not in
// it: parsePackOptions sets it from the operand.
CommandSpec packCommand(PackOptions &options);

// --frame-kib, shared by `pack` and `block`: calls `set` with the KiB.
OptionSpec frameKibOption(std::function<void(int)> set);

// A later option overrides an earlier one, but --gui and --console refuse
// each other. Throws BadInput for an unknown option, a missing value, a
// number out of range, or a missing APP_DIR or -o.
PackOptions parsePackOptions(const Arguments &args);

} // namespace tallix
