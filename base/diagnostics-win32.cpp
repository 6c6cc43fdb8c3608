#include "base/diagnostics.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

void fatalError(const char *message) {
    puts(message);
    exit(FATAL_EXIT_STATUS);
}

void fatalSystemError(const char *message, uint32_t errorCode) {
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
    fprintf(stderr, "%s ([Error %ld] %s)\n", message,
            static_cast<long>(static_cast<int32_t>(errorCode)), text);
    exit(FATAL_EXIT_STATUS);
}

void fatalOpenError(const wchar_t *path) {
    fprintf(stderr, "Error, failed to open '%ls' for writing.\n", path);
    exit(FATAL_EXIT_STATUS);
}

void fatalTemplateError(const wchar_t *pattern) {
    fprintf(stderr, "Error, couldn't runtime expand spec '%ls'.\n", pattern);
    // abort() skips the runtime's flushing; a redirected stderr may be buffered.
    fflush(stderr);
    abort();
}
