// The launcher's main sequence, from entry to the child's exit code.
#pragma once

// Reads what it needs (the runtime's argument vector, the command line)
// itself; returns the launcher's exit status.
int launcherMain();
