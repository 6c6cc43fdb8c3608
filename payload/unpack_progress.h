// How far the unpack of this start's files has come, for a progress window
// on its own thread: this start's own unpack, or, while it waits for another
// start unpacking the same build into the same folder (payload/unpack_lock.h),
// that one's.
//
// A start that holds the unpack turn keeps its numbers in a small named
// shared-memory block, named like the turn's mutex with "progress" for
// "unpack" (payload/unpack_lock.h), so that every waiting start reads the
// same numbers; a start that unpacks without the turn keeps them in its own
// memory. Block layout (UnpackProgressBlock below), native byte order, each
// field 8-byte aligned and read and written atomically.
#pragma once

#include <stdint.h>

struct UnpackProgress {
    // File content written so far, or found already in place and passed over.
    uint64_t bytesDone;
    // All the application's file content; 0 while unknown (a launcher packed
    // without an index learns it only by decoding, and gives it at the end).
    uint64_t bytesTotal;
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

// The writer's side: `bytes` more file content written or found in place.
// One atomic add; called on the extraction's writer thread.
void addUnpackProgress(uint64_t bytes);

// --- For the unpack turn (payload/unpack_lock-win32.cpp) ----------------------

// The shared block. `turn` is bumped by each start that begins to write into
// it, so a waiter sees a new writer even when the byte count repeats.
struct UnpackProgressBlock {
    uint64_t bytesDone;
    uint64_t bytesTotal;
    uint64_t turn;
    uint64_t finished;
};

// Maps the shared block called `name`, creating it (zeroed) when no start
// has; false when the system refuses, and this start then shows only its own.
bool openSharedProgress(const wchar_t *name);
// This start waits: readUnpackProgress() shows the shared block.
void showSharedProgress();
// This start begins to write its files, into the shared block when it holds
// the turn (`shared`) and one is open, else into its own.
void beginOwnProgress(uint64_t bytesTotal, bool shared);
// Its files are in place.
void finishOwnProgress();
// Changes whenever the shared block's writer makes progress, starts afresh
// or finishes; 0 without a shared block. For the waiter's stall check.
uint64_t sharedProgressStamp();
