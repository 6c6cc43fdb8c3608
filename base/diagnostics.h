// The launcher's reporting helpers, the bottom layer every other part of the
// launcher reports through. Every reported failure ends the process; no error
// is ever returned to a caller, and no caller ends the process itself.
//
// Catalogue (exact texts; "\n" is part of the text):
//   stderr, then abort():  "Error, couldn't runtime expand spec '%ls'.\n"
//   stdout, then exit(2):  "Error, failed to register signal handler."
//                          "Error, couldn't find attached data header."
//                          "Error, couldn't allocate memory."
//                          "Error, couldn't decode attached data."
//   stderr, then exit(2):  "Error, failed to open '%ls' for writing.\n"
//                          "Error, couldn't unpack file to target path." + system error
//                          "Error, couldn't launch child" + system error, and
//                          for a program path of MAX_PATH units or more:
//                          "The unpacked program's path is %u characters long,
//                          more than the 259 Windows starts a program from
//                          unless LongPathsEnabled is set; choose a shorter
//                          --template.\n" (one line)
// Paths are shown in their normal form (base/path_form.h).
// Internal limits (a buffer that would overflow, a byte that does not
// convert) end the process through abort() with no message.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum { FATAL_EXIT_STATUS = 2 };
// System error texts are always asked for in English (United States).
enum { SYSTEM_MESSAGE_LANGUAGE = 1033 };

// puts(message), then exit(FATAL_EXIT_STATUS).
[[noreturn]] void fatalError(const char *message);

// "%s ([Error %ld] %s)\n" on stderr: the message, the code as a signed 32-bit
// number and the system's text for it without trailing CR/LF (empty when the
// system has none); then exit(FATAL_EXIT_STATUS).
[[noreturn]] void fatalSystemError(const char *message, uint32_t errorCode);

// "Error, failed to open '%ls' for writing.\n" on stderr, then
// exit(FATAL_EXIT_STATUS).
[[noreturn]] void fatalOpenError(const wchar_t *path);

// "Error, couldn't launch child" as fatalSystemError reports it, then, when
// `programPathLength` (the normal form's, in units) is MAX_PATH or more,
// the line that names Windows' limit as the likely cause; then
// exit(FATAL_EXIT_STATUS).
[[noreturn]] void fatalLaunchError(uint32_t errorCode, size_t programPathLength);

// "Error, couldn't runtime expand spec '%ls'.\n" on stderr, then abort().
[[noreturn]] void fatalTemplateError(const wchar_t *pattern);

// `hook` runs once, on the failing thread, before the next report of the
// exit(2) forms above (not the template error): a part with work on
// another thread finishes it there, and may end the process with an earlier
// failure of its own instead. nullptr removes it.
void setBeforeFatalReport(void (*hook)());
