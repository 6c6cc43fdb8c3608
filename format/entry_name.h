// The rules a record name ("\"-separated components of UTF-16 units)
// follows. Two sets: the launcher joins to its target directory only names
// that stay inside it (containment); the packer stores only names Windows
// can also create as they are, so it holds names to every rule.
#pragma once

#include "base/wide_text.h"

#include <stddef.h>

// The marker file the launcher writes into every folder it unpacks
// (payload/turn/folder_marker.h). No stored file takes its name.
#define FOLDER_MARKER_FILE_NAME ".tallix-onefile-folder"
// The quick warm check's record in the top folder of an unpack folder
// (format/index/quick_check_record.h). No stored file takes its name either.
#define QUICK_CHECK_RECORD_FILE_NAME ".tallix-onefile-check"
// The launcher's temporary files are "~tallix-*.tmp" (payload/write/temporaries.h),
// which a start may sweep away: no stored file is named like them either.
#define LAUNCHER_TEMPORARY_PREFIX "~tallix-"
#define LAUNCHER_TEMPORARY_SUFFIX ".tmp"

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
    ENTRY_NAME_COLON_OR_SLASH, // ":" names a drive or a stream, "/" separates
    // Below U+0020 or one of < > " | ? *, or a "\" in one host name
    // (ENTRY_NAME_COMPONENT_RULES).
    ENTRY_NAME_FORBIDDEN_UNIT,
    ENTRY_NAME_TRAILING_DOT_OR_SPACE, // Windows drops them
    ENTRY_NAME_DEVICE,                // entryNameIsDevice
    // FOLDER_MARKER_FILE_NAME or QUICK_CHECK_RECORD_FILE_NAME in any letter
    // case (upcaseNameUnit), in any folder: at the top they are the
    // launcher's own files, and a folder below holding a marker looks like
    // an unpack folder to the cleaning of a launcher packed inside the
    // application that unpacks beside itself.
    ENTRY_NAME_MARKER,
    // LAUNCHER_TEMPORARY_PREFIX ... LAUNCHER_TEMPORARY_SUFFIX in any letter
    // case, in any folder.
    ENTRY_NAME_LAUNCHER_TEMPORARY,
};

enum EntryNameRules {
    // Only the faults that could take the name out of the directory it is
    // joined to: empty, drive, absolute, empty, dot or blank component,
    // colon or slash.
    ENTRY_NAME_CONTAINMENT_RULES,
    ENTRY_NAME_ALL_RULES,
    // Every rule, for one file or folder name as the host gives it, before
    // it is joined into a record name: a "\" in it would split it there, so
    // it is an ENTRY_NAME_FORBIDDEN_UNIT like the others.
    ENTRY_NAME_COMPONENT_RULES,
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

// `unit` as Windows compares file names: upper-cased one UTF-16 unit at a
// time by a fixed table, so both packers (Linux and Windows) fold alike,
// whatever their locale. The table holds Unicode 14.0's simple upper-case
// mappings within the BMP; Unicode keeps case pairs stable, so it folds
// every pair the upcase tables of Windows' file systems (older Unicode)
// fold, and a few more. Two names Windows takes for one file are equal unit
// by unit after folding.
WideUnit upcaseNameUnit(WideUnit unit);
