// The fast warm start: every file the payload index names is checked on disk
// before anything is decoded; when one differs, the payload is extracted
// (payload/extract/extraction.h) with each decoded record held to its index entry.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Threads that check files, the main thread included; on two cores three or
// four were no faster than two, and each holds a read buffer.
enum { INDEX_CHECK_MAX_THREADS = 4 };
// A thread beyond the first is started only for this much content, or this
// many files, each: below that it costs more than it saves.
enum : uint64_t { INDEX_CHECK_BYTES_PER_THREAD = uint64_t{16} << 20 };
enum { INDEX_CHECK_FILES_PER_THREAD = 64 };
// Files are read in pieces of this size into each thread's own buffer;
// natively 1 MiB was three times slower than 128 KiB, which stays in cache
// between the copy and the CRC.
enum { INDEX_READ_PIECE_SIZE = 128 * 1024 };

// Puts the application's files in place. When the index is whole and every
// file it names has its size and CRC-32 on disk (an entry of size 0: an
// empty file exists), ChildProgramPath is set from the first entry and the
// payload is never opened. Otherwise the payload is extracted, in lanes
// where payload/extract/parallel_extraction.h allows them, else through the payload
// stream; with a whole index, a record that is not its next entry (name,
// size, stored CRC-32), a frame that does not begin where the frame table
// puts it with the record it names, or entries or frames left over at the
// end marker, end the process with "Error, couldn't decode attached data."
// before anything is written under that record's name. Failures end the process as there.
// Before it decodes, a start with files to write takes its turn
// (payload/turn/unpack_lock.h), and may find them written by another start.
// With LAUNCH_QUICK_CHECK, a file whose metadata is that recorded is not
// read, and the record follows what was verified (payload/check/quick_check.h).
void preparePayloadFiles();

// The check alone (also for the benchmark): true when the index is whole and
// every file it names matches, checked on at most `maxThreads` threads (the
// calling one included). `threadsUsed`, when given, gets how many ran (0
// without a whole index).
bool indexedFilesMatch(size_t maxThreads, size_t *threadsUsed);
