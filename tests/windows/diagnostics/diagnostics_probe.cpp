// Runs one reporting helper so that a driver can check its output and exit
// status from outside the process. A GUI program, like the launcher.
//   fatal N             fatalError with catalogue message N (0..3)
//   system N CODE       fatalSystemError with message N (0..1) and CODE
//   open PATH           fatalOpenError(PATH)
//   template TEXT       fatalTemplateError(TEXT)
//   format CODE         the system's raw text for CODE in hex on stdout
#include "base/diagnostics.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static const char *const FATAL_MESSAGES[] = {
    "Error, failed to register signal handler.", "Error, couldn't find attached data header.",
    "Error, couldn't allocate memory.", "Error, couldn't decode attached data."};
static const char *const SYSTEM_MESSAGES[] = {"Error, couldn't unpack file to target path.",
                                              "Error, couldn't launch child"};

static int printSystemText(uint32_t code) {
    char *text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, code, SYSTEM_MESSAGE_LANGUAGE, reinterpret_cast<char *>(&text), 0, nullptr);
    if (length == 0) {
        return 1;
    }
    for (DWORD i = 0; i < length; ++i) {
        printf("%02x", static_cast<unsigned char>(text[i]));
    }
    printf("\n");
    return 0;
}

int wmain(int argc, wchar_t **argv) {
    if (argc == 3 && wcscmp(argv[1], L"fatal") == 0) {
        fatalError(FATAL_MESSAGES[_wtoi(argv[2]) & 3]);
    }
    if (argc == 4 && wcscmp(argv[1], L"system") == 0) {
        fatalSystemError(SYSTEM_MESSAGES[_wtoi(argv[2]) & 1], wcstoul(argv[3], nullptr, 0));
    }
    if (argc == 3 && wcscmp(argv[1], L"open") == 0) {
        fatalOpenError(argv[2]);
    }
    if (argc == 3 && wcscmp(argv[1], L"template") == 0) {
        fatalTemplateError(argv[2]);
    }
    if (argc == 3 && wcscmp(argv[1], L"format") == 0) {
        return printSystemText(wcstoul(argv[2], nullptr, 0));
    }
    return 100;
}
