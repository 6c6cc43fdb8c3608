// Which of the progress window's resources a launcher gets
// (packer/image/resources/progress_window_resources.h): the line in every GUI launcher
// that may show the window, the splash with --splash. A console launcher,
// or one packed with --no-progress-window, gets neither.
#pragma once

#include "packer/commands/pack/pack_options.h"
#include "packer/image/pe_probe.h"
#include "packer/image/resources/progress_window_resources.h"

namespace tallix {

// Throws BadInput for --splash with a console launcher or with
// --no-progress-window, and for a splash that is no PNG within the limits.
ProgressWindowResources progressWindowFor(const PackOptions &options, Subsystem subsystem);

} // namespace tallix
