// The child's command line: the launcher's own arguments as the shell's
// parser splits them, argv[0] replaced by the launcher's module file name,
// re-quoted so that a child splitting by the usual Windows rules gets them
// back.
#pragma once

#include "base/wide_text.h"

// The longest command line Windows accepts, 32767 units, plus the terminator.
enum { COMMAND_LINE_CAPACITY = 32768 };

// Appends `argument` to `target` (capacity COMMAND_LINE_CAPACITY): verbatim
// unless it is empty or holds a space, tab, LF, VT or double quote; then in quotes, with
// backslashes doubled before a quote or the closing quote and each quote
// escaped. Overflow ends the process through abort().
void appendArgument(WideUnit *target, const WideUnit *argument);

#if defined(_WIN32)
// Builds the command line into a static writable buffer and returns it.
wchar_t *buildChildCommandLine();
#endif
