// Everything `tallix-pack pack` builds a launcher from, resolved from the
// options and the file system and checked as a whole before anything is
// built: a pack that would fail on its input fails here, in seconds, not
// after minutes of compression.
#pragma once

#include "packer/block/block_writer.h"
#include "packer/commands/pack/launcher_settings.h"
#include "packer/commands/pack/pack_options.h"
#include "packer/image/launcher_runtime.h"
#include "packer/image/pe_image.h"
#include "packer/image/pe_probe.h"
#include "packer/image/resources/resource_tree.h"
#include "packer/image/signing.h"

#include <cstdint>
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
    pe::Image image; // the runtime's launcher image for `subsystem`
    std::filesystem::path imageSource;
    std::filesystem::path iconSource; // --icon or the runtime's default
    std::vector<pe::Bytes> iconImages;
    std::vector<pe::Resource> resources;
    // Its frameLimit keeps the launcher within pe::LOADABLE_IMAGE_SIZE;
    // unlimited when the files fit whatever they hold.
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
// directory; the options (values, versions, the template's folder names);
// every file the user named is a regular file (a FIFO would wait, a folder
// is no image); the outputs against the user's files; the icon; the payload
// files (the main program's headers, every file readable, names that clash
// on Windows); --splash, which needs the subsystem the main program chose;
// the template's warnings; the launcher runtime, which the user rarely
// chooses; last the launcher's size, as far as it is known before
// compression.
void resolvePack(const PackOptions &options, PackPlan &plan);

// The most frame bytes a launcher may hold and stay within `imageLimit`:
// `emptyLauncher` are the headers of the same launcher written with an
// empty block and no index, `indexBytes` the index it will carry. Nullopt
// when there is no room even for an empty frame.
std::optional<std::uint64_t> frameRoom(const pe::Headers &emptyLauncher, std::uint64_t indexBytes,
                                       std::uint64_t imageLimit);

// The message for a launcher that would pass pe::LOADABLE_IMAGE_SIZE;
// `cause` says what makes it so.
std::string launcherTooLarge(const std::string &cause);

} // namespace tallix
