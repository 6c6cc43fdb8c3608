#include "launcher/command_line.h"

#include "base/wide_append.h"
#include "paths/module_path.h"

#include <windows.h>

#include <shellapi.h>
#include <stdlib.h>

// CreateProcessW may write into the command line it is given.
static wchar_t childCommandLine[COMMAND_LINE_CAPACITY];

wchar_t *buildChildCommandLine() {
    childCommandLine[0] = 0;
    int count = 0;
    // Kept until the process ends. Without a vector or the module's name
    // there is nothing sound to pass on: an internal limit, like the step's
    // overflows.
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    const wchar_t *program = getLauncherModulePath();
    if (arguments == nullptr || program == nullptr) {
        abort();
    }
    if (count > 0) {
        arguments[0] = const_cast<wchar_t *>(program);
    }
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            appendWideChar(childCommandLine, L' ', COMMAND_LINE_CAPACITY);
        }
        appendArgument(childCommandLine, arguments[i]);
    }
    return childCommandLine;
}
