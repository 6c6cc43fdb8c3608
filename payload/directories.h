// On-demand creation of the directories that extracted files need.
#pragma once

// Directories seen to exist are remembered, up to this many, so later files
// in them cost no system call. The first entry is always the expansion of
// "{HOME}" (which therefore is never created).
enum { KNOWN_DIRECTORIES_CAPACITY = 1024 };

// True when `path` (no trailing separator) exists afterwards.
bool ensureDirectory(const wchar_t *path);

// Makes every missing ancestor directory of `path` exist, as far as possible;
// reports nothing. A failure shows up when the file is opened for writing.
void createParentDirectories(const wchar_t *path);
