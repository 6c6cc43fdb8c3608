// The marker file the launcher writes into every folder it unpacks, naming
// the company, product and version of the launcher that unpacked it. Old
// versions are recognised by it, never by a folder's name alone.
//
// Content: UTF-16LE lines, each ended by U+000A: FOLDER_MARKER_MAGIC, then
// company, product and version. Packed texts hold no control characters.
#pragma once

#include "base/wide_text.h"
#include "format/entry_name.h"

#include <stddef.h>

// The marker's file name inside an unpack folder.
#define FOLDER_MARKER_NAME L"" FOLDER_MARKER_FILE_NAME
// Room for a marker: the magic and three texts of up to 1000 units each.
enum { FOLDER_MARKER_CAPACITY = 4096 };

// The marker for this company, product and version, terminated, into
// `target` of FOLDER_MARKER_CAPACITY units; false when it does not fit.
bool formatFolderMarker(WideUnit *target, const WideUnit *company, const WideUnit *product,
                        const WideUnit *version);

// True when `marker` (`units` long, not terminated) is that of the same
// company and product at a version not newer than `version`. Versions are
// compared as 1 to 4 dot-separated numbers; any other text never matches.
bool isOlderFolderMarker(const WideUnit *marker, size_t units, const WideUnit *company,
                         const WideUnit *product, const WideUnit *version);

#if defined(_WIN32)
// Writes the marker into TargetDirectory unless it is there already
// (payload/write/temporaries.h: placeOwnFile, so a link under its name is left
// alone and no marker is written), and keeps it open, shared for reading only, until the process
// ends: a cleaning launcher then leaves the folder alone while this one runs. Failures are ignored;
// only cleaning depends on the marker.
void markTargetDirectory();
#endif
