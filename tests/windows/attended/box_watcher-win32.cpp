// Starts a program and watches for a message box of its: the stand-in for a
// person who double-clicked it.
//
// box_watcher none|inherit PROGRAM
// none: the program gets no standard handles, as from a double-click;
// inherit: it gets the watcher's. When a dialog window of the program
// appears, prints "box-title: T" and "box-text: X" (its text control), reads
// one line from standard input (the test's go-ahead, after it has looked at
// the screen) and presses OK. Last, prints "exit-code N", or "timeout" when
// the program had not ended within WATCH_MS (it is then ended).
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

// Longer than any start of the test's launchers under load.
static const DWORD WATCH_MS = 90000;
static const DWORD POLL_MS = 50;
// The text control of a message box.
static const int MESSAGE_BOX_TEXT_ID = 0xFFFF;
enum { TEXT_CAPACITY = 8192 };

static DWORD watchedId;
static HWND box;

static BOOL CALLBACK findBox(HWND window, LPARAM) {
    wchar_t className[64];
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == watchedId && IsWindowVisible(window) && GetClassNameW(window, className, 64) > 0 &&
        wcscmp(className, L"#32770") == 0) {
        box = window;
        return FALSE;
    }
    return TRUE;
}

// One line of standard input, or its end.
static void awaitGoAhead() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char byte = 0;
    DWORD read = 0;
    while (ReadFile(input, &byte, 1, &read, nullptr) && read == 1 && byte != '\n') {
    }
}

static void reportBox() {
    static wchar_t title[TEXT_CAPACITY];
    static wchar_t text[TEXT_CAPACITY];
    GetWindowTextW(box, title, TEXT_CAPACITY);
    GetDlgItemTextW(box, MESSAGE_BOX_TEXT_ID, text, TEXT_CAPACITY);
    for (wchar_t *unit = text; *unit != 0; ++unit) {
        if (*unit == L'\r' || *unit == L'\n') {
            *unit = L'|';
        }
    }
    printf("box-title: %ls\nbox-text: %ls\n", title, text);
    fflush(stdout);
    awaitGoAhead();
    PostMessageW(box, WM_COMMAND, IDOK, 0);
}

int wmain(int argc, wchar_t **argv) {
    if (argc != 3) {
        fputs("usage: box_watcher none|inherit PROGRAM\n", stderr);
        return 2;
    }
    bool inherit = wcscmp(argv[1], L"inherit") == 0;
    static wchar_t commandLine[32768];
    swprintf(commandLine, 32768, L"\"%ls\"", argv[2]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    if (inherit) {
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION process = {};
    fflush(stdout);
    if (!CreateProcessW(argv[2], commandLine, nullptr, nullptr, inherit, 0, nullptr, nullptr,
                        &startup, &process)) {
        printf("CreateProcessW failed, error %lu\n", GetLastError());
        return 1;
    }
    watchedId = process.dwProcessId;
    ULONGLONG started = GetTickCount64();
    bool boxSeen = false;
    while (WaitForSingleObject(process.hProcess, POLL_MS) == WAIT_TIMEOUT) {
        if (GetTickCount64() - started > WATCH_MS) {
            TerminateProcess(process.hProcess, 1);
            puts("timeout");
            return 1;
        }
        if (!boxSeen && (EnumWindows(findBox, 0), box != nullptr)) {
            boxSeen = true;
            reportBox();
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    printf("exit-code %lu\n", code);
    return 0;
}
