// The extraction directory: expanded from the build's template at start,
// then made absolute in place; read for every file path.
#pragma once

#include "base/wide_text.h"

extern wchar_t TargetDirectory[PATH_CAPACITY];

// Replaces TargetDirectory by its full path (GetFullPathNameW: ".", ".." and
// "/" resolved, relative to the current directory). A failure, an empty
// directory or a full path of 4096 units or more ends the process (abort).
void resolveTargetDirectory();

// TargetDirectory, "\" and `name` into `path` (PATH_CAPACITY units); a path
// that does not fit ends the process (abort).
void buildTargetPath(wchar_t *path, const wchar_t *name);
