// Everything `tallix-pack pack` builds a launcher from, resolved from the
// options and the file system and checked as a whole before anything is
// built: a pack that would fail on its input fails here, in seconds, not
// after minutes of compression.
#pragma once

#include "packer/block/block_writer.h"
#include "packer/commands/launcher_settings.h"
#include "packer/commands/pack_options.h"
#include "packer/image/launcher_runtime.h"
#include "packer/image/pe_image.h"
#include "packer/image/pe_probe.h"
#include "packer/image/signing.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tallix {

struct PackPlan {
    LauncherSettings settings; // constants and resources
    // The files in record order, the main program first, and what the walk
    // of the application directory met besides them.
    std::vector<PayloadFile> files;
    WalkReport walk;
    Subsystem subsystem = Subsystem::Gui; // --console, --gui or the main program's own
    std::optional<SigningOptions> signing;
    LauncherRuntime runtime;
    std::filesystem::path iconSource; // --icon or the runtime's default
    std::vector<pe::Bytes> iconImages;
    BlockOptions block;
    // Every file the launcher is made from, absolute: the depfile's inputs
    // (only with --depfile).
    std::vector<std::filesystem::path> depfileInputs;
    // In the order they are shown.
    std::vector<std::string> warnings;
};

// Fills `plan` from `options` and the file system. Throws BadInput for the
// first input the user must fix, PackFailure for a broken installation;
// plan.warnings then holds the warnings found before that check, which
// still hold and are shown with the error.
//
// The order of the checks is the order of the messages: the application
// directory and the outputs against the user's files; the options; the
// signing and icon files; the payload files (the main program's headers,
// every file readable, names that clash on Windows); --splash, which
// needs the subsystem the main program chose; the template's
// warnings; last the launcher runtime, which the user rarely chooses.
void resolvePack(const PackOptions &options, PackPlan &plan);

} // namespace tallix
