#include "payload/plan/unpack_plan.h"

#include "base/diagnose.h"
#include "format/index/payload_index.h"
#include "payload/check/index_check.h"
#include "payload/plan/older_version.h"

// Per entry: to decode (the check found it not in place, and no older
// version has it), and from the older version. Neither: in place.
static bool Decode[PLAN_MAX_ENTRIES];
static bool FromOlder[PLAN_MAX_ENTRIES];
static PayloadIndex PlanIndex;
static bool planWhole;

bool makeUnpackPlan() {
    planWhole = false;
    if (checkIndexedFiles(INDEX_CHECK_MAX_THREADS, nullptr, Decode, PLAN_MAX_ENTRIES)) {
        return true;
    }
    const PayloadIndex *index = wholePayloadIndex();
    if (index == nullptr || index->count > PLAN_MAX_ENTRIES) {
        return false;
    }
    PlanIndex = *index;
    planWhole = true;
    bool older = findOlderVersionFolder();
    for (size_t k = 0; k < index->count; ++k) {
        FromOlder[k] = older && Decode[k] && olderFileMayMatch(payloadIndexEntry(*index, k));
        Decode[k] = Decode[k] && !FromOlder[k];
    }
    return false;
}

bool unpackPlanIsWhole() {
    return planWhole;
}

EntryAction unpackPlanAction(size_t k) {
    return Decode[k] ? ENTRY_DECODE : FromOlder[k] ? ENTRY_FROM_OLDER : ENTRY_IN_PLACE;
}

void decodeInstead(size_t k) {
    FromOlder[k] = false;
    Decode[k] = true;
}

const bool *entriesToDecode() {
    return Decode;
}

UnpackPlanCounts unpackPlanCounts() {
    UnpackPlanCounts counts = {};
    if (!planWhole) {
        return counts;
    }
    counts.frames = PlanIndex.frameCount;
    for (size_t j = 0; j < PlanIndex.frameCount; ++j) {
        PayloadIndexFrame frame = payloadIndexFrame(PlanIndex, j);
        bool decoded = false;
        for (size_t k = frame.firstRecord; k < frame.endRecord; ++k) {
            EntryAction action = unpackPlanAction(k);
            counts.inPlace += action == ENTRY_IN_PLACE;
            counts.fromOlder += action == ENTRY_FROM_OLDER;
            counts.toDecode += action == ENTRY_DECODE;
            decoded = decoded || action == ENTRY_DECODE;
        }
        counts.framesToDecode += decoded;
    }
    return counts;
}

void diagnoseUnpackPlan(const char *stage) {
    if (!DiagnoseOn || !planWhole) {
        return;
    }
    UnpackPlanCounts counts = unpackPlanCounts();
    const wchar_t *older = olderVersionFolder();
    diagnose("%s: %llu in place, %llu from the older version%s%ls, %llu to decode in %llu of %llu "
             "frames",
             stage, static_cast<unsigned long long>(counts.inPlace),
             static_cast<unsigned long long>(counts.fromOlder), older[0] != 0 ? " " : "", older,
             static_cast<unsigned long long>(counts.toDecode),
             static_cast<unsigned long long>(counts.framesToDecode),
             static_cast<unsigned long long>(counts.frames));
}
