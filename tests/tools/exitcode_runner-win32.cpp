// Starts a program with an exact raw command line and reports its exit code
// in all 32 bits, which a Linux parent of Wine cannot see.
//
// RUNNER_COMMAND_LINE: the lpCommandLine, passed unchanged.
// RUNNER_APPLICATION: the lpApplicationName (optional; else taken from the
// command line by the system's search).
// The child inherits the runner's standard handles, environment and current
// directory. Prints "runner-pid N" before waiting, and
// "runner-peak-working-set N" (bytes) and, last, "runner-exit-code N"
// (unsigned decimal) after, on standard output. Exit status 0, or 1 when the
// program could not be started.
#include <windows.h>

#include <psapi.h>

#include <stdio.h>
#include <string.h>

static wchar_t commandLine[32768];
// How often the child's peak working set is read while it runs.
static const DWORD PEAK_SAMPLE_MS = 5;
static wchar_t application[32768];

static void printLine(const char *text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(strlen(text)), &written,
              nullptr);
}

static void samplePeak(HANDLE process, SIZE_T *peak) {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (K32GetProcessMemoryInfo(process, &counters, sizeof counters) &&
        counters.PeakWorkingSetSize > *peak) {
        *peak = counters.PeakWorkingSetSize;
    }
}

int wmain() {
    DWORD length = GetEnvironmentVariableW(L"RUNNER_COMMAND_LINE", commandLine, 32768);
    if (length == 0 || length >= 32768) {
        printLine("runner: RUNNER_COMMAND_LINE is not set\n");
        return 1;
    }
    length = GetEnvironmentVariableW(L"RUNNER_APPLICATION", application, 32768);
    bool hasApplication = length > 0 && length < 32768;
    // The child must not see the runner's own settings.
    SetEnvironmentVariableW(L"RUNNER_COMMAND_LINE", nullptr);
    SetEnvironmentVariableW(L"RUNNER_APPLICATION", nullptr);

    STARTUPINFOW startupInfo;
    memset(&startupInfo, 0, sizeof startupInfo);
    startupInfo.cb = sizeof startupInfo;
    startupInfo.dwFlags = STARTF_USESTDHANDLES;
    startupInfo.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startupInfo.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startupInfo.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info;
    if (!CreateProcessW(hasApplication ? application : nullptr, commandLine, nullptr, nullptr, TRUE,
                        0, nullptr, nullptr, &startupInfo, &info)) {
        char text[64];
        snprintf(text, sizeof text, "runner: CreateProcessW failed, error %lu\n", GetLastError());
        printLine(text);
        return 1;
    }
    char text[64];
    snprintf(text, sizeof text, "runner-pid %lu\n", info.dwProcessId);
    printLine(text);
    // Wine counts a process's memory only while it runs: the peak is also
    // sampled while waiting.
    SIZE_T peak = 0;
    do {
        samplePeak(info.hProcess, &peak);
    } while (WaitForSingleObject(info.hProcess, PEAK_SAMPLE_MS) == WAIT_TIMEOUT);
    samplePeak(info.hProcess, &peak);
    DWORD exitCode = 0;
    GetExitCodeProcess(info.hProcess, &exitCode);
    snprintf(text, sizeof text, "runner-peak-working-set %zu\n", peak);
    printLine(text);
    snprintf(text, sizeof text, "runner-exit-code %lu\n", exitCode);
    printLine(text);
    return 0;
}
