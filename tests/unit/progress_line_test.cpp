#include "packer/support/progress_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace tallix {
namespace {

TEST(ProgressLine, ReportsRatioRateAndTimeLeft) {
    struct Case {
        ProgressSnapshot snapshot;
        const char *line;
    };
    for (const Case &c : std::vector<Case>{
             {{12, 217, 50'000'000, 250'000'000, 12'500'000, 2.0},
              "  12/217 files  50.0/250.0 MB  ratio 25.0%  25.0 MB/s  ETA 8s"},
             // Nothing compressed yet: no ratio, no time left.
             {{1, 3, 0, 10, 0, 0.0}, "  1/3 files  0.0/0.0 MB  0.0 MB/s  ETA ?"},
             // Input compressed but no output produced yet (a small app): no "ratio 0.0%".
             {{3, 3, 4'000'000, 4'000'000, 0, 0.5}, "  3/3 files  4.0/4.0 MB  8.0 MB/s  ETA 0s"},
         }) {
        EXPECT_EQ(formatProgress(c.snapshot), c.line);
    }
}

} // namespace
} // namespace tallix
