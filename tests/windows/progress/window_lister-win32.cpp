// The application of the progress window test: as it starts, prints how
// many top-level windows of its launcher (the process TALLIX_ONEFILE_PARENT
// names) carry the title given as its argument (the launcher's product
// name), so the test sees whether the launcher's window was gone before the
// application started, even while another launcher shows one.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

enum { TITLE_CAPACITY = 256 };

static const wchar_t *wantedTitle = L"";
static DWORD launcherId;
static int windowsFound;

static BOOL CALLBACK countWindow(HWND window, LPARAM) {
    wchar_t title[TITLE_CAPACITY];
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == launcherId && GetWindowTextW(window, title, TITLE_CAPACITY) > 0 &&
        wcscmp(title, wantedTitle) == 0) {
        ++windowsFound;
    }
    return TRUE;
}

int wmain(int argc, wchar_t **argv) {
    if (argc > 1) {
        wantedTitle = argv[1];
    }
    const wchar_t *parent = _wgetenv(L"TALLIX_ONEFILE_PARENT");
    if (parent == nullptr) {
        fputs("window_lister: TALLIX_ONEFILE_PARENT is not set\n", stderr);
        return 2;
    }
    launcherId = static_cast<DWORD>(wcstoul(parent, nullptr, 10));
    EnumWindows(countWindow, 0);
    printf("windows of its launcher titled '%ls': %d\n", wantedTitle, windowsFound);
    return 0;
}
