#include "format/entry_name.h"

#include "format/attached_data.h"

#include <stdint.h>
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
    return rules != ENTRY_NAME_CONTAINMENT_RULES || isContainmentFault(fault);
}

// Windows refuses these in file names. A component of a joined name never
// holds the separator, so it is met only in a host name.
static EntryNameFault unitFault(WideUnit unit) {
    if (unit == u':' || unit == u'/') {
        return ENTRY_NAME_COLON_OR_SLASH;
    }
    if (unit < 0x20 || unit == u'<' || unit == u'>' || unit == u'"' || unit == u'|' ||
        unit == u'?' || unit == u'*' || unit == SEPARATOR) {
        return ENTRY_NAME_FORBIDDEN_UNIT;
    }
    return ENTRY_NAME_FINE;
}

static bool isDotOrSpace(WideUnit unit) {
    return unit == u'.' || unit == u' ';
}

// Whether `text` (`length` units) is `ascii` in any letter case.
static bool equalsFoldingCase(const WideUnit *text, size_t length, const char *ascii) {
    if (length != strlen(ascii)) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (upcaseNameUnit(text[i]) != upcaseNameUnit(static_cast<unsigned char>(ascii[i]))) {
            return false;
        }
    }
    return true;
}

// Whether `text` (`length` units) starts with `prefix` and ends with
// `suffix`, apart and in any letter case.
static bool framedFoldingCase(const WideUnit *text, size_t length, const char *prefix,
                              const char *suffix) {
    size_t prefixLength = strlen(prefix);
    size_t suffixLength = strlen(suffix);
    return length >= prefixLength + suffixLength && equalsFoldingCase(text, prefixLength, prefix) &&
           equalsFoldingCase(text + length - suffixLength, suffixLength, suffix);
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
    if (covers(rules, ENTRY_NAME_MARKER) &&
        (equalsFoldingCase(component, length, FOLDER_MARKER_FILE_NAME) ||
         equalsFoldingCase(component, length, QUICK_CHECK_RECORD_FILE_NAME))) {
        return ENTRY_NAME_MARKER;
    }
    if (covers(rules, ENTRY_NAME_LAUNCHER_TEMPORARY) &&
        framedFoldingCase(component, length, LAUNCHER_TEMPORARY_PREFIX,
                          LAUNCHER_TEMPORARY_SUFFIX)) {
        return ENTRY_NAME_LAUNCHER_TEMPORARY;
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
    if (rules == ENTRY_NAME_COMPONENT_RULES) {
        return findComponentFault(name, length, rules, where);
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

// Runs of units that upper-case alike: every `stride`-th unit from `first`
// to `last` maps to itself plus `delta` (modulo 2^16). Derived from Python
// 3.11's unicodedata (Unicode 14.0.0): each BMP unit whose upper case, or
// else whose title case, is one other BMP unit.
struct UpcaseRun {
    uint16_t first, last, delta, stride;
};
static const UpcaseRun UPCASE_RUNS[] = {
    {0x0061, 0x007A, 0xFFE0, 1}, {0x00B5, 0x00B5, 0x02E7, 1}, {0x00E0, 0x00F6, 0xFFE0, 1},
    {0x00F8, 0x00FE, 0xFFE0, 1}, {0x00FF, 0x00FF, 0x0079, 1}, {0x0101, 0x012F, 0xFFFF, 2},
    {0x0131, 0x0131, 0xFF18, 1}, {0x0133, 0x0137, 0xFFFF, 2}, {0x013A, 0x0148, 0xFFFF, 2},
    {0x014B, 0x0177, 0xFFFF, 2}, {0x017A, 0x017E, 0xFFFF, 2}, {0x017F, 0x017F, 0xFED4, 1},
    {0x0180, 0x0180, 0x00C3, 1}, {0x0183, 0x0185, 0xFFFF, 2}, {0x0188, 0x0188, 0xFFFF, 1},
    {0x018C, 0x018C, 0xFFFF, 1}, {0x0192, 0x0192, 0xFFFF, 1}, {0x0195, 0x0195, 0x0061, 1},
    {0x0199, 0x0199, 0xFFFF, 1}, {0x019A, 0x019A, 0x00A3, 1}, {0x019E, 0x019E, 0x0082, 1},
    {0x01A1, 0x01A5, 0xFFFF, 2}, {0x01A8, 0x01A8, 0xFFFF, 1}, {0x01AD, 0x01AD, 0xFFFF, 1},
    {0x01B0, 0x01B0, 0xFFFF, 1}, {0x01B4, 0x01B6, 0xFFFF, 2}, {0x01B9, 0x01B9, 0xFFFF, 1},
    {0x01BD, 0x01BD, 0xFFFF, 1}, {0x01BF, 0x01BF, 0x0038, 1}, {0x01C5, 0x01C5, 0xFFFF, 1},
    {0x01C6, 0x01C6, 0xFFFE, 1}, {0x01C8, 0x01C8, 0xFFFF, 1}, {0x01C9, 0x01C9, 0xFFFE, 1},
    {0x01CB, 0x01CB, 0xFFFF, 1}, {0x01CC, 0x01CC, 0xFFFE, 1}, {0x01CE, 0x01DC, 0xFFFF, 2},
    {0x01DD, 0x01DD, 0xFFB1, 1}, {0x01DF, 0x01EF, 0xFFFF, 2}, {0x01F2, 0x01F2, 0xFFFF, 1},
    {0x01F3, 0x01F3, 0xFFFE, 1}, {0x01F5, 0x01F5, 0xFFFF, 1}, {0x01F9, 0x021F, 0xFFFF, 2},
    {0x0223, 0x0233, 0xFFFF, 2}, {0x023C, 0x023C, 0xFFFF, 1}, {0x023F, 0x0240, 0x2A3F, 1},
    {0x0242, 0x0242, 0xFFFF, 1}, {0x0247, 0x024F, 0xFFFF, 2}, {0x0250, 0x0250, 0x2A1F, 1},
    {0x0251, 0x0251, 0x2A1C, 1}, {0x0252, 0x0252, 0x2A1E, 1}, {0x0253, 0x0253, 0xFF2E, 1},
    {0x0254, 0x0254, 0xFF32, 1}, {0x0256, 0x0257, 0xFF33, 1}, {0x0259, 0x0259, 0xFF36, 1},
    {0x025B, 0x025B, 0xFF35, 1}, {0x025C, 0x025C, 0xA54F, 1}, {0x0260, 0x0260, 0xFF33, 1},
    {0x0261, 0x0261, 0xA54B, 1}, {0x0263, 0x0263, 0xFF31, 1}, {0x0265, 0x0265, 0xA528, 1},
    {0x0266, 0x0266, 0xA544, 1}, {0x0268, 0x0268, 0xFF2F, 1}, {0x0269, 0x0269, 0xFF2D, 1},
    {0x026A, 0x026A, 0xA544, 1}, {0x026B, 0x026B, 0x29F7, 1}, {0x026C, 0x026C, 0xA541, 1},
    {0x026F, 0x026F, 0xFF2D, 1}, {0x0271, 0x0271, 0x29FD, 1}, {0x0272, 0x0272, 0xFF2B, 1},
    {0x0275, 0x0275, 0xFF2A, 1}, {0x027D, 0x027D, 0x29E7, 1}, {0x0280, 0x0280, 0xFF26, 1},
    {0x0282, 0x0282, 0xA543, 1}, {0x0283, 0x0283, 0xFF26, 1}, {0x0287, 0x0287, 0xA52A, 1},
    {0x0288, 0x0288, 0xFF26, 1}, {0x0289, 0x0289, 0xFFBB, 1}, {0x028A, 0x028B, 0xFF27, 1},
    {0x028C, 0x028C, 0xFFB9, 1}, {0x0292, 0x0292, 0xFF25, 1}, {0x029D, 0x029D, 0xA515, 1},
    {0x029E, 0x029E, 0xA512, 1}, {0x0345, 0x0345, 0x0054, 1}, {0x0371, 0x0373, 0xFFFF, 2},
    {0x0377, 0x0377, 0xFFFF, 1}, {0x037B, 0x037D, 0x0082, 1}, {0x03AC, 0x03AC, 0xFFDA, 1},
    {0x03AD, 0x03AF, 0xFFDB, 1}, {0x03B1, 0x03C1, 0xFFE0, 1}, {0x03C2, 0x03C2, 0xFFE1, 1},
    {0x03C3, 0x03CB, 0xFFE0, 1}, {0x03CC, 0x03CC, 0xFFC0, 1}, {0x03CD, 0x03CE, 0xFFC1, 1},
    {0x03D0, 0x03D0, 0xFFC2, 1}, {0x03D1, 0x03D1, 0xFFC7, 1}, {0x03D5, 0x03D5, 0xFFD1, 1},
    {0x03D6, 0x03D6, 0xFFCA, 1}, {0x03D7, 0x03D7, 0xFFF8, 1}, {0x03D9, 0x03EF, 0xFFFF, 2},
    {0x03F0, 0x03F0, 0xFFAA, 1}, {0x03F1, 0x03F1, 0xFFB0, 1}, {0x03F2, 0x03F2, 0x0007, 1},
    {0x03F3, 0x03F3, 0xFF8C, 1}, {0x03F5, 0x03F5, 0xFFA0, 1}, {0x03F8, 0x03F8, 0xFFFF, 1},
    {0x03FB, 0x03FB, 0xFFFF, 1}, {0x0430, 0x044F, 0xFFE0, 1}, {0x0450, 0x045F, 0xFFB0, 1},
    {0x0461, 0x0481, 0xFFFF, 2}, {0x048B, 0x04BF, 0xFFFF, 2}, {0x04C2, 0x04CE, 0xFFFF, 2},
    {0x04CF, 0x04CF, 0xFFF1, 1}, {0x04D1, 0x052F, 0xFFFF, 2}, {0x0561, 0x0586, 0xFFD0, 1},
    {0x10D0, 0x10FA, 0x0BC0, 1}, {0x10FD, 0x10FF, 0x0BC0, 1}, {0x13F8, 0x13FD, 0xFFF8, 1},
    {0x1C80, 0x1C80, 0xE792, 1}, {0x1C81, 0x1C81, 0xE793, 1}, {0x1C82, 0x1C82, 0xE79C, 1},
    {0x1C83, 0x1C84, 0xE79E, 1}, {0x1C85, 0x1C85, 0xE79D, 1}, {0x1C86, 0x1C86, 0xE7A4, 1},
    {0x1C87, 0x1C87, 0xE7DB, 1}, {0x1C88, 0x1C88, 0x89C2, 1}, {0x1D79, 0x1D79, 0x8A04, 1},
    {0x1D7D, 0x1D7D, 0x0EE6, 1}, {0x1D8E, 0x1D8E, 0x8A38, 1}, {0x1E01, 0x1E95, 0xFFFF, 2},
    {0x1E9B, 0x1E9B, 0xFFC5, 1}, {0x1EA1, 0x1EFF, 0xFFFF, 2}, {0x1F00, 0x1F07, 0x0008, 1},
    {0x1F10, 0x1F15, 0x0008, 1}, {0x1F20, 0x1F27, 0x0008, 1}, {0x1F30, 0x1F37, 0x0008, 1},
    {0x1F40, 0x1F45, 0x0008, 1}, {0x1F51, 0x1F57, 0x0008, 2}, {0x1F60, 0x1F67, 0x0008, 1},
    {0x1F70, 0x1F71, 0x004A, 1}, {0x1F72, 0x1F75, 0x0056, 1}, {0x1F76, 0x1F77, 0x0064, 1},
    {0x1F78, 0x1F79, 0x0080, 1}, {0x1F7A, 0x1F7B, 0x0070, 1}, {0x1F7C, 0x1F7D, 0x007E, 1},
    {0x1F80, 0x1F87, 0x0008, 1}, {0x1F90, 0x1F97, 0x0008, 1}, {0x1FA0, 0x1FA7, 0x0008, 1},
    {0x1FB0, 0x1FB1, 0x0008, 1}, {0x1FB3, 0x1FB3, 0x0009, 1}, {0x1FBE, 0x1FBE, 0xE3DB, 1},
    {0x1FC3, 0x1FC3, 0x0009, 1}, {0x1FD0, 0x1FD1, 0x0008, 1}, {0x1FE0, 0x1FE1, 0x0008, 1},
    {0x1FE5, 0x1FE5, 0x0007, 1}, {0x1FF3, 0x1FF3, 0x0009, 1}, {0x214E, 0x214E, 0xFFE4, 1},
    {0x2170, 0x217F, 0xFFF0, 1}, {0x2184, 0x2184, 0xFFFF, 1}, {0x24D0, 0x24E9, 0xFFE6, 1},
    {0x2C30, 0x2C5F, 0xFFD0, 1}, {0x2C61, 0x2C61, 0xFFFF, 1}, {0x2C65, 0x2C65, 0xD5D5, 1},
    {0x2C66, 0x2C66, 0xD5D8, 1}, {0x2C68, 0x2C6C, 0xFFFF, 2}, {0x2C73, 0x2C73, 0xFFFF, 1},
    {0x2C76, 0x2C76, 0xFFFF, 1}, {0x2C81, 0x2CE3, 0xFFFF, 2}, {0x2CEC, 0x2CEE, 0xFFFF, 2},
    {0x2CF3, 0x2CF3, 0xFFFF, 1}, {0x2D00, 0x2D25, 0xE3A0, 1}, {0x2D27, 0x2D27, 0xE3A0, 1},
    {0x2D2D, 0x2D2D, 0xE3A0, 1}, {0xA641, 0xA66D, 0xFFFF, 2}, {0xA681, 0xA69B, 0xFFFF, 2},
    {0xA723, 0xA72F, 0xFFFF, 2}, {0xA733, 0xA76F, 0xFFFF, 2}, {0xA77A, 0xA77C, 0xFFFF, 2},
    {0xA77F, 0xA787, 0xFFFF, 2}, {0xA78C, 0xA78C, 0xFFFF, 1}, {0xA791, 0xA793, 0xFFFF, 2},
    {0xA794, 0xA794, 0x0030, 1}, {0xA797, 0xA7A9, 0xFFFF, 2}, {0xA7B5, 0xA7C3, 0xFFFF, 2},
    {0xA7C8, 0xA7CA, 0xFFFF, 2}, {0xA7D1, 0xA7D1, 0xFFFF, 1}, {0xA7D7, 0xA7D9, 0xFFFF, 2},
    {0xA7F6, 0xA7F6, 0xFFFF, 1}, {0xAB53, 0xAB53, 0xFC60, 1}, {0xAB70, 0xABBF, 0x6830, 1},
    {0xFF41, 0xFF5A, 0xFFE0, 1},
};

WideUnit upcaseNameUnit(WideUnit unit) {
    const size_t count = sizeof UPCASE_RUNS / sizeof UPCASE_RUNS[0];
    // The first run that does not end before `unit`.
    size_t low = 0;
    size_t high = count;
    while (low < high) {
        size_t middle = (low + high) / 2;
        if (UPCASE_RUNS[middle].last < unit) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low == count || unit < UPCASE_RUNS[low].first ||
        (unit - UPCASE_RUNS[low].first) % UPCASE_RUNS[low].stride != 0) {
        return unit;
    }
    return static_cast<WideUnit>(static_cast<uint16_t>(unit + UPCASE_RUNS[low].delta));
}
