// Temporary files: a file is written as "~tallix-<process id>-<number>.tmp"
// beside its final name, so that it goes into place by a move within its own
// directory, and its name tells which process wrote it. A start that ends
// without its clean-up (killed) leaves them behind; a later start that
// unpacks into that directory removes those whose process has ended, and
// never a file of the application that happens to be named like one.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The temporaries of the launcher's own files: the extraction numbers its
// files' temporaries from 0 up and never reaches these.
enum : uint32_t { RECORD_TEMPORARY_NUMBER = 0xFFFFFFFF, MARKER_TEMPORARY_NUMBER = 0xFFFFFFFE };

// The name of this process's temporary file `number` beside `finalPath`,
// into `path` (PATH_CAPACITY units).
void buildTemporaryPath(wchar_t *path, const wchar_t *finalPath, uint32_t number);

// Tells whether the full path names a file of the application.
typedef bool (*ApplicationFileTest)(const wchar_t *path);

// Removes the temporary files that starts which have ended left in
// `directory` (a full path ending in "\"): plain files only, a link named
// like one stays and nothing it names is touched; one held open now stays
// for a later start, as does every one `isApplicationFile` claims. Never
// one this process created. One thread at a time.
void removeStaleTemporaries(const wchar_t *directory, ApplicationFileTest isApplicationFile);

// Writes a file of the launcher's own (not one of the application's) at
// `path`: into this process's temporary `number` beside it, then moved into
// place, so that nothing is ever written through the name itself. A link
// there (isLinkedEntry, payload/write/safe_delete.h) is left alone; the same
// content there already (another start placed it) counts as placed.
// Programs holding the file for a moment are waited out; access denied is
// not (a folder or a place the user cannot write). False when nothing was
// placed; the temporary is gone then, unless held past the wait.
bool placeOwnFile(const wchar_t *path, uint32_t number, const void *data, size_t size);
