// Carrying the unpack plan out (payload/plan/unpack_plan.h).
#include "payload/plan/unpack_plan.h"

#include "base/diagnose.h"
#include "base/threads.h"
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

#include <atomic>
#include <stdio.h>

struct Taking {
    size_t taker;
    PayloadIndexEntry entry;
    TakenHow how;
};

static bool makeFromOlder(const wchar_t *temporaryPath, void *context, void **held) {
    Taking *taking = static_cast<Taking *>(context);
    taking->how = takeOlderFile(taking->taker, taking->entry, temporaryPath, held);
    return taking->how != NOT_TAKEN;
}

// Files to take per taking thread at least: a thread for fewer would cost
// about as much to start as it saves.
enum { FILES_PER_EXTRA_TAKER = 8 };
// Taking stacks: a few frames of calls; the rooms are static.
enum { TAKER_STACK_SIZE = 64 * 1024 };

// The taking threads' shared state: the next entry to look at, and what
// was taken; each taker has its own FileWriter for the paths.
static const PayloadIndex *TakeIndex;
static std::atomic<size_t> nextTaken;
static std::atomic<size_t> takenAsLinks;
static std::atomic<size_t> linkedByName;
static std::atomic<size_t> takenAsCopies;
static FileWriter Makers[OLDER_TAKERS_MAX];

// One taker's share: entries from the shared counter, each made from the
// older version or, failing that, turned to be decoded.
static void takeFiles(size_t taker) {
    size_t linked = 0;
    size_t byName = 0;
    size_t copied = 0;
    for (;;) {
        size_t k = nextTaken.fetch_add(1, std::memory_order_relaxed);
        if (k >= TakeIndex->count) {
            break;
        }
        if (unpackPlanAction(k) != ENTRY_FROM_OLDER) {
            continue;
        }
        Taking taking = {taker, payloadIndexEntry(*TakeIndex, k), NOT_TAKEN};
        if (!makePendingFile(&Makers[taker], static_cast<uint32_t>(k), makeFromOlder, &taking)) {
            decodeInstead(k);
            continue;
        }
        // A file taken counts as written, so that the progress window shows it.
        countTakenFile(taking.entry.size);
        linked += taking.how == TAKEN_AS_LINK || taking.how == TAKEN_AS_LINK_BY_NAME;
        byName += taking.how == TAKEN_AS_LINK_BY_NAME;
        copied += taking.how == TAKEN_AS_COPY;
    }
    takenAsLinks.fetch_add(linked, std::memory_order_relaxed);
    linkedByName.fetch_add(byName, std::memory_order_relaxed);
    takenAsCopies.fetch_add(copied, std::memory_order_relaxed);
}

// Links made by name are told apart: on a user's machine they show that
// the system refused links from a handle.
static void diagnoseTaken(size_t linked, size_t byName, size_t copied) {
    if (linked + copied == 0) {
        return;
    }
    char byNameText[48] = "";
    if (byName > 0) {
        snprintf(byNameText, sizeof byNameText, "; %llu linked by name",
                 static_cast<unsigned long long>(byName));
    }
    diagnose("took %llu files from the older version: %llu linked, %llu copied%s",
             static_cast<unsigned long long>(linked + copied),
             static_cast<unsigned long long>(linked), static_cast<unsigned long long>(copied),
             byNameText);
}

static size_t chooseTakerCount(size_t toTake) {
    size_t cores = allowedProcessorCount();
    size_t takers = cores < OLDER_TAKERS_MAX ? cores : size_t{OLDER_TAKERS_MAX};
    size_t worth = 1 + toTake / FILES_PER_EXTRA_TAKER;
    return takers < worth ? takers : worth;
}

// Tells the pending table what the plan knows, and makes the temporaries of
// the files taken from the older version; one that cannot be taken is
// decoded instead. Files not decoded count as passed for the progress.
static void settlePendingFiles(const PayloadIndex &index) {
    for (size_t k = 0; k < index.count; ++k) {
        // An entry to decode keeps the writer's check: the plan's check may
        // have met the file held by another program for a moment.
        if (unpackPlanAction(k) == ENTRY_IN_PLACE) {
            keepPendingFileInPlace(static_cast<uint32_t>(k));
            countUnpackedContent(payloadIndexEntry(index, k).size, false);
            countFinishedFile();
        }
    }
    size_t toTake = unpackPlanCounts().fromOlder;
    if (toTake == 0) {
        return;
    }
    TakeIndex = &index;
    nextTaken.store(0, std::memory_order_relaxed);
    takenAsLinks.store(0, std::memory_order_relaxed);
    linkedByName.store(0, std::memory_order_relaxed);
    takenAsCopies.store(0, std::memory_order_relaxed);
    runOnThreads(chooseTakerCount(toTake), TAKER_STACK_SIZE, takeFiles);
    diagnoseTaken(takenAsLinks.load(std::memory_order_relaxed),
                  linkedByName.load(std::memory_order_relaxed),
                  takenAsCopies.load(std::memory_order_relaxed));
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
