// The two forms of a full Windows path. Files under the launcher's target
// directory are reached through the extended-length form ("\\?\C:\...",
// "\\?\UNC\server\share\..."), which Windows takes at any length; without
// the prefix a path of MAX_PATH (260) units or more fails unless the
// machine's LongPathsEnabled is set. The prefix also turns off the system's
// normalisation ("/", "." and ".." stay as they are), so an extended path
// is made only from a full path already normalised. What a user or the
// application sees is the normal form ("C:\...", "\\server\share\...").
#pragma once

#include "base/wide_text.h"

#include <stddef.h>

// Units of the root of `path`, the part a walk up its folders never goes
// above: "C:" of "C:\...", "\\server\share", "\\?\C:", "\\?\UNC\server\share"
// and, for another "\\?\" or "\\.\" path, the prefix and its first
// component. 0 for a path that starts otherwise (relative ones).
size_t pathRootLength(const WideUnit *path);

// Appends the extended form of the full, normalised path `path`: "\\?\"
// before a drive path, "\\?\UNC\" for the "\\" of a UNC path; a path that
// has a "\\?\" or "\\.\" prefix already, or is not full, as it is. Overflow
// ends the process (base/wide_append.h).
void appendExtendedPath(WideUnit *target, const WideUnit *path, size_t capacity);

// Appends the normal form of `path`: "\\?\" before a drive path is dropped,
// "\\?\UNC\" becomes "\\"; any other path as it is. Overflow ends the process.
void appendNormalPath(WideUnit *target, const WideUnit *path, size_t capacity);
