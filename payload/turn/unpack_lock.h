// One unpack for many starts. Users click again while a large application
// unpacks on its first start; a start that finds files to write while
// another start of the same build writes them into the same folder waits for
// that one, then checks the files as a warm start does, instead of writing
// every file once more.
//
// The turn to unpack is a named mutex in the session's namespace:
//   Local\tallix-onefile-2-unpack-<folder>-<build>
// <folder>: 16 hex digits, the 64-bit FNV-1a hash of the target folder's
//   UTF-16 units, normalised: a "\\?\" prefix dropped ("\\?\UNC\" becomes
//   "\\"), made full (GetFullPathNameW), trailing separators dropped but a
//   root's, upper-cased (invariant locale);
// <build>: 8 hex digits, the payload's identity (payloadIdentity()).
// "2" numbers the protocol and the progress block's layout. Folders or
// builds whose names collide only wait for each other, then check and
// unpack as usual. The shared progress block (payload/turn/unpack_progress.h) is
// named alike with "progress" for "unpack".
//
// Only a start whose check found work takes the turn: a warm start never
// waits. When the mutex is free the start takes it and unpacks; when it is
// taken the start waits, looking at the holder's progress every
// UNPACK_WAIT_SLICE_MS, and:
//   - the holder ends its turn: this start checks the files again (holding
//     the turn meanwhile, so starts that queue up check one after another);
//     when they match it starts its own program, else it unpacks itself;
//   - the holder ends without ending its turn (killed or failed, the mutex is
//     abandoned): this start takes over and unpacks itself;
//   - the holder shows no progress for UNPACK_STALL_LIMIT_MS, or the wait
//     reaches UNPACK_WAIT_LIMIT_MS: this start unpacks without the turn, as
//     every start did before there was one (correct, only duplicated work).
// A launcher packed without an index cannot tell a warm start from a cold
// one without decoding, so every start of it takes the turn around its
// extraction: the first writes the files; the others, one after another,
// decode and find them in place, writing nothing.
// When a name cannot be formed or the system refuses the mutex, the start
// unpacks without the turn.
#pragma once

#include <stddef.h>
#include <stdint.h>

// How often a waiting start looks at the holder's progress.
enum { UNPACK_WAIT_SLICE_MS = 100 };
// A holder that shows no progress this long is taken to be stuck (suspended,
// or blocked on a file another program holds) and is no longer waited for: a
// healthy unpack adds to its count with every 32 KiB piece, and checking
// again after another start's unpack (up to a few seconds for the largest
// application Windows loads) adds nothing.
enum { UNPACK_STALL_LIMIT_MS = 30000 };
// The longest wait in all, whatever the progress: an unpack of the largest
// application at a slow disk's 20 MB/s stays well within it.
enum { UNPACK_WAIT_LIMIT_MS = 10 * 60 * 1000 };
// Room for an object's name with its terminator; the system allows MAX_PATH.
enum { UNPACK_OBJECT_NAME_CAPACITY = 80 };
// Bytes at the end of the attached data block that identify a build without
// an index: they hold the frame's last compressed block and its content
// checksum, which differ between builds whose files differ.
enum { IDENTITY_TAIL_BYTES = 4096 };

// For a start whose check found files to write, before it decodes anything.
// True when this start must write the files: it then holds the turn (or
// unpacks without it, as above) until endUnpackTurn(). False when, after
// waiting for another start, `filesMatch` (the warm start's check, run again)
// found every file in place: the turn is already given back.
bool takeUnpackTurn(bool (*filesMatch)());

// After this start's files are in place: marks its progress finished and
// lets the next waiting start have the turn. Before the program starts, so
// that waiting starts do not wait for it too.
void endUnpackTurn();

// The CRC-32 of the payload index, or without one of the block's last
// IDENTITY_TAIL_BYTES bytes followed by its size (8 bytes, little-endian).
uint32_t payloadIdentity();

// The name of object `kind` ("unpack" or "progress") for `folder` and build
// `identity`, into `name` (UNPACK_OBJECT_NAME_CAPACITY units). False when the
// folder's full path cannot be formed.
bool formatUnpackObjectName(wchar_t *name, const wchar_t *kind, const wchar_t *folder,
                            uint32_t identity);
