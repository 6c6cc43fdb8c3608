// Work split over threads: how many processors this process may use, and a
// run of one function on several threads at once.
#pragma once

#include <stddef.h>

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
