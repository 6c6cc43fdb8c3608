// The one window a GUI launcher shows: while a start writes the application's
// files, or waits for another start writing them (payload/turn/unpack_lock.h),
// for longer than PROGRESS_SHOW_DELAY_MS, a small window with the product's
// name, icon and line (format/progress_window.h) and a bar of the work done
// so far (content passed, files put into place) against the index's total
// (a moving bar without an index, which gives no total before the end). A
// waiting start shows the other start's work, from the moment it began to
// wait. The window lives on its own thread, started at the first write or
// wait slice once the delay has passed (payload/turn/unpack_progress.h), and
// reads the unpack's numbers on a timer, so the unpack never waits on it.
//
// Never shown by a console launcher (the image's own subsystem decides, as
// the packer chose it), with LAUNCH_NO_PROGRESS_WINDOW, on a start that
// neither writes nor waits, or on one that ends within the delay.
#pragma once

// A start that ends within this needs no sign of life; beyond it users
// begin to wonder whether their click was taken and click again.
enum { PROGRESS_SHOW_DELAY_MS = 400 };
// The bar follows the counter at ten steps a second, which looks smooth
// and costs the window thread next to nothing.
enum { PROGRESS_POLL_MS = 100 };

// How long the launcher's end, after the application's or at a failure,
// waits for the window's thread to finish: longer than Wine's 2 s wait at an
// unmap without a window manager; a thread stuck in the system for longer
// must not keep the launcher from ending.
enum { PROGRESS_EXIT_WAIT_MS = 5000 };

// Once the files are in place, the window stays until the application
// waits for input (its own window is up), or this long at most: an
// application that shows no window, or is slow to, is not waited for longer.
enum { PROGRESS_LINGER_MS = 3000 };

// Before the payload is checked and unpacked: arms the window for this
// start when it may be shown at all.
void beginProgressWindow();

// After the unpack, or the wait and the check of the files another start
// put in place, before the child starts: tells the window, if shown, that
// the files are in place, and returns at once; the window goes on its own
// thread while the application starts (PROGRESS_LINGER_MS). The launcher's
// end waits for it (PROGRESS_EXIT_WAIT_MS).
void endProgressWindow();

// The application's process has been created: the window, if shown, goes
// once it waits for input (PROGRESS_LINGER_MS). The handle stays the
// caller's.
void progressWindowApplicationStarted(void *process);
