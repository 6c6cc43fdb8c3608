// Starting the unpacked program, waiting for it, and the console control
// handler that gives it a grace period.
#pragma once

#include <windows.h>

// How long a console event waits for the child before terminating it.
enum { CHILD_GRACE_PERIOD_MS = 5000 };

// The runtime's wide argument vector, captured at entry; element 0 becomes
// TALLIX_ORIGINAL_ARGV0.
extern wchar_t **launcherArguments;

// The running child's process handle, or null; shared with the handler.
extern HANDLE volatile childProcessHandle;

// Sets TALLIX_ONEFILE_DIRECTORY and TALLIX_ORIGINAL_ARGV0, starts
// ChildProgramPath with the rebuilt command line, the launcher's standard
// handles, environment and current directory, waits and returns the child's
// exit code (1 if it cannot be read). A failed start ends the process with
// "Error, couldn't launch child" and status 2.
int launchChild();

// Directory of the launcher's executable, without a trailing backslash.
const wchar_t *getLauncherDirectory();

// For CTRL_C, BREAK, CLOSE, LOGOFF and SHUTDOWN while a child runs: waits up
// to CHILD_GRACE_PERIOD_MS, terminates the child (exit code 0) if it still
// runs. Always returns FALSE so the system's own handling follows.
BOOL WINAPI consoleControlHandler(DWORD event);
