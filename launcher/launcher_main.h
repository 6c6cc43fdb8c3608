// The launcher's main sequence, from entry to the child's exit code.
#pragma once

#include <windows.h>

// Takes the shape of the wide GUI entry point but uses none of its arguments.
int launcherMain(HINSTANCE instance, HINSTANCE previousInstance, wchar_t *commandLineTail,
                 int showWindow);
