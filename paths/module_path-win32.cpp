#include "paths/module_path.h"

#include "base/wide_text.h"

#include <windows.h>

static wchar_t modulePath[PATH_CAPACITY];
static bool modulePathKnown;

const wchar_t *getLauncherModulePath() {
    if (!modulePathKnown) {
        DWORD length = GetModuleFileNameW(nullptr, modulePath, PATH_CAPACITY);
        // A name that filled the buffer may have been cut short.
        if (length == 0 || length >= PATH_CAPACITY) {
            return nullptr;
        }
        modulePathKnown = true;
    }
    return modulePath;
}
