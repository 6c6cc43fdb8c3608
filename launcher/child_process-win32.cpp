#include "launcher/child_process.h"

#include "base/diagnostics.h"
#include "base/path_form.h"
#include "base/wide_append.h"
#include "buildinfo/build_constants.h"
#include "format/constants_section.h"
#include "launcher/command_line.h"
#include "launcher/old_versions.h"
#include "launcher/start_account.h"
#include "launcher/window/progress_window.h"
#include "paths/environment.h"
#include "paths/module_path.h"
#include "payload/extract/extraction.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// Sharing the child's handle between the main thread and any number of
// handler threads, without a lock:
//
// childProcessHandle is written once, before the release that sets
// CHILD_PUBLISHED, and never changes. A handler may use it only while it holds
// a use, taken by a compare-and-swap that sees PUBLISHED set and RETIRED clear.
// The main thread uses it without a counted use until it sets RETIRED, after
// its wait and exit-code query; its exit code is therefore always the real one.
// The handle is closed by whoever brings the share to "RETIRED, no uses": the
// main thread when its fetch_or finds no use, else the handler whose
// fetch_sub drops the last use after RETIRED was set. That state is reached
// once, since no use can be taken after RETIRED, so the handle is closed
// exactly once, and never while a use is held or by the main thread after it
// retired. Each handler gets its own full grace wait.
HANDLE childProcessHandle = nullptr;
std::atomic<uint32_t> childProcessShare{0};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the handler must never block");

wchar_t **launcherArguments = nullptr;

// The directory of the launcher's module file; one unit more than a path buffer.
static wchar_t launcherDirectory[PATH_CAPACITY + 1];

// ChildProgramPath in its normal form: the program is started from the path
// any other start of it would use, so it sees itself, and the folders it
// derives from its own name, as usual. Windows' CreateProcessW takes a path
// of MAX_PATH units or more only where LongPathsEnabled is set (the
// launcher's manifest is longPathAware); elsewhere the start fails, and the
// report names the path's length as the cause. An extended path would get
// past the limit only to hand the application a "\\?\" module name that
// much of its own code could not use.
static wchar_t programPath[PATH_CAPACITY];

const wchar_t *getLauncherDirectory() {
    launcherDirectory[0] = 0;
    const wchar_t *program = getLauncherModulePath();
    if (program != nullptr) {
        appendNormalPath(launcherDirectory, program, PATH_CAPACITY + 1);
    }
    wchar_t *lastSeparator = wcsrchr(launcherDirectory, L'\\');
    if (lastSeparator != nullptr) {
        *lastSeparator = 0;
    }
    return launcherDirectory;
}

// Returns true when the caller dropped the last use after retirement and
// must close the handle.
static bool dropChildUse() {
    uint32_t previous = childProcessShare.fetch_sub(CHILD_ONE_USE, std::memory_order_acq_rel);
    return previous == (CHILD_PUBLISHED | CHILD_RETIRED | CHILD_ONE_USE);
}

static bool takeChildUse() {
    uint32_t state = childProcessShare.load(std::memory_order_acquire);
    do {
        if ((state & CHILD_PUBLISHED) == 0 || (state & CHILD_RETIRED) != 0) {
            return false;
        }
    } while (!childProcessShare.compare_exchange_weak(
        state, state + CHILD_ONE_USE, std::memory_order_acq_rel, std::memory_order_acquire));
    return true;
}

// A job that ends its processes when its last handle closes, which the
// launcher holds until it ends, however it ends; null when there is none to
// be had. Processes the application starts may leave it (breakaway allowed).
static HANDLE createKillOnCloseJob() {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) {
        return nullptr;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

// The child was created suspended, so it runs no code outside the job. A
// job the launcher already runs in may refuse a nested one; the child then
// runs as it would without the option.
static void startInJob(HANDLE job, const PROCESS_INFORMATION &processInfo) {
    if (job != nullptr && !AssignProcessToJobObject(job, processInfo.hProcess)) {
        CloseHandle(job);
    }
    ResumeThread(processInfo.hThread);
}

int launchChild() {
    setEnvironmentValue("TALLIX_ONEFILE_DIRECTORY", getLauncherDirectory());
    setEnvironmentValue("TALLIX_ORIGINAL_ARGV0",
                        launcherArguments != nullptr ? launcherArguments[0] : nullptr);

    STARTUPINFOW startupInfo;
    memset(&startupInfo, 0, sizeof startupInfo);
    startupInfo.cb = sizeof startupInfo;
    startupInfo.dwFlags = STARTF_USESTDHANDLES;
    startupInfo.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startupInfo.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startupInfo.hStdError = GetStdHandle(STD_ERROR_HANDLE);

    wchar_t *commandLine = buildChildCommandLine();
    HANDLE job =
        (LaunchOptions & LAUNCH_KILL_CHILD_WITH_LAUNCHER) != 0 ? createKillOnCloseJob() : nullptr;
    PROCESS_INFORMATION processInfo;
    memset(&processInfo, 0, sizeof processInfo);
    programPath[0] = 0;
    appendNormalPath(programPath, ChildProgramPath, PATH_CAPACITY);
    if (!CreateProcessW(programPath, commandLine, nullptr, nullptr, TRUE,
                        NORMAL_PRIORITY_CLASS | (job != nullptr ? CREATE_SUSPENDED : 0), nullptr,
                        nullptr, &startupInfo, &processInfo)) {
        fatalLaunchError(GetLastError(), wcslen(programPath));
    }
    if (job != nullptr) {
        startInJob(job, processInfo);
    }
    CloseHandle(processInfo.hThread);
    progressWindowApplicationStarted(processInfo.hProcess);
    accountForChildStart(programPath, commandLine, processInfo.dwProcessId);
    if ((LaunchOptions & LAUNCH_CLEAN_OLD_VERSIONS) != 0) {
        removeOldVersions();
    }

    DWORD exitCode = 0;
    childProcessHandle = processInfo.hProcess;
    childProcessShare.store(CHILD_PUBLISHED, std::memory_order_release);

    WaitForSingleObject(processInfo.hProcess, INFINITE);
    if (!GetExitCodeProcess(processInfo.hProcess, &exitCode)) {
        exitCode = 1;
    }
    uint32_t previous = childProcessShare.fetch_or(CHILD_RETIRED, std::memory_order_acq_rel);
    if (previous == CHILD_PUBLISHED) {
        CloseHandle(childProcessHandle);
    }
    accountForChildEnd(exitCode);
    return static_cast<int>(exitCode);
}

BOOL WINAPI consoleControlHandler(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    if (!takeChildUse()) {
        return FALSE;
    }
    if (WaitForSingleObject(childProcessHandle, CHILD_GRACE_PERIOD_MS) != WAIT_OBJECT_0) {
        TerminateProcess(childProcessHandle, 0);
    }
    if (dropChildUse()) {
        CloseHandle(childProcessHandle);
    }
    return FALSE;
}
