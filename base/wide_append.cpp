#include "base/wide_append.h"

#include <stdlib.h>
#include <wchar.h>

static size_t wideLength(const WideUnit *text) {
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

void appendWideChar(WideUnit *target, WideUnit unit, size_t capacity) {
    size_t length = wideLength(target);
    if (length + 2 > capacity) {
        abort();
    }
    target[length] = unit;
    target[length + 1] = 0;
}

void appendWideString(WideUnit *target, const WideUnit *source, size_t capacity) {
    size_t length = wideLength(target);
    for (; *source != 0; ++source, ++length) {
        if (length + 2 > capacity) {
            abort();
        }
        target[length] = *source;
    }
    target[length] = 0;
}

void appendNarrowString(WideUnit *target, const char *source, size_t capacity) {
    for (; *source != 0; ++source) {
        char narrow[2] = {*source, 0};
        wchar_t wide[2] = {0, 0};
        if (mbstowcs(wide, narrow, 2) != 1) {
            abort();
        }
        appendWideChar(target, static_cast<WideUnit>(wide[0]), capacity);
    }
}
