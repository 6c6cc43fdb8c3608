#include "paths/template_expansion.h"

#include "base/path_form.h"
#include "base/wide_append.h"
#include "buildinfo/build_constants.h"
#include "paths/environment.h"
#include "paths/module_path.h"
#include "paths/random_text.h"
#include "paths/template_tokens.h"

#include <windows.h>

#include <shlobj.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <wctype.h>

// Room for any 64-bit number in decimal, as the process id text needs.
enum { NUMBER_TEXT_CAPACITY = 128 };

// The output of one expansion: `end` always points at the terminator and
// `remaining` counts the units from there to the end of the buffer.
struct Output {
    wchar_t *start;
    wchar_t *end;
    size_t remaining;
};

// Moves past text that was written at the end, terminator included.
static void advanceOutput(Output &out) {
    size_t length = wcslen(out.end);
    out.end += length;
    out.remaining -= length;
}

static void appendValue(Output &out, const wchar_t *value) {
    appendWideString(out.end, value, out.remaining);
    advanceOutput(out);
}

// Folder paths may come with a separator at the end; a template adds its own.
static void trimTrailingBackslashes(Output &out) {
    while (out.end > out.start && out.end[-1] == L'\\') {
        --out.end;
        *out.end = 0;
        ++out.remaining;
    }
}

static void widenAscii(wchar_t *wide, const char *narrow) {
    while ((*wide++ = static_cast<unsigned char>(*narrow++)) != 0) {
    }
}

static int64_t currentFileTime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) |
                                now.dwLowDateTime);
}

static void computeRandom(wchar_t *value) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint64_t c = static_cast<uint64_t>(counter.QuadPart);
    uint64_t address = reinterpret_cast<uintptr_t>(&counter);
    uint32_t seed = static_cast<uint32_t>(c >> 32) ^ static_cast<uint32_t>(c) ^
                    static_cast<uint32_t>(address >> 32) ^ static_cast<uint32_t>(address);
    char text[RANDOM_TEXT_LENGTH + 1];
    formatRandomText(seed ^ GetCurrentProcessId(), text);
    widenAscii(value, text);
}

static void computeTimeMicroseconds(wchar_t *value) {
    char text[NUMBER_TEXT_CAPACITY];
    snprintf(text, sizeof text, "%06ld", static_cast<long>((currentFileTime() / 10) % 1000000));
    widenAscii(value, text);
}

static void computeTime(wchar_t *value) {
    char text[NUMBER_TEXT_CAPACITY];
    snprintf(text, sizeof text, "%lld", static_cast<long long>(currentFileTime()));
    widenAscii(value, text);
}

// The stored value when there is one, else a fresh one that is stored first,
// so later expansions and child processes see the same text.
static void appendStickyValue(Output &out, const char *variable, void (*compute)(wchar_t *)) {
    wchar_t *stored = getEnvironmentValue(variable);
    if (stored != nullptr) {
        appendValue(out, stored);
        free(stored);
        return;
    }
    wchar_t fresh[NUMBER_TEXT_CAPACITY];
    compute(fresh);
    setEnvironmentValue(variable, fresh);
    appendValue(out, fresh);
}

static void appendProcessId(Output &out) {
    wchar_t *parent = getEnvironmentValue("TALLIX_ONEFILE_PARENT");
    if (parent != nullptr) {
        for (const wchar_t *unit = parent; *unit != 0; ++unit) {
            if (!iswctype(*unit, _DIGIT)) {
                abort();
            }
        }
        appendValue(out, parent);
        free(parent);
        return;
    }
    char text[NUMBER_TEXT_CAPACITY];
    snprintf(text, sizeof text, "%ld", static_cast<long>(GetCurrentProcessId()));
    appendNarrowString(out.end, text, out.remaining);
    advanceOutput(out);
}

static bool appendFolder(Output &out, int folder) {
    wchar_t path[MAX_PATH];
    path[0] = 0;
    if (SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) {
        return false;
    }
    appendValue(out, path);
    trimTrailingBackslashes(out);
    return true;
}

// An administrator's cache root replaces the user's local application data
// folder; a value that is not an absolute path (a drive and a separator, or
// a "\\server\share") would land wherever the program happens to start,
// and is passed over.
static CacheRootOrigin lastCacheRoot = CACHE_ROOT_UNUSED;

CacheRootOrigin cacheRootOrigin() {
    return lastCacheRoot;
}

static bool appendCacheRoot(Output &out) {
    wchar_t *root = getEnvironmentValue(CACHE_ROOT_VARIABLE);
    lastCacheRoot = CACHE_ROOT_USER_FOLDER;
    if (root == nullptr) {
        return appendFolder(out, CSIDL_LOCAL_APPDATA);
    }
    size_t rootLength = pathRootLength(root);
    bool absolute = rootLength > 2 || (rootLength == 2 && (root[2] == L'\\' || root[2] == L'/'));
    lastCacheRoot = absolute ? CACHE_ROOT_FROM_VARIABLE : CACHE_ROOT_FROM_VARIABLE_PASSED_OVER;
    if (absolute) {
        appendValue(out, root);
        trimTrailingBackslashes(out);
    }
    free(root);
    return absolute || appendFolder(out, CSIDL_LOCAL_APPDATA);
}

static void appendTempPath(Output &out) {
    DWORD length = GetTempPathW(static_cast<DWORD>(out.remaining), out.end);
    // A path that did not fit counts as empty; the buffer may hold a fragment.
    if (length == 0 || length >= out.remaining) {
        *out.end = 0;
    }
    advanceOutput(out);
    trimTrailingBackslashes(out);
}

static bool appendProgram(Output &out) {
    const wchar_t *program = getLauncherModulePath();
    if (program == nullptr) {
        return false;
    }
    // Keep the part that fits; a shortened name is still the best value.
    size_t length = wcslen(program);
    if (length >= out.remaining) {
        length = out.remaining - 1;
    }
    wmemcpy(out.end, program, length);
    out.end[length] = 0;
    advanceOutput(out);
    return true;
}

static bool appendProgramBase(Output &out) {
    if (!expandTemplatePath(out.end, L"{PROGRAM}", out.remaining)) {
        return false;
    }
    size_t length = wcslen(out.end);
    if (length > 3 && _wcsicmp(out.end + length - 4, L".exe") == 0) {
        out.end[length - 4] = 0;
    }
    advanceOutput(out);
    return true;
}

static bool appendProgramDirectory(Output &out) {
    if (!expandTemplatePath(out.end, L"{PROGRAM}", out.remaining)) {
        return false;
    }
    wchar_t *separator = wcsrchr(out.end, L'\\');
    if (separator != nullptr) {
        *separator = 0;
    }
    advanceOutput(out);
    return true;
}

static bool appendPlaceholder(Output &out, TemplatePlaceholder placeholder) {
    switch (placeholder) {
    case PH_TEMP:
        appendTempPath(out);
        return true;
    case PH_PROGRAM:
        return appendProgram(out);
    case PH_PROGRAM_BASE:
        return appendProgramBase(out);
    case PH_PROGRAM_DIR:
        return appendProgramDirectory(out);
    case PH_PID:
        appendProcessId(out);
        return true;
    case PH_HOME:
        return appendFolder(out, CSIDL_PROFILE);
    case PH_CACHE_DIR:
        return appendCacheRoot(out);
    case PH_COMPANY:
        appendValue(out, BUILD_COMPANY);
        return true;
    case PH_PRODUCT:
        appendValue(out, BUILD_PRODUCT);
        return true;
    case PH_VERSION:
        appendValue(out, BUILD_VERSION);
        return true;
    case PH_FILE_VERSION:
        appendValue(out, BUILD_FILE_VERSION);
        return true;
    case PH_PRODUCT_VERSION:
        appendValue(out, BUILD_PRODUCT_VERSION);
        return true;
    case PH_RANDOM:
        appendStickyValue(out, "TALLIX_ONEFILE_RANDOM", computeRandom);
        return true;
    case PH_TIME_US:
        appendStickyValue(out, "TALLIX_ONEFILE_TIME_US", computeTimeMicroseconds);
        return true;
    case PH_TIME:
        appendStickyValue(out, "TALLIX_ONEFILE_START", computeTime);
        return true;
    case PH_UNKNOWN:
        break;
    }
    return false;
}

bool expandTemplatePath(wchar_t *target, const wchar_t *pattern, size_t size) {
    if (size == 0) {
        return false;
    }
    target[0] = 0;
    Output out = {target, target, size};
    for (const wchar_t *cursor = pattern;;) {
        TemplateToken token = nextTemplateToken(cursor);
        switch (token.kind) {
        case TEMPLATE_END:
            return true;
        case TEMPLATE_LITERAL: {
            // What fits stays in the target, as the contract says.
            size_t fitting = token.length < out.remaining ? token.length : out.remaining - 1;
            wmemcpy(out.end, token.text, fitting);
            out.end[fitting] = 0;
            out.end += fitting;
            out.remaining -= fitting;
            if (fitting < token.length) {
                return false;
            }
            break;
        }
        case TEMPLATE_PLACEHOLDER:
            if (!appendPlaceholder(out, findTemplatePlaceholder(token.text, token.length))) {
                return false;
            }
            break;
        case TEMPLATE_NESTED_BRACE:
        case TEMPLATE_UNCLOSED:
            return false;
        }
    }
}
