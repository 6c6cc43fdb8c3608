// What happens to each extracted file, shared by the sequential path's
// writer thread (payload/write/write_queue.h) and the lanes that decode frames at
// once (payload/extract/parallel_extraction.h): the reuse check, the temporary file
// beside the final name, its writes with waits for programs holding it, its
// CRC-32 check, the handle held until the move, the moves into place at the
// end, and the clean-up of a run that does not finish.
//
// A run's files are pending from when they are added until they go into
// place. Each pending file is worked on by one FileWriter at a time; several
// FileWriters may work at once on different files. The pending table itself
// is filled and emptied by one thread while no FileWriter works.
//
// A FileWriter never reports: its first failure is kept in it, and its
// owner reports it (reportWriteFailure) where a single thread doing all the
// work in record order would have met it.
#pragma once

#include "base/wide_text.h"
#include "format/branch_filter.h"

#include <stddef.h>
#include <stdint.h>

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
// Written files held open until they go into place, at most, over all
// FileWriters: well below the 1,024 descriptors a process may hold by
// default under Wine.
enum { HELD_FILES_CAPACITY = 256 };

// After a call on a file failed: when its error is one a program holding
// the file causes and the file's pauses so far (*waitedMs) leave room,
// pauses and returns true, to make the call again; otherwise false, the
// call's error kept. Also for files written outside a run.
bool waitOutLockedFile(uint16_t *waitedMs);
// The pending table holds every file of a run, so that none goes into
// place before the whole payload has ended cleanly, whatever the number of
// files and the length of their names. It grows in chunks of this many
// files and name units (terminators included, 2 MiB): the first chunks are
// static, so an application of up to 65,536 files and 1 Mi units of names
// allocates nothing for it; beyond, each chunk is allocated as needed.
enum { PENDING_CHUNK_FILES = 1 << 16 };
enum { PENDING_CHUNK_NAME_UNITS = 1 << 20 };
// Chunks at most: far beyond any application, and name positions stay
// below 2^31.
enum { PENDING_MAX_CHUNKS = 2048 };

enum WriteFailure { WRITE_OK, WRITE_OPEN_FAILED, WRITE_WRITE_FAILED, WRITE_CONTENT_DAMAGED };

// One thread's writing state; zero-initialised before its first file.
struct FileWriter {
    WriteFailure failure;
    uint32_t errorCode; // WRITE_WRITE_FAILED: the system's
    uint32_t file;      // the pending file being worked on, and the failed one
    bool reusing;       // the file is in place already: content is passed over
    uint32_t writtenCrc;
    void *openTemporary;           // the temporary being written, or null
    unsigned char *checksumBuffer; // FILE_CHECKSUM_PIECE_SIZE bytes, this writer's own
    // The file's content went through the branch filter: undone into
    // checksumBuffer (free once the reuse check is over) before it is
    // checked or written.
    bool filtered;
    BranchFilterStream filter;
    wchar_t targetPath[PATH_CAPACITY];
    wchar_t temporaryPath[PATH_CAPACITY];
};

// Starts a run: until finishPendingRun(), a process end (every failure goes
// through exit) removes what the run has not put in place. The caller makes
// sure no FileWriter works by then.
void beginPendingRun();
void finishPendingRun();

// Adds file `name` (relative to TargetDirectory, already checked to stay
// inside it) with its stored CRC-32; `empty` when it has no content. Returns
// its place; false when the memory for the table's next chunk cannot be had.
// A run adds every record once, in record order from the first: the n-th
// file added is record n, whose branch filter the payload index names.
bool addPendingFile(const wchar_t *name, bool empty, uint32_t crc, uint32_t *place);
size_t pendingFileCount();

// A pending file that a plan made before the run (payload/plan/unpack_plan.h)
// found in place: no FileWriter looks at it again, and it goes nowhere.
void keepPendingFileInPlace(uint32_t place);

// Makes file `place`'s temporary from something other than decoded content
// (payload/plan/older_version.h): its folders are made and `make` is given
// the temporary's path, the next name while one is taken (`make` fails with
// ERROR_FILE_EXISTS or ERROR_ALREADY_EXISTS); once `make` has made it, the
// file goes into place, or on failure is removed, as a written one, moved
// by the handle `make` may leave in *held (delete access only), else by
// name. False when `make` fails otherwise, or a folder, link or other thing
// stands where the file or a folder of it must be: the file is then still
// to be written. `maker` is the calling thread's own, for its paths; several
// threads may make different files at once, before any FileWriter writes.
typedef bool (*MakeTemporaryFile)(const wchar_t *temporaryPath, void *context, void **held);
bool makePendingFile(FileWriter *maker, uint32_t place, MakeTemporaryFile make, void *context);

// A file made by makePendingFile, for the progress: `size` bytes counted as
// written, and the file as passed. On any thread.
void countTakenFile(uint64_t size);

// Checks file `place` on disk; one that does not match gets a new temporary
// file beside its final name, and its content follows.
void startFileWrite(FileWriter *writer, uint32_t place);
// The next `size` bytes of its content.
void writeFileContent(FileWriter *writer, const unsigned char *data, size_t size);
// After its last byte: checks the CRC-32 and holds the file, budget allowing.
void endFileWrite(FileWriter *writer);

// Ends the process with `writer`'s failure, as the extraction reports it.
[[noreturn]] void reportWriteFailure(const FileWriter *writer);

// Moves every pending file written to its final name, in the order they
// were added, then removes the temporaries of ended starts from the folders
// written into and the top of TargetDirectory (payload/write/temporaries.h), none
// of them a file of the table; empties the table. No FileWriter may work
// meanwhile.
void commitPendingFiles();
