#include "base/threads.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>

static HANDLE Release;
static std::atomic<int> Runs{0};

static void waitForRelease() {
    WaitForSingleObject(Release, INFINITE);
    ++Runs;
}

// A join within its limit reports a running thread as running; once the
// thread ends, the join closes it, and a join of no thread has nothing to wait for.
TEST(Threads, JoinWaitsForTheEndWithinItsLimit) {
    Release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(Release, nullptr);
    static Thread thread;
    for (int round = 1; round <= 2; ++round) {
        ResetEvent(Release);
        ASSERT_TRUE(startThread(&thread, waitForRelease, 64 * 1024)) << round;
        EXPECT_FALSE(joinThread(&thread, 50)) << round;
        EXPECT_NE(thread.handle, nullptr) << round;
        SetEvent(Release);
        EXPECT_TRUE(joinThread(&thread, JOIN_WAIT_FOREVER)) << round;
        EXPECT_EQ(thread.handle, nullptr) << round;
        EXPECT_EQ(Runs.load(), round);
    }
    EXPECT_TRUE(joinThread(&thread, 0));
    CloseHandle(Release);
}
