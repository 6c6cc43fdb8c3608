// The one-line progress report while the payload is compressed, redrawn in
// place on a terminal: files, bytes, ratio, speed and time left.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tallix {

// Counted as the compressor sees them, so the ratio and the time left agree
// with the finished block.
struct ProgressSnapshot {
    std::uint64_t files = 0, totalFiles = 0; // files compressed whole
    std::uint64_t bytes = 0, totalBytes = 0; // input compressed
    std::uint64_t written = 0;               // compressed output produced for it
    double seconds = 0;                      // since the start
};

// The line's text (no carriage return), e.g.
// "  12/217 files  34.1/263.9 MB  ratio 27.0%  120.5 MB/s  ETA 2s". The
// ratio is left out until some output was produced, the time left until
// some input was compressed.
std::string formatProgress(const ProgressSnapshot &snapshot);

class ProgressLine {
  public:
    // Draws only when `enabled` (a terminal, no --quiet).
    ProgressLine(bool enabled, std::uint64_t totalFiles, std::uint64_t totalBytes);
    void update(std::uint64_t files, std::uint64_t bytes, std::uint64_t written);
    // Erases the line.
    void finish();

  private:
    bool enabled_;
    std::uint64_t totalFiles_, totalBytes_;
    std::chrono::steady_clock::time_point start_, lastDraw_;
    std::size_t drawnWidth_ = 0;
};

} // namespace tallix
