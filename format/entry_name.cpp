#include "format/entry_name.h"

#include "format/attached_data.h"

#include <string.h>

static const WideUnit SEPARATOR = u'\\';

static bool isContainmentFault(EntryNameFault fault) {
    switch (fault) {
    case ENTRY_NAME_EMPTY:
    case ENTRY_NAME_DRIVE:
    case ENTRY_NAME_ABSOLUTE:
    case ENTRY_NAME_EMPTY_COMPONENT:
    case ENTRY_NAME_DOT_COMPONENT:
    case ENTRY_NAME_BLANK_COMPONENT:
    case ENTRY_NAME_COLON_OR_SLASH:
        return true;
    default:
        return false;
    }
}

static bool covers(EntryNameRules rules, EntryNameFault fault) {
    return rules == ENTRY_NAME_ALL_RULES || isContainmentFault(fault);
}

// Windows refuses these in file names.
static EntryNameFault unitFault(WideUnit unit) {
    if (unit == u':' || unit == u'/') {
        return ENTRY_NAME_COLON_OR_SLASH;
    }
    if (unit < 0x20 || unit == u'<' || unit == u'>' || unit == u'"' || unit == u'|' ||
        unit == u'?' || unit == u'*') {
        return ENTRY_NAME_FORBIDDEN_UNIT;
    }
    return ENTRY_NAME_FINE;
}

static bool isDotOrSpace(WideUnit unit) {
    return unit == u'.' || unit == u' ';
}

static EntryNameFault findComponentFault(const WideUnit *component, size_t length,
                                         EntryNameRules rules, size_t *at) {
    *at = 0;
    if (length == 0) {
        return ENTRY_NAME_EMPTY_COMPONENT;
    }
    size_t meaningful = 0; // units other than "." and " "
    for (size_t i = 0; i < length; ++i) {
        meaningful += isDotOrSpace(component[i]) ? 0 : 1;
    }
    if (meaningful == 0) {
        bool dots = component[0] == u'.' && component[length - 1] == u'.' && length <= 2;
        return dots ? ENTRY_NAME_DOT_COMPONENT : ENTRY_NAME_BLANK_COMPONENT;
    }
    for (size_t i = 0; i < length; ++i) {
        EntryNameFault fault = unitFault(component[i]);
        if (fault != ENTRY_NAME_FINE && covers(rules, fault)) {
            *at = i;
            return fault;
        }
    }
    if (covers(rules, ENTRY_NAME_TRAILING_DOT_OR_SPACE) && isDotOrSpace(component[length - 1])) {
        return ENTRY_NAME_TRAILING_DOT_OR_SPACE;
    }
    if (covers(rules, ENTRY_NAME_DEVICE) && entryNameIsDevice(component, length)) {
        return ENTRY_NAME_DEVICE;
    }
    return ENTRY_NAME_FINE;
}

EntryNameFault findEntryNameFault(const WideUnit *name, size_t length, EntryNameRules rules,
                                  size_t *at) {
    size_t ignored = 0;
    size_t *where = at ? at : &ignored;
    *where = 0;
    if (length == 0) {
        return ENTRY_NAME_EMPTY;
    }
    if (covers(rules, ENTRY_NAME_TOO_LONG) && length >= ENTRY_NAME_CAPACITY) {
        return ENTRY_NAME_TOO_LONG;
    }
    if (length >= 2 && name[1] == u':') {
        return ENTRY_NAME_DRIVE;
    }
    if (name[0] == SEPARATOR) {
        return ENTRY_NAME_ABSOLUTE;
    }
    for (size_t start = 0;;) {
        size_t end = start;
        while (end < length && name[end] != SEPARATOR) {
            ++end;
        }
        size_t offset = 0;
        EntryNameFault fault = findComponentFault(name + start, end - start, rules, &offset);
        if (fault != ENTRY_NAME_FINE) {
            *where = start + offset;
            return fault;
        }
        if (end == length) {
            return ENTRY_NAME_FINE;
        }
        start = end + 1;
    }
}

bool isContainedEntryName(const WideUnit *name) {
    size_t length = 0;
    while (name[length] != 0) {
        ++length;
    }
    return findEntryNameFault(name, length, ENTRY_NAME_CONTAINMENT_RULES, nullptr) ==
           ENTRY_NAME_FINE;
}

static WideUnit asciiLower(WideUnit unit) {
    return unit >= u'A' && unit <= u'Z' ? static_cast<WideUnit>(unit - u'A' + u'a') : unit;
}

// Whether `text` (`length` units) is `lower` (ASCII, lower case) in any case.
static bool equalsFoldingCase(const WideUnit *text, size_t length, const char *lower) {
    if (length != strlen(lower)) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (asciiLower(text[i]) != static_cast<unsigned char>(lower[i])) {
            return false;
        }
    }
    return true;
}

bool entryNameIsDevice(const WideUnit *component, size_t length) {
    size_t stem = 0;
    while (stem < length && component[stem] != u'.') {
        ++stem;
    }
    while (stem > 0 && component[stem - 1] == u' ') {
        --stem;
    }
    static const char *const DEVICES[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
    for (const char *device : DEVICES) {
        if (equalsFoldingCase(component, stem, device)) {
            return true;
        }
    }
    if (stem != 4 ||
        !(equalsFoldingCase(component, 3, "com") || equalsFoldingCase(component, 3, "lpt"))) {
        return false;
    }
    WideUnit digit = component[3];
    return (digit >= u'0' && digit <= u'9') || digit == 0x00B9 || digit == 0x00B2 ||
           digit == 0x00B3;
}
