// An older version's unpack folder beside TargetDirectory, as the source of
// files an update did not change. It is found by its marker
// (payload/turn/folder_marker.h: the same company and product, a version not
// newer), never by its name, and only read: a file is taken by a hard link
// (or, where the volume has none, a copy) made under the new file's own
// temporary name, and the older folder, and every program running from it,
// stays as it was.
//
// A file is taken only when it is the plain file of that name below the
// older folder (no link or reparse point on the way, Wine's links to files
// included), held against writes while its size and CRC-32 are read, and,
// for a link, when the new name is seen to be that same file afterwards:
// the link is made from the very handle that was checked, and the file
// then counts one name more; where the system refuses a link by handle,
// the link is made by name and the new name opened and compared.
// Anything else (a file changed, missing, held for writing, or gone with
// its folder meanwhile) is not taken, and the caller decodes it instead.
#pragma once

#include "format/index/payload_index.h"

#include <stddef.h>
#include <stdint.h>

// Sibling folders looked at for a marker, at most: a cache folder holds a
// few versions of a few products, and each look costs an open.
enum { OLDER_VERSION_MAX_SIBLINGS = 256 };

// Looks beside TargetDirectory for older versions' folders and keeps the one
// whose marker was written last (the most recent version unpacked there,
// most likely to share files with this one). False when there is none.
bool findOlderVersionFolder();

// The folder found, for the diagnosis; empty when none.
const wchar_t *olderVersionFolder();

// Whether the older folder has a plain file for `entry` of the entry's
// size: worth trying to take (its content is checked by takeOlderFile).
bool olderFileMayMatch(const PayloadIndexEntry &entry);

// Threads that may take files at once, each with its own room for paths
// and a copy buffer: two share the reading and CRC-32 of the files; the
// rest of the work waits mostly on the system (under Wine, on its one
// server thread), which more threads would not hurry.
enum { OLDER_TAKERS_MAX = 2 };

// A link is made from the checked handle, else (where the system refuses
// that) by name, which costs an open and a comparison more.
enum TakenHow { NOT_TAKEN, TAKEN_AS_LINK, TAKEN_AS_LINK_BY_NAME, TAKEN_AS_COPY };

// Makes `temporaryPath` (which must not exist) the older folder's file for
// `entry`, on taking thread `taker` (below OLDER_TAKERS_MAX; one thread
// per number at a time): its content checked against the entry's size and
// CRC-32, then hard-linked there, else copied. With LAUNCH_CLEAN_OLD_VERSIONS, programs
// and libraries (".exe", ".dll") are copied: a running program keeps every
// name of its file from being deleted, and the older folder must stay
// removable while this version runs. On NOT_TAKEN nothing of ours is left
// at `temporaryPath` (but for a link swapped in by another program, which
// is left alone: removing it under Wine would remove what it names); the
// last error tells ERROR_ALREADY_EXISTS when the name was taken. A link
// leaves in *held a handle on it with delete access only (else null).
TakenHow takeOlderFile(size_t taker, const PayloadIndexEntry &entry, const wchar_t *temporaryPath,
                       void **held);
