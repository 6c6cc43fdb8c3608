#include "base/fatal_box.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// The longest report: a message, a path of up to 4096 units and a system
// text, with the advice; a longer one is cut, which the box survives.
enum { FATAL_BOX_TEXT_CAPACITY = 8192 };
// The launcher's own file name stands in for a product name not yet known.
enum { FATAL_BOX_TITLE_CAPACITY = MAX_PATH };

struct FatalAdvice {
    const char *messageStart;
    const wchar_t *advice;
};

// What a person can do, by the message's first words.
static const FatalAdvice FATAL_BOX_ADVICE[] = {
    {"Error, couldn't find attached data header.",
     L"This program's file is damaged or incomplete. Download it again, or ask whoever gave "
     L"it to you for a new copy."},
    {"Error, couldn't decode attached data.",
     L"This program's file is damaged or incomplete. Download it again, or ask whoever gave "
     L"it to you for a new copy."},
    {"Error, couldn't allocate memory.",
     L"The computer is short of memory. Close other programs and start this one again."},
    {"Error, failed to register signal handler.",
     L"Start the program again. If this keeps happening, restart the computer."},
    {"Error, failed to open",
     L"A file of the program could not be written. Check that the disk has free space and "
     L"that no other copy of the program is running, then start it again."},
    {"Error, couldn't unpack file to target path.",
     L"Check that the disk has free space and that you may write to the folder named, then "
     L"start the program again."},
    {"Error, couldn't launch child",
     L"Windows did not start the program; security software may have blocked it. Start it "
     L"again, or ask your administrator."},
    {"Error, couldn't runtime expand spec",
     L"The folder to unpack into could not be worked out. If your administrator set "
     L"TALLIX_ONEFILE_CACHE_DIR, check its value; else ask whoever gave you the program for a "
     L"new copy."},
};

static bool enabled;
static bool decided;
static bool applies;
static const FatalAdvice *advice;
static wchar_t BoxText[FATAL_BOX_TEXT_CAPACITY];
static wchar_t BoxTitle[FATAL_BOX_TITLE_CAPACITY];

bool imageIsGui() {
    const unsigned char *image = reinterpret_cast<const unsigned char *>(GetModuleHandleW(nullptr));
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(image);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(image + dos->e_lfanew);
    return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

// No handle, or one the system cannot tell the kind of.
static bool leadsNowhere(FatalStream stream) {
    HANDLE handle =
        GetStdHandle(stream == FATAL_STREAM_OUTPUT ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return true;
    }
    SetLastError(NO_ERROR);
    return GetFileType(handle) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR;
}

// A service or a scheduled task without a desktop would wait on a box that
// no one can see, for ever.
static bool desktopIsSeen() {
    USEROBJECTFLAGS flags = {};
    HWINSTA station = GetProcessWindowStation();
    return station != nullptr &&
           GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

static void append(const wchar_t *text) {
    size_t used = wcslen(BoxText);
    size_t room = FATAL_BOX_TEXT_CAPACITY - 1 - used;
    size_t length = wcslen(text);
    length = length < room ? length : room;
    wmemcpy(BoxText + used, text, length);
    BoxText[used + length] = 0;
}

// Decided at the report's first text, for the whole report.
static bool boxApplies(FatalStream stream, const char *firstText) {
    if (!decided) {
        decided = true;
        applies = enabled && imageIsGui() && leadsNowhere(stream) && desktopIsSeen();
        for (const FatalAdvice &row : FATAL_BOX_ADVICE) {
            if (firstText != nullptr &&
                strncmp(firstText, row.messageStart, strlen(row.messageStart)) == 0) {
                advice = &row;
            }
        }
    }
    return applies;
}

void noteFatalText(FatalStream stream, const char *text) {
    if (!boxApplies(stream, text)) {
        return;
    }
    static wchar_t wide[FATAL_BOX_TEXT_CAPACITY];
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, FATAL_BOX_TEXT_CAPACITY);
    if (length <= 0) {
        wide[0] = 0;
    }
    wide[FATAL_BOX_TEXT_CAPACITY - 1] = 0;
    append(wide);
}

void noteFatalWideText(FatalStream stream, const wchar_t *text) {
    if (boxApplies(stream, nullptr)) {
        append(text);
    }
}

static BOOL CALLBACK hideOwnWindow(HWND window, LPARAM) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == GetCurrentProcessId()) {
        // Not waiting for the window's thread, which may be busy.
        ShowWindowAsync(window, SW_HIDE);
    }
    return TRUE;
}

void showNotedFatalBox() {
    if (!applies || BoxText[0] == 0) {
        return;
    }
    applies = false;
    size_t length = wcslen(BoxText);
    while (length > 0 && BoxText[length - 1] == L'\n') {
        BoxText[--length] = 0;
    }
    if (advice != nullptr) {
        append(L"\n\n");
        append(advice->advice);
    }
    if (BoxTitle[0] == 0) {
        wchar_t path[MAX_PATH];
        DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        const wchar_t *name = length > 0 && length < MAX_PATH ? wcsrchr(path, L'\\') : nullptr;
        setFatalBoxTitle(name != nullptr ? name + 1 : L"Error");
    }
    EnumWindows(hideOwnWindow, 0);
    MessageBoxW(nullptr, BoxText, BoxTitle, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

void enableFatalBox() {
    if (!enabled) {
        enabled = true;
        atexit(showNotedFatalBox);
    }
}

void setFatalBoxTitle(const wchar_t *title) {
    size_t length = wcslen(title);
    length = length < FATAL_BOX_TITLE_CAPACITY ? length : FATAL_BOX_TITLE_CAPACITY - 1;
    wmemcpy(BoxTitle, title, length);
    BoxTitle[length] = 0;
}
