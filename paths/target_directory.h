// The extraction directory: expanded from the build's template at start,
// then made a full, extended-length path in place (base/path_form.h), so
// that every file below it is reached whatever its depth; read for every
// file path. What the application is shown of it is the normal form.
#pragma once

#include "base/wide_text.h"

#include <stddef.h>

extern wchar_t TargetDirectory[PATH_CAPACITY];

// Replaces TargetDirectory as makeExtendedFullPath does. A failure, an
// empty directory or a result of PATH_CAPACITY units or more (the prefix
// adds 4 units to a full path, 6 to a UNC one) ends the process (abort).
void resolveTargetDirectory();

// Replaces `path` (PATH_CAPACITY units) by the extended form of its full
// path: GetFullPathNameW resolves ".", ".." and "/" relative to the current
// directory first, which the prefix would leave as they are; separators at
// the end are dropped but for the root's own ("\\?\C:\"). False, with
// `path` unchanged, for a failure or a result that does not fit.
bool makeExtendedFullPath(wchar_t *path);

// The one way to a path below the target: TargetDirectory, "\" unless it
// ends in one, and the `nameLength` units at `name` (terminated or not)
// into `path` (PATH_CAPACITY units), terminated; a length of 0 gives
// TargetDirectory itself. False, with `path` empty, when that takes more
// than PATH_CAPACITY units with the terminator: each caller says what such
// a name means to it.
__attribute__((warn_unused_result)) bool buildTargetPath(wchar_t *path, const wchar_t *name,
                                                         size_t nameLength);
