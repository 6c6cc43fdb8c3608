// On-demand creation of the directories that extracted files need.
#pragma once

#include <stddef.h>

// Directories seen to exist are remembered, up to this many, so later files
// in them cost no system call; each lookup scans them. The first entry is
// always the expansion of "{HOME}", in TargetDirectory's form (which
// therefore is never created); a path's root (a drive, a share) counts as
// existing. Every directory this process creates is remembered for
// removeCreatedDirectories, beyond this many too.
enum { KNOWN_DIRECTORIES_CAPACITY = 1024 };

// Makes every missing ancestor directory of `path` exist, as far as possible.
// Returns false when an ancestor below TargetDirectory exists but is not a
// plain directory (a file, or a symbolic link or junction, which is never
// followed there); a directory that could not be created shows up when the
// file is opened. Levels down to TargetDirectory itself may be links.
bool createParentDirectories(const wchar_t *path);

// Whether this process created the directory of the first `length` units
// of `directory`, as far as the KNOWN_DIRECTORIES_CAPACITY remembered ones
// tell: false for one created beyond them.
bool directoryCreatedHere(const wchar_t *directory, size_t length);

// Removes the directories this process created, deepest first, as far as
// they are empty; for a start that failed.
void removeCreatedDirectories();
