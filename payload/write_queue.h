// The extraction's writing side (payload/extraction.h): files queued by the
// thread that decodes are checked on disk, and the missing or changed ones
// written under temporary names and checked, by a writer thread, in queue
// order; they go into place at the end of the run.
//
// The writer never reports: its first failure is kept, later pieces are
// passed over, and the queuing thread reports it where the sequential order
// would have met it, before anything it met itself later in the stream.
//
// A file another program holds for a moment (LOCKED_FILE_WAIT_MS) is waited
// out by the thread that meets it: the writer while it checks and writes,
// the decoder running on meanwhile until the queue is full; the queuing
// thread as files go into place. Nothing pauses unless a call has failed.
#pragma once

#include "base/wide_text.h"

#include <stddef.h>
#include <stdint.h>

// Content moves from the stream to the file in pieces of at most this size.
enum { COPY_PIECE_SIZE = 32768 };
// Decoded pieces waiting for the writer thread, at most (4 MiB): the
// decoder runs this far ahead of the disk. 16 leave it waiting a fifth of a
// cold start under Wine, while the writer waits on files being created.
enum { WRITE_QUEUE_PIECES = 128 };
// A sleeping thread of the two is woken once this many pieces wait for it
// (or are free for it), not for each one.
enum { WAKE_BATCH_PIECES = 16 };
// Written files held open until they go into place, at most: well below
// the 1,024 descriptors a process may hold by default under Wine.
enum { HELD_FILES_CAPACITY = 256 };

// Other programs open a file for a moment right after it appears, is
// written or is renamed: on-access scanners (antivirus) do, mostly without
// delete sharing, for a few to a few hundred milliseconds. Meanwhile
// creating, writing, moving or replacing it fails with a sharing, lock or
// access-denied error, and reading it may fail with the first two. Such a
// call is made again after a pause, and again, until the file has waited
// this long in all (its reuse check, its writing and its move together);
// a file locked for longer fails as any other failure to write it does. 2 s
// outlasts a scanner's hold several times over and bounds how much later a
// file that stays in use (an application running from it) fails.
enum { LOCKED_FILE_WAIT_MS = 2000 };
// Pauses double from the first: most holds end within milliseconds, and a
// call that fails costs far less than a pause.
enum { FIRST_LOCK_PAUSE_MS = 1 };
// ... up to the longest: a hold ends unseen, so the next call comes at most
// this late after it.
enum { LONGEST_LOCK_PAUSE_MS = 100 };
// Written files waiting for the stream's end, at most, and the units of
// their names, terminators included (2 MiB); when either is full, those
// already written go into place early.
enum { PENDING_FILES_CAPACITY = 1 << 16 };
enum { PENDING_NAME_UNITS_CAPACITY = 1 << 20 };

// After a call on a file failed: when its error is one a program holding
// the file causes and the file's pauses so far (*waitedMs) leave room,
// pauses and returns true, to make the call again; otherwise false, the
// call's error kept. Also for files written outside a run.
bool waitOutLockedFile(uint16_t *waitedMs);

// Starts a run: until finishQueuedFiles(), a process end removes what the
// run has not put in place, and a failure reported on this thread waits for
// the writer and gives way to a failure the writer met first.
void beginQueuedFiles();

// Queues file `name` (relative to TargetDirectory, already checked to stay
// inside it) with its stored CRC-32; `empty` when it has no content. The
// writer leaves a file that matches in place and passes over its content;
// any other it puts in a new temporary file beside its final name. Its
// content follows through claimContentPiece()/queueContentPiece(), then
// queueFileEnd().
void queueFileStart(const wchar_t *name, bool empty, uint32_t storedCrc);

// A buffer of COPY_PIECE_SIZE bytes for the next piece of content; waits
// while the queue is full. Ends the process first when the writer has failed.
unsigned char *claimContentPiece();
// Hands the claimed piece, its first `size` bytes filled, to the writer.
void queueContentPiece(size_t size);
// After the file's last piece: the writer checks its CRC-32.
void queueFileEnd();

// After the stream has ended cleanly: waits for the writer, reports its
// failure if any, moves every written file to its final name and ends the run.
void finishQueuedFiles();
