// The launcher's account of one start, for a launcher that misbehaves on a
// user's machine: with DIAGNOSE_VARIABLE set to "1", one line on standard
// error per phase (what was checked, reused, written and started), each
// "tallix-onefile: <ms since start, one decimal> ms <text>", then a summary.
// Off (any other value, or unset), nothing is printed and each site costs
// one test of a flag.
#pragma once

#include <stdint.h>

inline constexpr char DIAGNOSE_VARIABLE[] = "TALLIX_ONEFILE_DIAGNOSE";

// Read once by beginDiagnosis; the sites test it before they build a line.
extern bool DiagnoseOn;
// Files the unpack wrote (rather than found in place), counted as they go
// into place on the unpacking thread.
extern uint64_t DiagnosedFilesWritten;

// First thing at start: reads DIAGNOSE_VARIABLE and notes the time the
// lines count from.
void beginDiagnosis();

// Milliseconds since beginDiagnosis.
double diagnosisMilliseconds();

// One line (the format without its line end) when DiagnoseOn.
void diagnose(const char *format, ...) __attribute__((format(ms_printf, 1, 2)));
