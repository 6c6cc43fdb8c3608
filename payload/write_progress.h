// How far this process's own unpack has come, for the GUI launcher's
// progress window (launcher/progress_window.h); what a start waiting for
// another start's unpack shows is in payload/unpack_progress.h. The writer thread
// (payload/write_queue.h) counts every piece of content and every file it
// passes, written or found in place, and the end of the run every file it
// puts (or finds) in place: one relaxed add each, nothing that waits.
#pragma once

#include <atomic>
#include <stdint.h>

// Since the process started: content bytes and files the writer has
// passed, and files put into place (or found there) after the stream.
inline std::atomic<uint64_t> UnpackedContentBytes{0};
inline std::atomic<uint64_t> FinishedFiles{0};
inline std::atomic<uint64_t> PlacedFiles{0};

// When set, called at each piece of content written and, once something
// was written, at each file put into place: on the writer thread while it
// writes, on the unpacking thread while it puts files into place, never on
// both at once. It may clear itself.
inline std::atomic<void (*)()> onUnpackWrite{nullptr};

// Set by the writer; read by the unpacking thread once the writer is idle.
inline bool unpackWriteSeen = false;

inline void countUnpackedContent(uint64_t bytes, bool written) {
    UnpackedContentBytes.fetch_add(bytes, std::memory_order_relaxed);
    if (written) {
        unpackWriteSeen = true;
        if (void (*hook)() = onUnpackWrite.load(std::memory_order_relaxed)) {
            hook();
        }
    }
}

inline void countFinishedFile() {
    FinishedFiles.fetch_add(1, std::memory_order_relaxed);
}

inline void countPlacedFile() {
    PlacedFiles.fetch_add(1, std::memory_order_relaxed);
    if (void (*hook)() = onUnpackWrite.load(std::memory_order_relaxed); hook && unpackWriteSeen) {
        hook();
    }
}
