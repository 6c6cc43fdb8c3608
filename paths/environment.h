// Environment variables of the launcher and the target directory.
//
// Names are narrow ASCII text widened one byte at a time; a variable set to
// the empty string counts as not set. Nothing here prints; a name or value
// that does not fit its buffer ends the process through abort().
#pragma once

#include "base/wide_text.h"

// Longest variable name, 39 characters, plus the terminator.
enum { ENV_NAME_CAPACITY = 40 };
// The system's limit for one value, 32767 units, plus the terminator.
enum { ENV_VALUE_CAPACITY = 32768 };

// Heap copy (_wcsdup) of the value, or null when missing, empty, longer than
// 32767 units or not copyable. The copy belongs to the caller.
wchar_t *getEnvironmentValueW(const wchar_t *name);
wchar_t *getEnvironmentValue(const char *name);

// Sets the variable, or removes it when value is null. Failures are ignored.
void setEnvironmentValue(const char *name, const wchar_t *value);
