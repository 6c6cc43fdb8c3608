// The lines of the diagnosis mode (base/diagnose.h) for the main sequence's
// phases, and the summary at the end. Each returns at once when the mode is
// off.
#pragma once

#include <stdint.h>

// The launcher, its product and the target folder it expanded.
void accountForTarget();
// Before the files are checked: how they will be.
void accountForCheckMode();
// After they are in place: what was found, decoded and written.
void accountForFiles();
// The child is running: its program and command line.
void accountForChildStart(const wchar_t *program, const wchar_t *commandLine, uint32_t id);
// The child ended: its code, then the summary.
void accountForChildEnd(uint32_t exitCode);
