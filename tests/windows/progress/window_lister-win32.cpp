// The application of the progress window test: as it starts, prints how
// many top-level windows carry the title given as its argument (the
// launcher's product name), so the test sees whether the launcher's window
// was gone before the application started.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

enum { TITLE_CAPACITY = 256 };

static const wchar_t *wantedTitle = L"";
static int windowsFound;

static BOOL CALLBACK countWindow(HWND window, LPARAM) {
    wchar_t title[TITLE_CAPACITY];
    if (GetWindowTextW(window, title, TITLE_CAPACITY) > 0 && wcscmp(title, wantedTitle) == 0) {
        ++windowsFound;
    }
    return TRUE;
}

int wmain(int argc, wchar_t **argv) {
    if (argc > 1) {
        wantedTitle = argv[1];
    }
    EnumWindows(countWindow, 0);
    printf("windows titled '%ls': %d\n", wantedTitle, windowsFound);
    return 0;
}
