// The rules a record name ("\"-separated components of UTF-16 units)
// follows. Two sets: the launcher joins to its target directory only names
// that stay inside it (containment); the packer stores only names Windows
// can also create as they are, so it holds names to every rule.
#pragma once

#include "base/wide_text.h"

#include <stddef.h>

// What is wrong with a name, the first fault met: the whole name's faults,
// then each component's, within one component in the order listed (a colon,
// a slash or a forbidden unit: whichever comes first).
enum EntryNameFault {
    ENTRY_NAME_FINE,
    ENTRY_NAME_EMPTY,
    ENTRY_NAME_TOO_LONG,        // ENTRY_NAME_CAPACITY units or more
    ENTRY_NAME_DRIVE,           // ":" as its second unit
    ENTRY_NAME_ABSOLUTE,        // a leading "\"
    ENTRY_NAME_EMPTY_COMPONENT, // a doubled or trailing "\"
    ENTRY_NAME_DOT_COMPONENT,   // "." or ".."
    // Dots and spaces only, such as "..." or ". .": Windows trims them to a
    // step out or in place.
    ENTRY_NAME_BLANK_COMPONENT,
    ENTRY_NAME_COLON_OR_SLASH,        // ":" names a drive or a stream, "/" separates
    ENTRY_NAME_FORBIDDEN_UNIT,        // below U+0020 or one of < > " | ? *
    ENTRY_NAME_TRAILING_DOT_OR_SPACE, // Windows drops them
    ENTRY_NAME_DEVICE,                // entryNameIsDevice
};

enum EntryNameRules {
    // Only the faults that could take the name out of the directory it is
    // joined to: empty, drive, absolute, empty, dot or blank component,
    // colon or slash.
    ENTRY_NAME_CONTAINMENT_RULES,
    ENTRY_NAME_ALL_RULES,
};

// The first fault of `name` (`length` units) that `rules` cover, or
// ENTRY_NAME_FINE. `*at`, when not null, receives the offending unit for
// ENTRY_NAME_COLON_OR_SLASH and ENTRY_NAME_FORBIDDEN_UNIT, else the first
// unit of the offending component (0 for the whole name's faults).
EntryNameFault findEntryNameFault(const WideUnit *name, size_t length, EntryNameRules rules,
                                  size_t *at);

// True when `name` (NUL-terminated) stays inside the directory it is joined
// to: no fault of ENTRY_NAME_CONTAINMENT_RULES.
bool isContainedEntryName(const WideUnit *name);

// True for a component (`length` units) that opens a device instead of a
// file: CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9 or LPT0-9 (the digit
// may also be a superscript 1, 2 or 3), in any letter case, whatever
// extension follows and with spaces before it ("con .txt").
bool entryNameIsDevice(const WideUnit *component, size_t length);
