// Carrying the unpack plan out (payload/plan/unpack_plan.h).
#include "payload/plan/unpack_plan.h"

#include "base/diagnose.h"
#include "format/index/payload_index.h"
#include "payload/check/index_check.h"
#include "payload/check/quick_check.h"
#include "payload/extract/extraction.h"
#include "payload/extract/parallel_extraction.h"
#include "payload/plan/older_version.h"
#include "payload/stream/payload_stream.h"
#include "payload/turn/unpack_lock.h"
#include "payload/turn/unpack_progress.h"
#include "payload/write/file_writer.h"

struct Taking {
    PayloadIndexEntry entry;
    TakenHow how;
};

static bool makeFromOlder(const wchar_t *temporaryPath, void *context, void **held) {
    Taking *taking = static_cast<Taking *>(context);
    taking->how = takeOlderFile(taking->entry, temporaryPath, held);
    return taking->how != NOT_TAKEN;
}

// Tells the pending table what the plan knows, and makes the temporaries of
// the files taken from the older version; one that cannot be taken is
// decoded instead. Files not decoded count as passed for the progress.
static void settlePendingFiles(const PayloadIndex &index) {
    size_t linked = 0;
    size_t copied = 0;
    for (size_t k = 0; k < index.count; ++k) {
        PayloadIndexEntry entry = payloadIndexEntry(index, k);
        uint32_t place = static_cast<uint32_t>(k);
        EntryAction action = unpackPlanAction(k);
        if (action == ENTRY_FROM_OLDER) {
            Taking taking = {entry, NOT_TAKEN};
            if (!makePendingFile(place, makeFromOlder, &taking)) {
                decodeInstead(k);
                action = ENTRY_DECODE;
            }
            linked += taking.how == TAKEN_AS_LINK;
            copied += taking.how == TAKEN_AS_COPY;
        } else if (action == ENTRY_IN_PLACE) {
            keepPendingFileInPlace(place);
        }
        // An entry to decode keeps the writer's check: the plan's check may
        // have met the file held by another program for a moment. A file
        // taken counts as written, so that the progress window shows it.
        if (action != ENTRY_DECODE) {
            countUnpackedContent(entry.size, action == ENTRY_FROM_OLDER);
            countFinishedFile();
        }
    }
    if (linked + copied > 0) {
        diagnose("took %llu files from the older version: %llu linked, %llu copied",
                 static_cast<unsigned long long>(linked + copied),
                 static_cast<unsigned long long>(linked), static_cast<unsigned long long>(copied));
    }
}

static void carryOutUnpackPlan() {
    const PayloadIndex *index = wholePayloadIndex();
    size_t lanes = index != nullptr ? chooseLaneCount(*index) : 0;
    bool partial = unpackPlanIsWhole() && unpackPlanCounts().toDecode < index->count;
    diagnoseUnpackPlan("plan");
    if (lanes >= 2 || (lanes == 1 && partial)) {
        beginLaneRun(*index);
        if (!unpackPlanIsWhole()) {
            runLanes(lanes, nullptr);
            return;
        }
        settlePendingFiles(*index);
        if (partial) {
            diagnoseUnpackPlan("carried out");
        }
        runLanes(lanes, entriesToDecode());
        return;
    }
    openPayloadStream();
    extractPayloadFiles(indexRecordCheck());
}

void prepareApplicationFiles() {
    // A start with files to write first waits for any other start unpacking
    // the same build here, and checks again (payload/turn/unpack_lock.h).
    bool inPlace = makeUnpackPlan() || !takeUnpackTurn(makeUnpackPlan);
    const PayloadIndex *index = wholePayloadIndex();
    PayloadIndex none = {};
    if (inPlace) {
        setChildProgramFromIndex();
        saveQuickCheckRecord(index != nullptr ? *index : none, false);
        return;
    }
    carryOutUnpackPlan();
    endUnpackTurn();
    saveQuickCheckRecord(index != nullptr ? *index : none, true);
}
