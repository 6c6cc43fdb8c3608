// The process entry: the runtime has parsed the command line; this ends with
// launcherMain's result through exit(), so exit handlers run and streams are
// flushed.
#include "launcher/launcher_main.h"

#include <stdlib.h>

extern "C" int wmain(int, wchar_t **) {
    exit(launcherMain());
}
