// Every thread of the launcher starts here: a run of one function on
// several threads at once, and a thread of its own for one long task; and
// how many processors this process may use. Which thread touches what is
// listed in docs/threads.md.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The most threads runOnThreads starts (a limit of the wait for them).
enum { RUN_ON_THREADS_MAX = 64 };

// The processors in the process's affinity mask (all of them where it has
// none it can tell), at least 1: work is split at most this many ways.
size_t allowedProcessorCount();

// Runs work(0) on the calling thread and work(1) .. work(count - 1), count
// at most RUN_ON_THREADS_MAX, on threads started for it with `stackSize`
// bytes of stack reserved, and returns once all have ended: how many ran.
// A thread that cannot be started is left out, so work takes its items from
// a shared counter rather than by its number.
size_t runOnThreads(size_t count, size_t stackSize, void (*work)(size_t worker));

// A thread of its own, in storage the caller keeps for as long as it runs
// (the thread reads `work` from it as it starts).
struct Thread {
    void (*work)();
    void *handle; // null when none was started, and after the join
};

// No limit to a join's wait.
enum : uint32_t { JOIN_WAIT_FOREVER = 0xFFFFFFFF };

// Starts work() on a new thread with `stackSize` bytes of stack reserved (0:
// the image's default); false, and no thread, when the system starts none.
bool startThread(Thread *thread, void (*work)(), size_t stackSize);

// Waits up to `waitMs` milliseconds for the thread started last in
// `thread` to end: true once it has ended (its handle is closed then), or
// when none was started; false while it still runs.
bool joinThread(Thread *thread, uint32_t waitMs);
