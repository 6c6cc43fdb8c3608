// The unpack plan: what a start does to put the application's files in
// place, decided before anything is written. The check (content or quick,
// payload/check/index_check.h) looks at every file the payload index names;
// each entry is then
//   - in place: left as it is, not checked again and never rewritten;
//   - from the older version: the same file (size and CRC-32) in an older
//     version's folder beside this one (payload/plan/older_version.h), linked
//     or copied under a temporary name and moved into place like a decoded
//     one; one that cannot be taken after all is decoded instead;
//   - to decode: only the frames holding such an entry are decoded, and
//     their other records are read past.
// prepareApplicationFiles() makes the plan and carries it out, keeping every
// promise of payload/extract/extraction.h: files go into place only after
// every decoded frame has ended cleanly, in record order, and a failure
// leaves nothing placed.
//
// Without a whole index of at most PLAN_MAX_ENTRIES entries there is no
// plan: every file is decoded and compared, as a launcher without an index
// does. With one, the plan is carried out in lanes
// (payload/extract/parallel_extraction.h), one lane where there is one core;
// only when every entry is to be decoded and two lanes are not to be had
// does the sequential path decode, which overlaps decoding and writing.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Entries a plan covers: three flags each, static. A larger index gets the
// writer's own reuse check on every file instead.
enum { PLAN_MAX_ENTRIES = 1 << 20 };

enum EntryAction : uint8_t { ENTRY_IN_PLACE, ENTRY_FROM_OLDER, ENTRY_DECODE };

struct UnpackPlanCounts {
    size_t inPlace;
    size_t fromOlder;
    size_t toDecode;
    size_t framesToDecode;
    size_t frames;
};

// Checks the files and makes the plan. True when every file is in place
// (there is nothing to do and no plan is needed).
bool makeUnpackPlan();

// Whether the last makeUnpackPlan() made a plan (a whole index of at most
// PLAN_MAX_ENTRIES entries, some not in place).
bool unpackPlanIsWhole();

// Entry k's action in the plan (k below the index's count).
EntryAction unpackPlanAction(size_t k);

// The plan's counts, as it stands (taking files may turn some into
// entries to decode).
UnpackPlanCounts unpackPlanCounts();

// The plan as one diagnosis line (base/diagnose.h), `stage` first.
void diagnoseUnpackPlan(const char *stage);

// Puts the application's files in place: makes the plan; when something is
// to be done, takes its turn (payload/turn/unpack_lock.h), which may find the
// files written by another start, and carries the plan out. ChildProgramPath
// is set from the first entry. Failures end the process as the extraction
// reports them (payload/extract/extraction.h). The quick check's record
// follows what was verified (payload/check/quick_check.h).
void prepareApplicationFiles();

// --- For carrying the plan out (payload/plan/application_files-win32.cpp) ---
// Entry k was not taken from the older version after all: it is decoded.
void decodeInstead(size_t k);
// One flag per entry, set where the entry is to be decoded.
const bool *entriesToDecode();
