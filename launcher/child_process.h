// Starting the unpacked program, waiting for it, and the console control
// handler that gives it a grace period.
#pragma once

#include <windows.h>

#include <atomic>
#include <stdint.h>

// How long a console event waits for the child before terminating it.
enum { CHILD_GRACE_PERIOD_MS = 5000 };

// The runtime's wide argument vector, captured at entry; element 0 becomes
// TALLIX_ORIGINAL_ARGV0.
extern wchar_t **launcherArguments;

// The running child's process handle, shared with the handler. Written once
// before childProcessShare gains CHILD_PUBLISHED; valid until the side that
// leaves the share "retired, no uses" has closed it.
extern HANDLE childProcessHandle;
// CHILD_PUBLISHED | CHILD_RETIRED (the main thread is done with the handle),
// plus CHILD_ONE_USE per handler currently using it.
extern std::atomic<uint32_t> childProcessShare;
enum : uint32_t { CHILD_PUBLISHED = 1, CHILD_RETIRED = 2, CHILD_ONE_USE = 4 };

// Sets TALLIX_ONEFILE_DIRECTORY and TALLIX_ORIGINAL_ARGV0, starts
// ChildProgramPath, in its normal form (base/path_form.h), with the rebuilt
// command line, the launcher's standard handles, environment and current
// directory, waits and returns the child's exit code (1 if it cannot be
// read). A failed start ends the process with "Error, couldn't launch child"
// and status 2, naming Windows' path length limit for a path of MAX_PATH
// units or more (fatalLaunchError). Runs once per process.
int launchChild();

// Directory of the launcher's executable, in its normal form, without a
// trailing backslash.
const wchar_t *getLauncherDirectory();

// For CTRL_C, BREAK, CLOSE, LOGOFF and SHUTDOWN while a child runs: waits up
// to CHILD_GRACE_PERIOD_MS, terminates the child (exit code 0) if it still
// runs. Any number may run at once. Always returns FALSE so the system's own
// handling follows.
BOOL WINAPI consoleControlHandler(DWORD event);
