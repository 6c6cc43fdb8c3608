// The full file name of the launcher's own executable, asked for once and
// shared by the child's argv[0], TALLIX_ONEFILE_DIRECTORY and {PROGRAM}.
#pragma once

// Null when the system cannot give it or it would not fit PATH_CAPACITY
// units with its terminator.
const wchar_t *getLauncherModulePath();
