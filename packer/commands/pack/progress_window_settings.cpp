#include "packer/commands/pack/progress_window_settings.h"

#include "packer/support/pack_errors.h"

namespace tallix {

ProgressWindowResources progressWindowFor(const PackOptions &options, Subsystem subsystem) {
    ProgressWindowResources resources;
    if (options.splash && subsystem == Subsystem::Console) {
        throw BadInput("--splash: a console launcher shows no window; build a GUI launcher "
                       "(--gui) or leave --splash out");
    }
    if (options.splash && options.noProgressWindow) {
        throw BadInput("--splash and --no-progress-window: the splash is shown in the progress "
                       "window; choose one");
    }
    if (subsystem == Subsystem::Console || options.noProgressWindow) {
        return resources;
    }
    resources.text = true;
    if (options.splash) {
        resources.splash = loadSplash(*options.splash);
    }
    return resources;
}

} // namespace tallix
