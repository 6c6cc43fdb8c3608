// The sequential extraction's writing side (payload/extract/extraction.h): files
// queued by the thread that decodes are checked on disk, and the missing or
// changed ones written under temporary names and checked, by a writer thread
// through one FileWriter (payload/write/file_writer.h), in queue order; they go
// into place at the end of the run.
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
#include "payload/write/file_writer.h"

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
