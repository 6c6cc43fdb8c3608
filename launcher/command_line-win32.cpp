#include "launcher/command_line.h"

#include "paths/wide_append.h"

#include <windows.h>

#include <shellapi.h>
#include <stdlib.h>

// CreateProcessW may write into the command line it is given.
static wchar_t childCommandLine[COMMAND_LINE_CAPACITY];
// The child's argv[0]; filled on first use.
static wchar_t launcherFileName[PATH_CAPACITY];

wchar_t *buildChildCommandLine() {
    childCommandLine[0] = 0;
    int count = 0;
    // Kept until the process ends. Without a vector there is nothing sound
    // to pass on, so this ends like the step's other failures.
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr) {
        abort();
    }
    if (launcherFileName[0] == 0 &&
        GetModuleFileNameW(nullptr, launcherFileName, PATH_CAPACITY) == 0) {
        abort();
    }
    if (count > 0) {
        arguments[0] = launcherFileName;
    }
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            appendWideChar(childCommandLine, L' ', COMMAND_LINE_CAPACITY);
        }
        appendArgument(childCommandLine, arguments[i]);
    }
    return childCommandLine;
}
