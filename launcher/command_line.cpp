#include "launcher/command_line.h"

#include <stdlib.h>

static const WideUnit QUOTE_TRIGGER_CHARACTERS[] = {u' ', u'\t', u'\n', u'\v', u'"', 0};

static bool needsQuotes(const WideUnit *argument) {
    // Unquoted, an empty argument would vanish from the child's vector.
    if (*argument == 0) {
        return true;
    }
    for (; *argument != 0; ++argument) {
        for (const WideUnit *trigger = QUOTE_TRIGGER_CHARACTERS; *trigger != 0; ++trigger) {
            if (*argument == *trigger) {
                return true;
            }
        }
    }
    return false;
}

// Appends at a known end, so that a long line costs linear time; the bound is
// checked before every unit, as for appendWideChar.
namespace {
struct LineEnd {
    WideUnit *target;
    size_t length;

    void put(WideUnit unit) {
        if (length + 2 > COMMAND_LINE_CAPACITY) {
            abort();
        }
        target[length++] = unit;
        target[length] = 0;
    }
    void putBackslashes(size_t count) {
        for (size_t i = 0; i < count; ++i) {
            put(u'\\');
        }
    }
};
} // namespace

void appendArgument(WideUnit *target, const WideUnit *argument) {
    LineEnd end = {target, 0};
    while (target[end.length] != 0) {
        ++end.length;
    }
    if (!needsQuotes(argument)) {
        for (; *argument != 0; ++argument) {
            end.put(*argument);
        }
        return;
    }
    end.put(u'"');
    const WideUnit *unit = argument;
    while (*unit != 0) {
        size_t backslashes = 0;
        while (*unit == u'\\') {
            ++backslashes;
            ++unit;
        }
        // Backslashes escape only when a quote follows, and the closing
        // quote counts: double them there, verbatim elsewhere.
        if (*unit == 0) {
            end.putBackslashes(2 * backslashes);
            break;
        }
        end.putBackslashes(*unit == u'"' ? 2 * backslashes + 1 : backslashes);
        end.put(*unit);
        ++unit;
    }
    end.put(u'"');
}
