// How far an unpack has come, for whatever shows it (the GUI launcher's
// progress window, launcher/progress_window.h). The writer thread
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

// Called once, on the writer thread, at the first piece it writes rather
// than finds in place; set before the unpack starts, null for none.
inline void (*onFirstUnpackWrite)() = nullptr;

// The writer thread's alone.
inline bool unpackWriteSeen = false;

inline void countUnpackedContent(uint64_t bytes, bool written) {
    UnpackedContentBytes.fetch_add(bytes, std::memory_order_relaxed);
    if (written && !unpackWriteSeen) {
        unpackWriteSeen = true;
        if (onFirstUnpackWrite != nullptr) {
            onFirstUnpackWrite();
        }
    }
}

inline void countFinishedFile() {
    FinishedFiles.fetch_add(1, std::memory_order_relaxed);
}

inline void countPlacedFile() {
    PlacedFiles.fetch_add(1, std::memory_order_relaxed);
}
