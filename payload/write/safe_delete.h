// Deletion that never follows a link. Win32 delete calls are not safe on a
// link everywhere: under Wine, DeleteFileW, RemoveDirectoryW and a delete
// disposition on a symbolic link remove its target and leave the link, and a
// link to a file looks like a plain file (no FILE_ATTRIBUTE_REPARSE_POINT,
// even on a handle opened with FILE_FLAG_OPEN_REPARSE_POINT). So a link is
// never removed here: the entry is opened without following a reparse point,
// and that same handle removes it only if it is the plain file or folder of
// that name itself, which means
//   - its attributes carry no FILE_ATTRIBUTE_REPARSE_POINT (Windows' links,
//     junctions and other reparse points, and Wine's links to folders), and
//   - the system resolves it to its parent folder's resolved path plus its
//     own name (under Wine a link's handle resolves to the target).
// The parent folder itself is trusted: a caller walking a tree never enters
// a folder these functions would refuse (isPlainEntry). Not reentrant (fixed
// buffers): one thread at a time calls them, the writer thread while it
// unpacks or the main thread once the application has started.
#pragma once

#include <windows.h>

// Whether `handle`, opened on `path` with FILE_FLAG_OPEN_REPARSE_POINT, is
// the plain file or folder of that name itself rather than a link or what a
// link points to. `path` is a full path whose last part is a long name, as
// FindFirstFileW reports it.
bool isPlainEntryHandle(HANDLE handle, const wchar_t *path);

// Whether `path` exists and is a plain folder (`folder`) or plain file.
bool isPlainEntry(const wchar_t *path, bool folder);

// Whether `path` is reached through a link or is a file with other names:
// a reparse point, a file the system resolves elsewhere (Wine's links to
// files) or one whose link count is above 1 (a hard link). A write by name
// there would change what another name shows. False when nothing is there.
bool isLinkedEntry(const wchar_t *path);

// Removes the plain file `path`. False, with nothing changed, for a link, a
// folder, a file open without delete sharing (in use) or any other failure.
bool deletePlainFile(const wchar_t *path);

// Removes the empty plain folder `path`; false as deletePlainFile, and for a
// folder that is not empty.
bool removePlainFolder(const wchar_t *path);
