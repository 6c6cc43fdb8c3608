#include "base/diagnose.h"

#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

bool DiagnoseOn;
uint64_t DiagnosedFilesWritten;

static LARGE_INTEGER startCounter;
static LARGE_INTEGER counterFrequency;

void beginDiagnosis() {
    char value[2] = {0, 0};
    DWORD length = GetEnvironmentVariableA(DIAGNOSE_VARIABLE, value, sizeof value);
    DiagnoseOn = length == 1 && value[0] == '1';
    if (DiagnoseOn) {
        QueryPerformanceFrequency(&counterFrequency);
        QueryPerformanceCounter(&startCounter);
    }
}

double diagnosisMilliseconds() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return counterFrequency.QuadPart == 0
               ? 0.0
               : static_cast<double>(now.QuadPart - startCounter.QuadPart) * 1000.0 /
                     static_cast<double>(counterFrequency.QuadPart);
}

void diagnose(const char *format, ...) {
    if (!DiagnoseOn) {
        return;
    }
    fprintf(stderr, "tallix-onefile: %8.1f ms ", diagnosisMilliseconds());
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fputc('\n', stderr);
    // A launcher that hangs or is killed later still leaves its account.
    fflush(stderr);
}
