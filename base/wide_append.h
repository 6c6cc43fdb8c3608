// Bounded appends to fixed wide text buffers.
//
// The target holds a NUL-terminated string; `capacity` counts every unit of
// the target, the terminator included, so it holds at most capacity - 1
// characters. Text that would not fit ends the process through abort(),
// without a message, before anything past the buffer is touched.
#pragma once

#include <stddef.h>

#include "base/wide_text.h"

// Appends one unit.
void appendWideChar(WideUnit *target, WideUnit unit, size_t capacity);

// Appends a NUL-terminated wide string; an empty source changes nothing.
void appendWideString(WideUnit *target, const WideUnit *source, size_t capacity);

// Appends narrow text, each byte converted with mbstowcs() to exactly one
// unit; a byte that does not convert to exactly one unit ends the process.
void appendNarrowString(WideUnit *target, const char *source, size_t capacity);
