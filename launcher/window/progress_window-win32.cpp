#include "launcher/window/progress_window.h"

#include "base/fatal_box.h"
#include "base/threads.h"
#include "buildinfo/build_constants.h"
#include "format/constants_section.h"
#include "format/little_endian.h"
#include "format/progress_window.h"
#include "launcher/window/progress_text.h"
#include "payload/turn/unpack_progress.h"

#include <windows.h>

#include <commctrl.h>

#include <atomic>
#include <stdlib.h>

// The window's thread runs GDI's text and image code, which wants more than
// the index workers' 64 KiB; a reservation, committed as it is used.
enum { WINDOW_THREAD_STACK_SIZE = 1024 * 1024 };
// The bar's positions: finer than any bar is wide.
enum { PROGRESS_BAR_RANGE = 1000 };
// The bar counts a file as this many bytes besides its content, twice:
// once written, once moved into place after the stream. Under Wine each
// step took about 0.3 ms a file (4,000 files of 64 KiB), as long as writing
// half a MiB, and an application of many small files spends most of its
// unpack on them.
enum : uint64_t { FILE_STEP_BYTES = uint64_t{512} << 10 };
// How fast the bar without a total moves, in milliseconds a step.
enum { MARQUEE_STEP_MS = 30 };

// The layout, in pixels at 96 dpi (the launcher is not DPI-aware, so the
// system scales the window as a whole).
enum {
    LAYOUT_MARGIN = 16,
    LAYOUT_ICON_SIZE = 32,
    LAYOUT_TEXT_GAP = 12,
    LAYOUT_BAR_GAP = 12,
    LAYOUT_BAR_HEIGHT = 16,
    DEFAULT_CLIENT_WIDTH = 400,
    // A narrow splash still leaves the bar and the title room.
    SPLASH_MIN_CLIENT_WIDTH = 240,
};
enum { POLL_TIMER_ID = 1 };

static const wchar_t WINDOW_CLASS[] = L"TallixProgressWindow";
// A caption with the product's name and no buttons: no close box, since the
// unpack goes on whatever the window does (the files are what the person
// asked for, and other starts may be waiting on this one's), and no
// maximize box for a window of fixed layout.
static const DWORD WINDOW_STYLE = WS_CAPTION;
// A window placed where another start's progress window is moves this far
// right and down, so that neither hides the other.
enum { WINDOW_CASCADE_STEP = 32 };
// More starts at once than this share the last place.
enum { WINDOW_CASCADE_MAX = 8 };
// Held while a window finds its place and is created, so that two starts
// at once do not both take the free one.
static const wchar_t PLACE_MUTEX_NAME[] = L"Local\\TallixProgressWindowPlace";
// Making a window took up to a few hundred ms under Wine on a busy machine;
// a start whose turn takes longer than this places its window anyway.
enum { PLACE_WAIT_MS = 2000 };

// Set by beginProgressWindow before the unpack starts, and again when this
// start begins to wait for another start's unpack: the delay counts from it.
static ULONGLONG delayStartTick;
// Created by startWindowAfterDelay; the main thread reads them once the
// writer is idle.
static HANDLE unpackEnded;
// Whether the window's thread was started and not yet told to close.
static std::atomic<bool> windowStarted{false};
// The window's thread, for the wait at the process's end.
static Thread WindowThread;
// The application the window waits for once the files are in place (a
// handle of the window's own), and the launcher's end, which it never
// delays.
static std::atomic<HANDLE> lingeringFor{nullptr};
static std::atomic<bool> launcherEnding{false};
// How often the lingering window looks at the application.
enum { LINGER_POLL_MS = 20 };

// The window thread's own.
static wchar_t ProgressText[PROGRESS_TEXT_CAPACITY];
static wchar_t TextFormat[PROGRESS_TEXT_CAPACITY];
static uint64_t totalWork; // bytes and file steps (FILE_STEP_BYTES); 0: no index
static const unsigned char *splash;
static uint32_t splashWidth;
static uint32_t splashHeight;
static HICON largeIcon;
static HICON smallIcon;
static HFONT textFont;
static HWND progressBar;
static SIZE clientSize;
static SIZE frameSize;

// The data of resource `id` of `type` in this image; null when missing.
static const unsigned char *ownResource(const wchar_t *type, unsigned id, DWORD *size) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (found == nullptr) {
        return nullptr;
    }
    HGLOBAL loaded = LoadResource(module, found);
    *size = SizeofResource(module, found);
    return loaded != nullptr ? static_cast<const unsigned char *>(LockResource(loaded)) : nullptr;
}

// The line: the string table's format, or the built-in one.
static void loadProgressText() {
    const wchar_t *format = reinterpret_cast<const wchar_t *>(PROGRESS_TEXT_DEFAULT);
    DWORD size = 0;
    const unsigned char *block =
        ownResource(RT_STRING, PROGRESS_TEXT_STRING_ID / STRING_TABLE_BLOCK_STRINGS + 1, &size);
    const unsigned char *units;
    size_t length;
    if (block != nullptr &&
        findBlockString(block, size, PROGRESS_TEXT_STRING_ID % STRING_TABLE_BLOCK_STRINGS, &units,
                        &length) &&
        length > 0) {
        length = length < PROGRESS_TEXT_CAPACITY ? length : PROGRESS_TEXT_CAPACITY - 1;
        for (size_t i = 0; i < length; ++i) {
            TextFormat[i] = static_cast<wchar_t>(readLe16(units + 2 * i));
        }
        TextFormat[length] = 0;
        format = TextFormat;
    }
    expandProgressText(format, BUILD_PRODUCT, BUILD_VERSION, ProgressText);
}

// The splash as GDI draws it, decoded from the packer's compressed form;
// untouched zero pages unless a splash is shown.
static unsigned char SplashDrawn[SPLASH_DRAWN_CAPACITY];

static void loadSplash() {
    DWORD size = 0;
    const unsigned char *data = ownResource(RT_BITMAP, PROGRESS_SPLASH_ID, &size);
    if (data != nullptr && decodeSplash(data, size, SplashDrawn, &splashWidth, &splashHeight)) {
        splash = SplashDrawn;
    }
}

// The work shown, this start's own or the one it waits for; both unpack the
// same build, so the totals are this build's.
static uint64_t totalWorkShown() {
    UnpackProgress progress;
    if (!readUnpackProgress(&progress) || progress.filesTotal == 0) {
        return 0;
    }
    return progress.bytesTotal + 2 * progress.filesTotal * FILE_STEP_BYTES;
}

// What the window shows, gathered only once it is to be shown.
static void loadWindowContent() {
    totalWork = totalWorkShown();
    loadSplash();
    loadProgressText();
    HMODULE module = GetModuleHandleW(nullptr);
    // The packer's icon group, identifier 1; the system picks the sizes.
    largeIcon = static_cast<HICON>(
        LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON, LAYOUT_ICON_SIZE, LAYOUT_ICON_SIZE, 0));
    smallIcon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                              GetSystemMetrics(SM_CXSMICON),
                                              GetSystemMetrics(SM_CYSMICON), 0));
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        textFont = CreateFontIndirectW(&metrics.lfMessageFont);
    }
    if (splash != nullptr) {
        LONG width = static_cast<LONG>(splashWidth);
        clientSize.cx = width > SPLASH_MIN_CLIENT_WIDTH ? width : LONG{SPLASH_MIN_CLIENT_WIDTH};
        clientSize.cy =
            static_cast<LONG>(splashHeight) + LAYOUT_BAR_GAP + LAYOUT_BAR_HEIGHT + LAYOUT_BAR_GAP;
    } else {
        clientSize.cx = DEFAULT_CLIENT_WIDTH;
        clientSize.cy =
            LAYOUT_MARGIN + LAYOUT_ICON_SIZE + LAYOUT_BAR_GAP + LAYOUT_BAR_HEIGHT + LAYOUT_MARGIN;
    }
}

static void updateBar() {
    UnpackProgress progress;
    if (progressBar == nullptr || totalWork == 0 || !readUnpackProgress(&progress)) {
        return;
    }
    uint64_t done = progress.bytesDone + progress.fileStepsDone * FILE_STEP_BYTES;
    uint64_t position =
        done >= totalWork ? uint64_t{PROGRESS_BAR_RANGE} : done * PROGRESS_BAR_RANGE / totalWork;
    SendMessageW(progressBar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

// The icon, and the line beside it, centred on the icon's height.
static void paintDefaultLayout(HDC dc) {
    if (largeIcon != nullptr) {
        DrawIconEx(dc, LAYOUT_MARGIN, LAYOUT_MARGIN, largeIcon, LAYOUT_ICON_SIZE, LAYOUT_ICON_SIZE,
                   0, nullptr, DI_NORMAL);
    }
    HGDIOBJ oldFont = textFont != nullptr ? SelectObject(dc, textFont) : nullptr;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    const UINT flags = DT_WORDBREAK | DT_NOPREFIX | DT_END_ELLIPSIS;
    RECT text = {LAYOUT_MARGIN + LAYOUT_ICON_SIZE + LAYOUT_TEXT_GAP, LAYOUT_MARGIN,
                 clientSize.cx - LAYOUT_MARGIN, LAYOUT_MARGIN + LAYOUT_ICON_SIZE};
    RECT measured = text;
    DrawTextW(dc, ProgressText, -1, &measured, flags | DT_CALCRECT);
    LONG height = measured.bottom - measured.top;
    if (height < LAYOUT_ICON_SIZE) {
        text.top += (LAYOUT_ICON_SIZE - height) / 2;
    }
    DrawTextW(dc, ProgressText, -1, &text, flags);
    if (oldFont != nullptr) {
        SelectObject(dc, oldFont);
    }
}

static void paintSplash(HDC dc) {
    LONG left = (clientSize.cx - static_cast<LONG>(splashWidth)) / 2;
    SetDIBitsToDevice(dc, left, 0, splashWidth, splashHeight, 0, 0, 0, splashHeight,
                      splash + SPLASH_HEADER_SIZE, reinterpret_cast<const BITMAPINFO *>(splash),
                      DIB_RGB_COLORS);
}

static LRESULT CALLBACK progressWindowProcedure(HWND window, UINT message, WPARAM wParam,
                                                LPARAM lParam) {
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        if (splash != nullptr) {
            paintSplash(dc);
        } else {
            paintDefaultLayout(dc);
        }
        EndPaint(window, &paint);
        return 0;
    }
    case WM_TIMER:
        updateBar();
        return 0;
    case WM_CLOSE:
        // Alt+F4: the unpack goes on, so does the window.
        return 0;
    case WM_GETMINMAXINFO: {
        // A window manager asked to maximize it gets its own size back.
        auto *limits = reinterpret_cast<MINMAXINFO *>(lParam);
        if (frameSize.cx > 0) {
            limits->ptMaxSize = {frameSize.cx, frameSize.cy};
            limits->ptMaxTrackSize = limits->ptMaxSize;
            limits->ptMinTrackSize = limits->ptMaxSize;
        }
        return 0;
    }
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_MAXIMIZE || (wParam & 0xFFF0) == SC_CLOSE) {
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// The bar is the common control's, whose library is loaded only here: a
// start that shows no window never loads it.
static bool loadProgressControl() {
    typedef BOOL(WINAPI * InitControls)(const INITCOMMONCONTROLSEX *);
    HMODULE controls = LoadLibraryW(L"comctl32.dll");
    if (controls == nullptr) {
        return false;
    }
    auto initialize = reinterpret_cast<InitControls>(
        reinterpret_cast<void (*)()>(GetProcAddress(controls, "InitCommonControlsEx")));
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_PROGRESS_CLASS};
    return initialize != nullptr && initialize(&classes);
}

static void createProgressBar(HWND window, HINSTANCE instance) {
    if (!loadProgressControl()) {
        return;
    }
    bool moving = totalWork == 0;
    LONG top = clientSize.cy - LAYOUT_BAR_GAP - LAYOUT_BAR_HEIGHT;
    LONG margin = splash != nullptr ? LAYOUT_BAR_GAP : LAYOUT_MARGIN;
    DWORD style = WS_CHILD | WS_VISIBLE | (moving ? PBS_MARQUEE : PBS_SMOOTH);
    progressBar =
        CreateWindowExW(0, PROGRESS_CLASSW, nullptr, style, margin, top, clientSize.cx - 2 * margin,
                        LAYOUT_BAR_HEIGHT, window, nullptr, instance, nullptr);
    if (progressBar == nullptr) {
        return;
    }
    if (moving) {
        SendMessageW(progressBar, PBM_SETMARQUEE, TRUE, MARQUEE_STEP_MS);
    } else {
        SendMessageW(progressBar, PBM_SETRANGE32, 0, PROGRESS_BAR_RANGE);
    }
}

// Another start's progress window sits at `place`.
static bool placeIsTaken(POINT place) {
    for (HWND other = FindWindowExW(nullptr, nullptr, WINDOW_CLASS, nullptr); other != nullptr;
         other = FindWindowExW(nullptr, other, WINDOW_CLASS, nullptr)) {
        RECT rect;
        if (GetWindowRect(other, &rect) && rect.left == place.x && rect.top == place.y) {
            return true;
        }
    }
    return false;
}

// Centred on the primary screen's work area, or cascaded from another
// start's window there.
static HWND createProgressWindow() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_NOCLOSE;
    windowClass.lpfnWndProc = progressWindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = largeIcon;
    windowClass.hIconSm = smallIcon;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_APPSTARTING);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = WINDOW_CLASS;
    if (RegisterClassExW(&windowClass) == 0) {
        return nullptr;
    }
    RECT frame = {0, 0, clientSize.cx, clientSize.cy};
    AdjustWindowRectEx(&frame, WINDOW_STYLE, FALSE, 0);
    frameSize = {frame.right - frame.left, frame.bottom - frame.top};
    RECT work = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    POINT place = {work.left + (work.right - work.left - frameSize.cx) / 2,
                   work.top + (work.bottom - work.top - frameSize.cy) / 2};
    HANDLE placing = CreateMutexW(nullptr, FALSE, PLACE_MUTEX_NAME);
    if (placing != nullptr) {
        WaitForSingleObject(placing, PLACE_WAIT_MS);
    }
    for (int step = 0; step < WINDOW_CASCADE_MAX && placeIsTaken(place); ++step) {
        place.x += WINDOW_CASCADE_STEP;
        place.y += WINDOW_CASCADE_STEP;
    }
    HWND window = CreateWindowExW(0, WINDOW_CLASS, BUILD_PRODUCT, WINDOW_STYLE, place.x, place.y,
                                  frameSize.cx, frameSize.cy, nullptr, nullptr, instance, nullptr);
    if (placing != nullptr) {
        ReleaseMutex(placing);
        CloseHandle(placing);
    }
    if (window != nullptr) {
        createProgressBar(window, instance);
    }
    return window;
}

static void dispatchMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// The files are in place and the application starts: the window stays until
// the application waits for input (its window is up), it ends, the launcher
// ends, or PROGRESS_LINGER_MS have passed. The person sees no gap between the
// two windows, and the window's teardown does not compete with the
// application's start.
static void lingerUntilApplicationIsReady() {
    ULONGLONG since = GetTickCount64();
    while (!launcherEnding.load(std::memory_order_acquire) &&
           GetTickCount64() - since < PROGRESS_LINGER_MS) {
        HANDLE child = lingeringFor.load(std::memory_order_acquire);
        if (child != nullptr && (WaitForInputIdle(child, 0) != WAIT_TIMEOUT ||
                                 WaitForSingleObject(child, 0) != WAIT_TIMEOUT)) {
            return;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, LINGER_POLL_MS, QS_ALLINPUT);
        dispatchMessages();
    }
}

static void showUntilUnpackEnds() {
    loadWindowContent();
    HWND window = createProgressWindow();
    if (window == nullptr) {
        return;
    }
    // An unpack that ended while the window was made needs no window.
    if (WaitForSingleObject(unpackEnded, 0) == WAIT_OBJECT_0) {
        DestroyWindow(window);
        return;
    }
    updateBar();
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    SetTimer(window, POLL_TIMER_ID, PROGRESS_POLL_MS, nullptr);
    while (MsgWaitForMultipleObjects(1, &unpackEnded, FALSE, INFINITE, QS_ALLINPUT) ==
           WAIT_OBJECT_0 + 1) {
        dispatchMessages();
    }
    lingerUntilApplicationIsReady();
    DestroyWindow(window);
}

static void progressWindowThread() {
    if (WaitForSingleObject(unpackEnded, 0) == WAIT_TIMEOUT) {
        showUntilUnpackEnds();
    }
}

// At the process's end, normal or failed: the window is told to close, and
// its thread given time to finish, so that the process does not end while
// the thread is inside the window system's calls and holds its locks, which
// the system's own clean-up at the end may need. Runs before the fatal
// message box (base/fatal_box.h), whose exit handler is older: the window
// is gone when the box shows.
static void awaitWindowEnd() {
    launcherEnding.store(true, std::memory_order_release);
    SetEvent(unpackEnded);
    joinThread(&WindowThread, PROGRESS_EXIT_WAIT_MS);
}

// At each write of the unpack, and each slice of a wait for another start's
// (payload/turn/unpack_progress.h), until the delay has passed; then, once, the
// window's thread. No thread is started for a start that ends, or fails,
// within the delay.
static void startWindowAfterDelay(UnpackEvent event) {
    ULONGLONG now = GetTickCount64();
    if (event == UNPACK_WAIT_BEGINS) {
        delayStartTick = now;
        return;
    }
    if (now - delayStartTick < PROGRESS_SHOW_DELAY_MS) {
        return;
    }
    onUnpackEvent.store(nullptr, std::memory_order_relaxed);
    unpackEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (unpackEnded == nullptr) {
        return;
    }
    if (startThread(&WindowThread, progressWindowThread, WINDOW_THREAD_STACK_SIZE)) {
        atexit(awaitWindowEnd);
        windowStarted.store(true, std::memory_order_release);
    }
}

void beginProgressWindow() {
    if ((LaunchOptions & LAUNCH_NO_PROGRESS_WINDOW) != 0 || !imageIsGui()) {
        return;
    }
    delayStartTick = GetTickCount64();
    onUnpackEvent.store(startWindowAfterDelay, std::memory_order_relaxed);
}

void endProgressWindow() {
    onUnpackEvent.store(nullptr, std::memory_order_relaxed);
    if (!windowStarted.exchange(false, std::memory_order_acquire)) {
        return;
    }
    // The user's click made this process the foreground one; the
    // application may come to the front although the window is still up.
    AllowSetForegroundWindow(ASFW_ANY);
    // The window closes on its own thread while the application starts:
    // without a window manager Wine waits up to 2 s at an unmap.
    SetEvent(unpackEnded);
}

void progressWindowApplicationStarted(void *process) {
    HANDLE own = nullptr;
    if (WindowThread.handle != nullptr &&
        DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &own,
                        SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
        lingeringFor.store(own, std::memory_order_release);
    }
}
