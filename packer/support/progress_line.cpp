#include "packer/support/progress_line.h"

#include <cstdio>

namespace tallix {

namespace {

// Redraws at most this often; a terminal cannot show more.
constexpr std::chrono::milliseconds REDRAW_INTERVAL(100);
constexpr double MEGABYTE = 1e6;

} // namespace

std::string formatProgress(const ProgressSnapshot &s) {
    char line[160];
    double rate = s.seconds > 0 ? static_cast<double>(s.bytes) / MEGABYTE / s.seconds : 0;
    std::string ratio;
    if (s.written > 0 && s.bytes > 0) {
        char text[32];
        std::snprintf(text, sizeof text, "  ratio %.1f%%",
                      100.0 * static_cast<double>(s.written) / static_cast<double>(s.bytes));
        ratio = text;
    }
    std::string eta = "?";
    if (rate > 0 && s.totalBytes >= s.bytes) {
        double left = static_cast<double>(s.totalBytes - s.bytes) / MEGABYTE / rate;
        eta = std::to_string(static_cast<long long>(left + 0.5)) + "s";
    }
    std::snprintf(line, sizeof line, "  %llu/%llu files  %.1f/%.1f MB%s  %.1f MB/s  ETA %s",
                  static_cast<unsigned long long>(s.files),
                  static_cast<unsigned long long>(s.totalFiles),
                  static_cast<double>(s.bytes) / MEGABYTE,
                  static_cast<double>(s.totalBytes) / MEGABYTE, ratio.c_str(), rate, eta.c_str());
    return line;
}

ProgressLine::ProgressLine(bool enabled, std::uint64_t totalFiles, std::uint64_t totalBytes)
    : enabled_(enabled), totalFiles_(totalFiles), totalBytes_(totalBytes),
      start_(std::chrono::steady_clock::now()), lastDraw_(start_) {}

void ProgressLine::update(std::uint64_t files, std::uint64_t bytes, std::uint64_t written) {
    if (!enabled_) {
        return;
    }
    auto now = std::chrono::steady_clock::now();
    if (now - lastDraw_ < REDRAW_INTERVAL && bytes != totalBytes_) {
        return;
    }
    lastDraw_ = now;
    ProgressSnapshot snapshot{files,   totalFiles_,
                              bytes,   totalBytes_,
                              written, std::chrono::duration<double>(now - start_).count()};
    std::string text = formatProgress(snapshot);
    std::size_t width = text.size();
    if (width < drawnWidth_) {
        text.append(drawnWidth_ - width, ' '); // cover the longer line before
    }
    drawnWidth_ = width;
    std::fprintf(stderr, "\r%s", text.c_str());
    std::fflush(stderr);
}

void ProgressLine::finish() {
    if (enabled_ && drawnWidth_ > 0) {
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(drawnWidth_), "");
        std::fflush(stderr);
        drawnWidth_ = 0;
    }
}

} // namespace tallix
