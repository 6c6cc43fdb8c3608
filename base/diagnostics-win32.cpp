#include "base/diagnostics.h"

#include "base/fatal_box.h"
#include "base/path_form.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

// A system error line as the box shows it; a longer system text is cut
// there, never in what is printed.
enum { FATAL_LINE_CAPACITY = 2048 };

static void (*beforeFatalReport)();

void setBeforeFatalReport(void (*hook)()) {
    beforeFatalReport = hook;
}

// Cleared first: a report from within the hook is made directly.
static void runBeforeFatalReport() {
    void (*hook)() = beforeFatalReport;
    beforeFatalReport = nullptr;
    if (hook != nullptr) {
        hook();
    }
}

void fatalError(const char *message) {
    runBeforeFatalReport();
    puts(message);
    noteFatalText(FATAL_STREAM_OUTPUT, message);
    exit(FATAL_EXIT_STATUS);
}

// The system error line, without ending the process.
static void reportSystemError(const char *message, uint32_t errorCode) {
    runBeforeFatalReport();
    // Stays empty when the system has no text for the code.
    char *text = nullptr;
    static char noText[1] = {0};
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, errorCode, SYSTEM_MESSAGE_LANGUAGE, reinterpret_cast<char *>(&text), 0, nullptr);
    if (length > 0 && text != nullptr) {
        for (DWORD i = length; i > 0; --i) {
            if (text[i - 1] != '\r' && text[i - 1] != '\n') {
                break;
            }
            text[i - 1] = 0;
        }
    } else {
        text = noText;
    }
    // The process ends right after; the system's buffer is not released.
    static char line[FATAL_LINE_CAPACITY];
    snprintf(line, sizeof line, "%s ([Error %ld] %s)\n", message,
             static_cast<long>(static_cast<int32_t>(errorCode)), text);
    fprintf(stderr, "%s ([Error %ld] %s)\n", message,
            static_cast<long>(static_cast<int32_t>(errorCode)), text);
    noteFatalText(FATAL_STREAM_ERROR, line);
}

void fatalSystemError(const char *message, uint32_t errorCode) {
    reportSystemError(message, errorCode);
    exit(FATAL_EXIT_STATUS);
}

void fatalLaunchError(uint32_t errorCode, size_t programPathLength) {
    reportSystemError("Error, couldn't launch child", errorCode);
    if (programPathLength >= MAX_PATH) {
        static char line[FATAL_LINE_CAPACITY];
        snprintf(line, sizeof line,
                 "The unpacked program's path is %u characters long, more than the %u Windows "
                 "starts a program from unless LongPathsEnabled is set; choose a shorter "
                 "--template.\n",
                 static_cast<unsigned>(programPathLength), static_cast<unsigned>(MAX_PATH - 1));
        fputs(line, stderr);
        noteFatalText(FATAL_STREAM_ERROR, line);
    }
    exit(FATAL_EXIT_STATUS);
}

void fatalOpenError(const wchar_t *path) {
    runBeforeFatalReport();
    static wchar_t shown[PATH_CAPACITY];
    shown[0] = 0;
    appendNormalPath(shown, path, PATH_CAPACITY);
    fprintf(stderr, "Error, failed to open '%ls' for writing.\n", shown);
    noteFatalText(FATAL_STREAM_ERROR, "Error, failed to open '");
    noteFatalWideText(FATAL_STREAM_ERROR, shown);
    noteFatalWideText(FATAL_STREAM_ERROR, L"' for writing.");
    exit(FATAL_EXIT_STATUS);
}

void fatalTemplateError(const wchar_t *pattern) {
    fprintf(stderr, "Error, couldn't runtime expand spec '%ls'.\n", pattern);
    // abort() skips the runtime's flushing; a redirected stderr may be buffered.
    fflush(stderr);
    noteFatalText(FATAL_STREAM_ERROR, "Error, couldn't runtime expand spec '");
    noteFatalWideText(FATAL_STREAM_ERROR, pattern);
    noteFatalWideText(FATAL_STREAM_ERROR, L"'.");
    // abort() runs no exit handler.
    showNotedFatalBox();
    abort();
}
