// Expansion of "{NAME}" directory templates.
//
// Fifteen placeholders, names compared case-insensitively: TEMP, PROGRAM,
// PROGRAM_BASE, PROGRAM_DIR, PID, HOME, CACHE_DIR, COMPANY, PRODUCT, VERSION,
// FILE_VERSION, PRODUCT_VERSION, RANDOM, TIME_US, TIME. RANDOM, TIME_US and
// TIME are sticky: the first value is stored in TALLIX_ONEFILE_RANDOM,
// TALLIX_ONEFILE_TIME_US and TALLIX_ONEFILE_START and reused from there,
// also by child processes. TEMP, HOME and CACHE_DIR lose trailing
// backslashes. The grammar is that of paths/template_tokens.h.
//
// CACHE_DIR is the user's local application data folder, unless an
// administrator sets CACHE_ROOT_VARIABLE to an absolute path ("D:\Apps",
// "\\server\share\apps"): then that value, without trailing backslashes.
// A relative value is passed over as if unset. Only CACHE_DIR changes, so a
// template's own folders below it (company, product, version) stay.
#pragma once

// Moves every {CACHE_DIR} without repacking.
inline constexpr char CACHE_ROOT_VARIABLE[] = "TALLIX_ONEFILE_CACHE_DIR";

#include <stddef.h>

// Expands `pattern` into `target` of `size` units. Returns false for an
// invalid template, an unknown or empty placeholder name, literal text that
// does not fit, or a system query that fails (PROGRAM*, HOME, CACHE_DIR); the target then holds
// the text expanded so far. A value that does not fit, or a non-digit in
// TALLIX_ONEFILE_PARENT, ends the process through abort().
bool expandTemplatePath(wchar_t *target, const wchar_t *pattern, size_t size);

// Where the last {CACHE_DIR} came from, for the launcher's diagnosis.
enum CacheRootOrigin {
    CACHE_ROOT_UNUSED, // no {CACHE_DIR} expanded yet
    CACHE_ROOT_USER_FOLDER,
    CACHE_ROOT_FROM_VARIABLE,
    CACHE_ROOT_FROM_VARIABLE_PASSED_OVER, // set, but not an absolute path
};
CacheRootOrigin cacheRootOrigin();
