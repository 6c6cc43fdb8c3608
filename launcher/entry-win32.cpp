// The process entry: the runtime has parsed the command line; this computes
// what a wide GUI entry point would receive and ends with launcherMain's
// result through exit(), so exit handlers run and streams are flushed.
#include "launcher/command_line.h"
#include "launcher/launcher_main.h"

#include <windows.h>

#include <corecrt_startup.h>
#include <stdlib.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;

static int startupShowWindow() {
    STARTUPINFOW startupInfo;
    GetStartupInfoW(&startupInfo);
    if ((startupInfo.dwFlags & STARTF_USESHOWWINDOW) != 0) {
        return startupInfo.wShowWindow;
    }
    return SW_SHOWDEFAULT;
}

extern "C" int wmain(int, wchar_t **) {
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(&__ImageBase);
    wchar_t *tail = const_cast<wchar_t *>(skipProgramName(_wcmdln));
    exit(launcherMain(instance, nullptr, tail, startupShowWindow()));
}
