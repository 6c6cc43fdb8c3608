// Where a GUI launcher's fatal message is shown when nobody could read it.
//
// A GUI launcher started by a double-click has no console and no standard
// handles: what the reporting helpers (base/diagnostics.h) print is lost.
// When the image is a GUI one, the stream the message goes to leads nowhere
// (no handle, or one the system does not know) and the process runs on a
// desktop a person sees (an interactive window station), the message is also
// shown in a message box: titled with the product's name (the launcher's
// file name until the build constants are loaded), the message as printed,
// a blank line and advice chosen by the message (FATAL_BOX_ADVICE in the
// source). Where the stream leads to a console, file or pipe, nothing is
// shown. The box of an exit(2) failure comes up from an exit handler
// registered before any other, so it runs after every other exit handler:
// the start's clean-up has removed what it wrote by the time the person
// reads it. The box of the template failure, which ends through abort(),
// comes up at once. A person's click on OK (or closing it) ends the process
// with the status it was reported with. Other windows of the process are
// hidden first.
#pragma once

#include <stdint.h>

// First thing at start, before anything is written: arms the box for this
// process. Programs that never call it (tests of the helpers) show none.
void enableFatalBox();

// The product's name, once the build constants are loaded.
void setFatalBoxTitle(const wchar_t *title);

// --- For the reporting helpers ----------------------------------------------

// Which standard stream a message went to.
enum FatalStream { FATAL_STREAM_OUTPUT, FATAL_STREAM_ERROR };

// Records `text` (narrow, in the system's ANSI code page) for the box when
// the box applies to `stream`; later parts of the same report append.
void noteFatalText(FatalStream stream, const char *text);
// The same for wide text.
void noteFatalWideText(FatalStream stream, const wchar_t *text);

// For a report that ends through abort(): shows what was noted now.
void showNotedFatalBox();

// True for an image of the Windows GUI subsystem.
bool imageIsGui();
