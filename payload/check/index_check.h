// The fast warm start: every file the payload index names is checked on disk
// before anything is decoded; what differs is put in place by the unpack
// plan (payload/plan/unpack_plan.h).
#pragma once

#include "format/index/payload_index.h"
#include "payload/extract/extraction.h"

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

// The check alone (also for the benchmark): true when the index is whole and
// every file it names matches, checked on at most `maxThreads` threads (the
// calling one included). `threadsUsed`, when given, gets how many ran (0
// without a whole index). With LAUNCH_QUICK_CHECK, a file whose metadata is
// that recorded is not read (payload/check/quick_check.h).
bool indexedFilesMatch(size_t maxThreads, size_t *threadsUsed);

// The same, and with `differs` (room for `capacity` flags) and a whole index
// of at most `capacity` entries, every entry is checked, not only up to the
// first that differs, and differs[k] tells whether entry k's file is not in
// place; a larger index leaves `differs` alone. A missing target folder
// counts every entry as differing without looking for each.
bool checkIndexedFiles(size_t maxThreads, size_t *threadsUsed, bool *differs, size_t capacity);

// The index the last check opened; null when it is not whole.
const PayloadIndex *wholePayloadIndex();

// For the sequential extraction (payload/extract/extraction.h) after the
// last check: with a whole index, a record that is not its next entry
// (name, size, stored CRC-32), a frame that does not begin where the frame
// table puts it with the record it names, or entries or frames left over at
// the end marker, end the process with "Error, couldn't decode attached
// data." before anything is written under that record's name. Null without
// a whole index.
const RecordCheck *indexRecordCheck();

// ChildProgramPath from the index's first entry, when it is whole.
void setChildProgramFromIndex();
