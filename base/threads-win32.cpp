#include "base/threads.h"

#include <windows.h>

size_t allowedProcessorCount() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
        size_t cores = 0;
        for (; process != 0; process &= process - 1) {
            ++cores;
        }
        return cores;
    }
    DWORD cores = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    return cores > 0 ? cores : 1;
}

namespace {

struct ThreadStart {
    void (*work)(size_t worker);
    size_t worker;
};

DWORD WINAPI runStarted(void *start) {
    const ThreadStart *run = static_cast<const ThreadStart *>(start);
    run->work(run->worker);
    return 0;
}

DWORD WINAPI runThread(void *thread) {
    static_cast<const Thread *>(thread)->work();
    return 0;
}

} // namespace

bool startThread(Thread *thread, void (*work)(), size_t stackSize) {
    thread->work = work;
    thread->handle = CreateThread(nullptr, stackSize, runThread, thread,
                                  STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    return thread->handle != nullptr;
}

bool joinThread(Thread *thread, uint32_t waitMs) {
    if (thread->handle == nullptr) {
        return true;
    }
    if (WaitForSingleObject(thread->handle, waitMs) != WAIT_OBJECT_0) {
        return false;
    }
    CloseHandle(thread->handle);
    thread->handle = nullptr;
    return true;
}

size_t runOnThreads(size_t count, size_t stackSize, void (*work)(size_t worker)) {
    ThreadStart starts[RUN_ON_THREADS_MAX];
    HANDLE threads[RUN_ON_THREADS_MAX];
    size_t started = 0;
    count = count < RUN_ON_THREADS_MAX ? count : size_t{RUN_ON_THREADS_MAX};
    for (size_t worker = 1; worker < count; ++worker) {
        starts[worker] = {work, worker};
        HANDLE thread = CreateThread(nullptr, stackSize, runStarted, &starts[worker],
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (thread != nullptr) {
            threads[started++] = thread;
        }
    }
    work(0);
    if (started > 0) {
        WaitForMultipleObjects(static_cast<DWORD>(started), threads, TRUE, INFINITE);
    }
    for (size_t i = 0; i < started; ++i) {
        CloseHandle(threads[i]);
    }
    return started + 1;
}
