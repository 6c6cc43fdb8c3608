// The console control handler, called from threads of this program as the
// system would call it, while launchChild runs a real child (test_reporter).
#include "launcher/child_process.h"
#include "payload/extract/extraction.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

wchar_t argumentZero[] = L"console_handler_test";
wchar_t *testArguments[] = {argumentZero, nullptr};

class ConsoleHandler : public testing::Test {
  protected:
    void SetUp() override {
        // Every test starts from "no child yet", as a fresh launcher does.
        childProcessShare.store(0);
        childProcessHandle = nullptr;
        launcherArguments = testArguments;
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring path(self);
        path = path.substr(0, path.rfind(L'\\')) + L"\\test_reporter.exe";
        wcscpy(ChildProgramPath, path.c_str());
        SetEnvironmentVariableW(L"REPORTER_QUIET", L"1");
    }

    static void childBehaves(DWORD sleepMs, DWORD exitCode) {
        SetEnvironmentVariableW(L"REPORTER_SLEEP_MS", std::to_wstring(sleepMs).c_str());
        SetEnvironmentVariableW(L"REPORTER_EXIT_CODE", std::to_wstring(exitCode).c_str());
    }

    static void waitUntilChildPublished() {
        while ((childProcessShare.load() & CHILD_PUBLISHED) == 0) {
            Sleep(1);
        }
    }

    // Delivers `event` once the child runs, as the system would on a thread of
    // its own, and records how long the handler took.
    static std::thread eventWhileChildRuns(DWORD event, long long &handlerMs) {
        return std::thread([event, &handlerMs] {
            waitUntilChildPublished();
            auto start = Clock::now();
            EXPECT_FALSE(consoleControlHandler(event));
            handlerMs = millisecondsSince(start);
        });
    }
};

TEST_F(ConsoleHandler, EventsBeforeOrAfterTheChildAndIgnoredCodesReturnAtOnce) {
    const DWORD events[] = {0, 1, 2, 3, 4, 5, 6, 7, 100, 0xFFFFFFFF};
    auto start = Clock::now();
    for (DWORD event : events) {
        EXPECT_FALSE(consoleControlHandler(event)) << event;
    }
    EXPECT_LT(millisecondsSince(start), 200);

    // While a child runs, codes 3, 4 and above 6 still do nothing to it.
    childBehaves(1500, 7);
    std::thread events3to7([] {
        waitUntilChildPublished();
        auto start = Clock::now();
        for (DWORD event : {3u, 4u, 7u, 1000u}) {
            EXPECT_FALSE(consoleControlHandler(event));
        }
        EXPECT_LT(millisecondsSince(start), 200);
    });
    EXPECT_EQ(launchChild(), 7);
    events3to7.join();
    // No handler took the handle, so the main thread closed it.
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(childProcessHandle, &flags));

    // After the child, every event finds nothing to wait for.
    start = Clock::now();
    EXPECT_FALSE(consoleControlHandler(CTRL_C_EVENT));
    EXPECT_LT(millisecondsSince(start), 200);
}

TEST_F(ConsoleHandler, ChildRunningPastTheGracePeriodIsTerminatedWithCodeZero) {
    childBehaves(60000, 7);
    long long handlerMs = 0;
    std::thread handler = eventWhileChildRuns(CTRL_C_EVENT, handlerMs);
    auto start = Clock::now();
    EXPECT_EQ(launchChild(), 0);
    EXPECT_LT(millisecondsSince(start), 15000);
    handler.join();
    EXPECT_GE(handlerMs, CHILD_GRACE_PERIOD_MS - 100);
    EXPECT_LT(handlerMs, CHILD_GRACE_PERIOD_MS + 3000);
}

TEST_F(ConsoleHandler, ChildEndingWithinTheGracePeriodKeepsItsExitCode) {
    childBehaves(1500, 0xC0000005);
    long long handlerMs = 0;
    std::thread handler = eventWhileChildRuns(CTRL_CLOSE_EVENT, handlerMs);
    EXPECT_EQ(static_cast<DWORD>(launchChild()), 0xC0000005u);
    handler.join();
    EXPECT_LT(handlerMs, CHILD_GRACE_PERIOD_MS - 1000);
}

TEST_F(ConsoleHandler, SeveralEventsAtOnceEachGetTheGracePeriod) {
    childBehaves(60000, 7);
    std::vector<std::thread> handlers;
    std::vector<long long> durations(3);
    const DWORD events[] = {CTRL_BREAK_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT};
    for (int i = 0; i < 3; ++i) {
        handlers.push_back(eventWhileChildRuns(events[i], durations[i]));
    }
    EXPECT_EQ(launchChild(), 0);
    for (auto &handler : handlers) {
        handler.join();
    }
    for (long long duration : durations) {
        EXPECT_GE(duration, CHILD_GRACE_PERIOD_MS - 100);
        EXPECT_LT(duration, CHILD_GRACE_PERIOD_MS + 3000);
    }
    // The last of them closed the handle; nothing was created since.
    EXPECT_EQ(childProcessShare.load(), uint32_t(CHILD_PUBLISHED | CHILD_RETIRED));
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(childProcessHandle, &flags));
}

// Events arrive before, during and after the child, and race with the main
// thread's own close: the main thread must still get the real exit code,
// every handler must return, and the handle must end up closed.
TEST_F(ConsoleHandler, EventsRacingWithTheMainThreadsCloseNeverCostTheExitCode) {
    childBehaves(0, 42);
    for (int round = 0; round < 15; ++round) {
        childProcessShare.store(0);
        std::atomic<bool> done{false};
        std::atomic<int> calls{0};
        std::vector<std::thread> handlers;
        for (int i = 0; i < 4; ++i) {
            handlers.emplace_back([&] {
                do {
                    EXPECT_FALSE(consoleControlHandler(CTRL_C_EVENT));
                    ++calls;
                } while (!done.load());
                // One more after the main thread has finished with the handle.
                EXPECT_FALSE(consoleControlHandler(CTRL_C_EVENT));
            });
        }
        EXPECT_EQ(launchChild(), 42) << "round " << round;
        done = true;
        for (auto &handler : handlers) {
            handler.join();
        }
        EXPECT_GT(calls.load(), 0);
        EXPECT_EQ(childProcessShare.load(), uint32_t(CHILD_PUBLISHED | CHILD_RETIRED));
        // Closed: no handle was created since, so its value cannot be reused.
        DWORD flags = 0;
        EXPECT_FALSE(GetHandleInformation(childProcessHandle, &flags)) << "round " << round;
    }
}

} // namespace
