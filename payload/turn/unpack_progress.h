// How far the unpack of this start's files has come, for a progress window
// on its own thread: this start's own unpack, or, while it waits for another
// start unpacking the same build into the same folder (payload/turn/unpack_lock.h),
// that one's. One set of numbers: the writer counts each piece and each file
// once, and this start's window and every waiting start read the same.
//
// A start that holds the unpack turn keeps its numbers in a small named
// shared-memory block, named like the turn's mutex with "progress" for
// "unpack" (payload/turn/unpack_lock.h), so that every waiting start reads the
// same numbers; a start that unpacks without the turn keeps them in its own
// memory. Block layout (UnpackProgressBlock below), native byte order, each
// field 8-byte aligned and read and written atomically.
//
// A warm start never gets here: it counts nothing, maps nothing and starts
// no thread.
#pragma once

#include <atomic>
#include <stdint.h>

struct UnpackProgress {
    // File content written so far, or found already in place and passed over.
    uint64_t bytesDone;
    // All the application's file content; 0 while unknown (a launcher packed
    // without an index learns it only by decoding, and gives it at the end).
    uint64_t bytesTotal;
    // Two steps a file: one when the writer has passed it (written or found
    // in place), one when it is in place after the stream.
    uint64_t fileStepsDone;
    // The index's file count; 0 without an index.
    uint64_t filesTotal;
    // This start waits for another start's unpack: the numbers are that one's.
    bool waiting;
    // The unpack shown has ended with its files in place. An unpack that
    // fails or is killed never sets it; a start that takes over starts the
    // numbers again from 0.
    bool finished;
};

// Any thread, any time, without locks or system calls. False while there is
// nothing to show: before this start found files to write, and for a warm
// start, which never does.
bool readUnpackProgress(UnpackProgress *progress);

// --- The writer's side: one relaxed add each, nothing that waits ------------

// `bytes` more file content passed on the extraction's writer thread;
// `written` when they were written rather than found in place.
void countUnpackedContent(uint64_t bytes, bool written);
// The writer has passed a file.
void countFinishedFile();
// A file is in place, on the unpacking thread once the writer is idle.
void countPlacedFile();

// --- The watcher (the progress window) ------------------------------------

enum UnpackEvent {
    // A piece of content was written or, once one was, a file put in place.
    UNPACK_WRITTEN,
    // This start begins to wait for another start's unpack, whose numbers
    // readUnpackProgress() now shows.
    UNPACK_WAIT_BEGINS,
    // It still waits (every UNPACK_WAIT_SLICE_MS).
    UNPACK_WAITING,
};

// When set, called at each event: on the writer thread while it writes, on
// the unpacking thread while it waits or puts files into place, never on
// both at once. It may clear itself.
inline std::atomic<void (*)(UnpackEvent)> onUnpackEvent{nullptr};

// --- For the unpack turn (payload/turn/unpack_lock-win32.cpp) ----------------------

// The shared block. `turn` is bumped by each start that begins to write into
// it, so a waiter sees a new writer even when the counts repeat.
struct UnpackProgressBlock {
    uint64_t bytesDone;
    uint64_t bytesTotal;
    uint64_t fileStepsDone;
    uint64_t filesTotal;
    uint64_t turn;
    uint64_t finished;
};

// Maps the shared block called `name`, creating it (zeroed) when no start
// has; false when the system refuses, and this start then shows only its own.
bool openSharedProgress(const wchar_t *name);
// This start waits: readUnpackProgress() shows the shared block, and the
// watcher is told (UNPACK_WAIT_BEGINS); nothing without a shared block.
void showSharedProgress();
// Each slice of the wait: tells the watcher (UNPACK_WAITING).
void noteUnpackWait();
// This start begins to write its files, into the shared block when it holds
// the turn (`shared`) and one is open, else into its own; the totals come
// from the index.
void beginOwnProgress(bool shared);
// Its files are in place.
void finishOwnProgress();
// Changes whenever the shared block's writer makes progress, starts afresh
// or finishes; 0 without a shared block. For the waiter's stall check.
uint64_t sharedProgressStamp();
