#include "paths/environment.h"

#include "base/wide_append.h"

#include <windows.h>

wchar_t *getEnvironmentValueW(const wchar_t *name) {
    // 64 KiB on the stack; the launcher's stack reserve is sized for it.
    wchar_t value[ENV_VALUE_CAPACITY];
    value[0] = 0;
    DWORD length = GetEnvironmentVariableW(name, value, ENV_VALUE_CAPACITY);
    if (length == 0 || length >= ENV_VALUE_CAPACITY) {
        return nullptr;
    }
    return _wcsdup(value);
}

static void widenName(wchar_t (&wide)[ENV_NAME_CAPACITY], const char *name) {
    wide[0] = 0;
    appendNarrowString(wide, name, ENV_NAME_CAPACITY);
}

wchar_t *getEnvironmentValue(const char *name) {
    wchar_t wide[ENV_NAME_CAPACITY];
    widenName(wide, name);
    return getEnvironmentValueW(wide);
}

void setEnvironmentValue(const char *name, const wchar_t *value) {
    wchar_t wide[ENV_NAME_CAPACITY];
    widenName(wide, name);
    SetEnvironmentVariableW(wide, value);
}
