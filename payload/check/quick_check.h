// The quick warm check, for launchers packed with LAUNCH_QUICK_CHECK: a
// start that has verified the content of every file the payload index names
// keeps a record of their metadata in the unpack folder
// (format/index/quick_check_record.h), and a later start trusts each file whose
// size, last-write time and identity are still those recorded, read from one
// directory listing per folder without opening the file. Every other file
// gets the content check (payload/check/index_check.h): one not seen in its
// folder's listing (missing, a folder, a link), one whose metadata differs
// or was written too close to the record's read time, and every file when
// the record is missing, damaged or made for another payload.
//
// The check is blind to a change that keeps a file's size, last-write time
// and identity (in-place tampering that restores the time, silent disk
// corruption); the content check is the default for that reason.
#pragma once

#include "format/index/payload_index.h"

#include <stddef.h>

// Files at most that a record covers: the record, the metadata found and
// the name table are static. A larger index gets the content check alone.
enum { QUICK_CHECK_MAX_FILES = 65536 };
// A power of two of at least twice QUICK_CHECK_MAX_FILES, so that probing
// for a name stays short.
enum { QUICK_CHECK_NAME_SLOTS = 2 * QUICK_CHECK_MAX_FILES };
// Bytes of a folder's listing asked for at once: about 600 entries of
// typical names per call.
enum { DIRECTORY_LISTING_SIZE = 64 * 1024 };
// Folders are listed on several threads, the main one included, one more
// for each this many folders, up to the allowed processors and this many:
// under Wine two threads listed 205 folders in 30 ms against 50 ms for one,
// three were no faster, and each thread holds a listing buffer.
enum { QUICK_CHECK_FOLDERS_PER_THREAD = 16 };
enum { QUICK_CHECK_MAX_THREADS = 4 };

// With LAUNCH_QUICK_CHECK and an index of at most QUICK_CHECK_MAX_FILES
// entries, compares every file `index` names with the record. True when
// each one is unchanged; otherwise quickCheckPassed tells which are. Without
// the bit or for a larger index: false, and none passed.
bool quickCheckFiles(const PayloadIndex &index);

// Whether entry k passed the last quickCheckFiles.
bool quickCheckPassed(size_t k);

// Once the files `index` names are verified: after the content check of
// those quickCheckFiles left (`extracted` false), or after an extraction
// (true; the folders are listed again). Writes the record, under a
// temporary name moved into place as the extraction's files are, when
// anything was verified by content; otherwise, and without the quick check,
// does nothing. Failures are ignored: the record only saves work.
void saveQuickCheckRecord(const PayloadIndex &index, bool extracted);
