#define ZSTD_STATIC_LINKING_ONLY // frame headers and the decoder's size estimate

#include "payload/extract/parallel_extraction.h"

#include "base/diagnose.h"
#include "base/diagnostics.h"
#include "base/threads.h"
#include "buildinfo/build_constants.h"
#include "format/attached_data.h"
#include "format/little_endian.h"
#include "format/record_header.h"
#include "paths/target_directory.h"
#include "payload/check/file_checksum.h"
#include "payload/extract/extraction.h"
#include "payload/stream/payload_stream.h"
#include "payload/stream/payload_stream_input.h"
#include "payload/write/file_writer.h"

#include <windows.h>

#include <atomic>
#include <stdlib.h>
#include <string.h>
#include <zstd.h>

static const char DECODE_FAILURE[] = "Error, couldn't decode attached data.";
static const char ALLOCATION_FAILURE[] = "Error, couldn't allocate memory.";

// Where a failure lies in the order a single thread meets things: 2k + 1
// within record k (its name, size, CRC-32, content, its file); 2k between
// record k - 1 and record k (a frame that does not end where the table
// says); 2 * count at the end marker.
static const uint64_t NO_FAILURE = UINT64_MAX;

struct Lane {
    ZSTD_DCtx *decoder;
    ZSTD_inBuffer input;
    BlockReader reader;
    // Between reads window.size is the fill and window.pos the read position.
    ZSTD_outBuffer window;
    // Whether the last decoder call ended the frame.
    bool frameEnded;
    uint64_t failure; // the lane's first failure, NO_FAILURE while none
    FileWriter writer;
};
static Lane Lanes[MAX_LANES];

// zstd's stream buffer (a frame's window and its input), one per lane, kept
// from frame to frame and sized at once for the widest frame. Left to
// malloc, zstd frees it and allocates a larger one for each frame that needs
// more room, and the system hands out fresh pages each time: level 19's
// whole-frame windows (up to 28 MiB) cost 39,000 page faults more than level
// 9's, a tenth of a second of a cold start's system time. Smaller blocks
// (the decoder's own state) go to malloc.
struct StreamBuffer {
    void *block;
    size_t size;
    bool lent;
};
static StreamBuffer StreamBuffers[MAX_LANES];
// What the widest frame's stream buffer takes (laneMemory()).
static size_t streamBufferReserve;
enum { STREAM_BUFFER_MIN_SIZE = 1 << 20 };

static void *allocateForDecoder(void *opaque, size_t size) {
    StreamBuffer *buffer = static_cast<StreamBuffer *>(opaque);
    if (buffer->lent || size < STREAM_BUFFER_MIN_SIZE) {
        return malloc(size);
    }
    if (buffer->size < size) {
        if (buffer->block != nullptr) {
            VirtualFree(buffer->block, 0, MEM_RELEASE);
        }
        size_t wanted = size > streamBufferReserve ? size : streamBufferReserve;
        buffer->block = VirtualAlloc(nullptr, wanted, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        buffer->size = buffer->block != nullptr ? wanted : 0;
        if (buffer->block == nullptr) {
            return nullptr;
        }
    }
    buffer->lent = true;
    return buffer->block;
}

static void freeForDecoder(void *opaque, void *address) {
    StreamBuffer *buffer = static_cast<StreamBuffer *>(opaque);
    if (address != nullptr && address == buffer->block) {
        buffer->lent = false;
        return;
    }
    free(address);
}

// The index and the block as chooseLaneCount() found them.
static PayloadIndex LaneIndex;
static size_t frameCount;
static uint64_t trailerAt;
// Per record, whether it is decoded into its file; null: every record.
static const bool *DecodeRecord;
static std::atomic<size_t> nextFrame;
// The lowest failure of any lane so far: work past it is not needed.
static std::atomic<uint64_t> firstFailure;

// Where frame j's extent starts in the block; an offset past the frames
// is cut to their end, and the frame then fails to decode.
static uint64_t frameStart(size_t j) {
    uint64_t offset = payloadIndexFrame(LaneIndex, j).offset;
    return offset < trailerAt ? offset : trailerAt;
}

static void noteFailure(Lane *lane, uint64_t at) {
    lane->failure = at;
    uint64_t seen = firstFailure.load(std::memory_order_relaxed);
    while (at < seen && !firstFailure.compare_exchange_weak(seen, at, std::memory_order_relaxed)) {
    }
}

static bool passedFailure(uint64_t at) {
    return at > firstFailure.load(std::memory_order_relaxed);
}

// --- Reading a lane's frame ------------------------------------------------------

// Refills the window from the frame; false when the frame has nothing more
// to give or is damaged.
static bool refillWindow(Lane *lane) {
    if (lane->frameEnded) {
        return false;
    }
    lane->window.size = PAYLOAD_WINDOW_SIZE;
    lane->window.pos = 0;
    refillBlockInput(&lane->reader, &lane->input);
    size_t consumed = lane->input.pos;
    size_t result = ZSTD_decompressStream(lane->decoder, &lane->window, &lane->input);
    lane->window.size = lane->window.pos;
    lane->window.pos = 0;
    if (ZSTD_isError(result) || (lane->window.size == 0 && lane->input.pos == consumed)) {
        return false;
    }
    lane->frameEnded = result == 0;
    return true;
}

// Up to `wanted` decoded bytes, at least 1, in place in the window.
static bool nextBytes(Lane *lane, size_t wanted, const unsigned char **data, size_t *got) {
    while (lane->window.pos == lane->window.size) {
        if (!refillWindow(lane)) {
            return false;
        }
    }
    size_t available = lane->window.size - lane->window.pos;
    *got = wanted < available ? wanted : available;
    *data = static_cast<const unsigned char *>(lane->window.dst) + lane->window.pos;
    lane->window.pos += *got;
    return true;
}

static bool readBytes(Lane *lane, unsigned char *destination, size_t count) {
    while (count > 0) {
        const unsigned char *data;
        size_t got;
        if (!nextBytes(lane, count, &data, &got)) {
            return false;
        }
        memcpy(destination, data, got);
        destination += got;
        count -= got;
    }
    return true;
}

// Whether the frame ends here: nothing decoded beyond, its checksum checked
// and its extent in the block used up.
static bool frameEndsHere(Lane *lane, size_t frame) {
    if (lane->window.pos != lane->window.size) {
        return false;
    }
    while (!lane->frameEnded) {
        if (!refillWindow(lane) || lane->window.size != 0) {
            return false;
        }
    }
    if (frame + 1 < frameCount) {
        return blockExtentUsedUp(&lane->reader, &lane->input);
    }
    return isBlockTail(blockReadPosition(&lane->reader, &lane->input));
}

// --- A lane's records ------------------------------------------------------------

static bool readFromLane(void *lane, unsigned char *destination, size_t count) {
    return readBytes(static_cast<Lane *>(lane), destination, count);
}

// Record k's name, size and CRC-32, held to entry k.
static bool readMatchingRecord(Lane *lane, const PayloadIndexEntry &entry) {
    RecordHeader header;
    return readRecordHeader(readFromLane, lane, &header) == RECORD_HEADER_READ &&
           recordMatchesIndexEntry(entry, header.name, header.size, header.crc);
}

// Record k's content, into `writer` (null: read past, its file settled
// already); false when the frame fails.
static bool passContent(Lane *lane, uint64_t left, FileWriter *writer) {
    while (left > 0 && (writer == nullptr || writer->failure == WRITE_OK)) {
        const unsigned char *data;
        size_t got;
        size_t wanted =
            left < PAYLOAD_WINDOW_SIZE ? static_cast<size_t>(left) : size_t{PAYLOAD_WINDOW_SIZE};
        if (!nextBytes(lane, wanted, &data, &got)) {
            return false;
        }
        if (writer != nullptr) {
            writeFileContent(writer, data, got);
        }
        left -= got;
    }
    return true;
}

// Record k in full, its file checked or written; false at a failure.
static bool extractRecord(Lane *lane, size_t k) {
    PayloadIndexEntry entry = payloadIndexEntry(LaneIndex, k);
    if (!readMatchingRecord(lane, entry)) {
        return false;
    }
    if (DecodeRecord != nullptr && !DecodeRecord[k]) {
        return passContent(lane, entry.size, nullptr);
    }
    FileWriter *writer = &lane->writer;
    startFileWrite(writer, static_cast<uint32_t>(k));
    if (!passContent(lane, entry.size, writer)) {
        return false;
    }
    if (writer->failure == WRITE_OK) {
        endFileWrite(writer);
    }
    return writer->failure == WRITE_OK;
}

static void extractFrame(Lane *lane, size_t frame) {
    PayloadIndexFrame where = payloadIndexFrame(LaneIndex, frame);
    size_t end = where.endRecord;
    uint64_t start = frameStart(frame);
    uint64_t extentEnd = frame + 1 < frameCount ? frameStart(frame + 1) : trailerAt;
    ZSTD_DCtx_reset(lane->decoder, ZSTD_reset_session_only);
    startBlockExtent(&lane->reader, &lane->input, start, extentEnd);
    lane->window.size = 0;
    lane->window.pos = 0;
    lane->frameEnded = false;
    for (size_t k = where.firstRecord; k < end; ++k) {
        if (passedFailure(2 * uint64_t{k} + 1)) {
            return;
        }
        if (!extractRecord(lane, k)) {
            noteFailure(lane, 2 * uint64_t{k} + 1);
            return;
        }
    }
    unsigned char marker[RECORD_END_MARKER_BYTES];
    bool last = frame + 1 == frameCount;
    if ((last && (!readBytes(lane, marker, sizeof marker) || readLe16(marker) != 0)) ||
        !frameEndsHere(lane, frame)) {
        noteFailure(lane, 2 * uint64_t{end});
    }
}

// Whether frame j holds a record to decode.
static bool frameHasWork(size_t j) {
    if (DecodeRecord == nullptr) {
        return true;
    }
    PayloadIndexFrame where = payloadIndexFrame(LaneIndex, j);
    for (size_t k = where.firstRecord; k < where.endRecord; ++k) {
        if (DecodeRecord[k]) {
            return true;
        }
    }
    return false;
}

static void runLane(Lane *lane) {
    for (;;) {
        size_t frame = nextFrame.fetch_add(1, std::memory_order_relaxed);
        if (frame >= frameCount || lane->failure != NO_FAILURE ||
            passedFailure(2 * uint64_t{payloadIndexFrame(LaneIndex, frame).firstRecord})) {
            return;
        }
        if (frameHasWork(frame)) {
            extractFrame(lane, frame);
        }
    }
}

static void runLaneNumber(size_t lane) {
    runLane(&Lanes[lane]);
}

// --- Choosing and starting lanes -------------------------------------------------

// One lane's decoder, window, read buffer and checksum buffer for the widest frame whose
// header reads; a frame whose header does not read, or declares a window
// the decoder refuses, fails in its lane before the decoder allocates.
static uint64_t laneMemory() {
    uint64_t widest = 0;
    for (size_t j = 0; j < frameCount; ++j) {
        uint64_t offset = frameStart(j);
        ZSTD_frameHeader header;
        if (ZSTD_getFrameHeader(&header, AttachedData + offset,
                                static_cast<size_t>(trailerAt - offset)) == 0 &&
            header.frameType == ZSTD_frame &&
            header.windowSize <= (uint64_t{1} << ATTACHED_DATA_MAX_WINDOW_LOG) &&
            header.windowSize > widest) {
            widest = header.windowSize;
        }
    }
    size_t decoder = ZSTD_estimateDStreamSize(static_cast<size_t>(widest));
    streamBufferReserve = decoder - ZSTD_estimateDCtxSize();
    return decoder + PAYLOAD_WINDOW_SIZE + BLOCK_READ_PIECE_SIZE + FILE_CHECKSUM_PIECE_SIZE;
}

size_t chooseLaneCount(const PayloadIndex &index) {
    if (ATTACHED_DATA_SIZE < size_t{ATTACHED_DATA_MAGIC_SIZE} + ATTACHED_DATA_TRAILER_SIZE) {
        return 0;
    }
    LaneIndex = index;
    frameCount = index.frameCount;
    trailerAt = ATTACHED_DATA_SIZE - ATTACHED_DATA_TRAILER_SIZE;
    size_t lanes = frameCount;
    size_t cores = allowedProcessorCount();
    lanes = lanes < cores ? lanes : cores;
    lanes = lanes < MAX_LANES ? lanes : size_t{MAX_LANES};
    if (lanes < 1 || pendingFileCount() != 0) {
        return 0;
    }
    uint64_t fit = LANE_MEMORY_BUDGET / laneMemory();
    return fit < lanes ? static_cast<size_t>(fit) : lanes;
}

// Every record in the pending table, in order: record k is place k.
static void addAllPendingFiles(const PayloadIndex &index) {
    static wchar_t name[ENTRY_NAME_CAPACITY];
    for (size_t k = 0; k < index.count; ++k) {
        PayloadIndexEntry entry = payloadIndexEntry(index, k);
        copyIndexName(entry, entry.nameLength, name);
        uint32_t place;
        if (!addPendingFile(name, entry.size == 0, entry.crc, &place)) {
            fatalError(ALLOCATION_FAILURE);
        }
        // A path that does not fit ends the process (abort), as its file's would.
        if (k == 0 && !buildTargetPath(ChildProgramPath, name, entry.nameLength)) {
            abort();
        }
    }
}

static void openLanes(size_t laneCount) {
    for (size_t i = 0; i < laneCount; ++i) {
        Lane *lane = &Lanes[i];
        StreamBuffers[i] = {};
        lane->decoder =
            ZSTD_createDCtx_advanced({allocateForDecoder, freeForDecoder, &StreamBuffers[i]});
        lane->window.dst = malloc(PAYLOAD_WINDOW_SIZE);
        lane->writer = {};
        lane->writer.checksumBuffer =
            static_cast<unsigned char *>(_aligned_malloc(FILE_CHECKSUM_PIECE_SIZE, 64));
        if (lane->decoder == nullptr || lane->window.dst == nullptr ||
            lane->writer.checksumBuffer == nullptr) {
            fatalError(ALLOCATION_FAILURE);
        }
        lane->failure = NO_FAILURE;
        openBlockReader(&lane->reader);
    }
}

static void closeLanes(size_t laneCount) {
    for (size_t i = 0; i < laneCount; ++i) {
        ZSTD_freeDCtx(Lanes[i].decoder);
        if (StreamBuffers[i].block != nullptr) {
            VirtualFree(StreamBuffers[i].block, 0, MEM_RELEASE);
        }
        StreamBuffers[i] = {};
        free(Lanes[i].window.dst);
        _aligned_free(Lanes[i].writer.checksumBuffer);
        closeBlockReader(&Lanes[i].reader);
        Lanes[i] = {};
    }
}

// The lowest failure of all lanes, reported as the sequential path would.
static void reportFirstFailure(size_t laneCount) {
    const Lane *first = nullptr;
    for (size_t i = 0; i < laneCount; ++i) {
        if (Lanes[i].failure != NO_FAILURE &&
            (first == nullptr || Lanes[i].failure < first->failure)) {
            first = &Lanes[i];
        }
    }
    if (first == nullptr) {
        return;
    }
    if (first->writer.failure != WRITE_OK) {
        reportWriteFailure(&first->writer);
    }
    fatalError(DECODE_FAILURE);
}

void beginLaneRun(const PayloadIndex &index) {
    beginPendingRun();
    addAllPendingFiles(index);
}

void runLanes(size_t laneCount, const bool *decode) {
    nextFrame = 0;
    firstFailure = NO_FAILURE;
    DecodeRecord = decode;
    openLanes(laneCount);
    diagnose("decoding in %llu lanes", static_cast<unsigned long long>(laneCount));
    // The calling thread is lane 0; a lane that cannot be started leaves
    // its frames to the others.
    runOnThreads(laneCount, LANE_STACK_SIZE, runLaneNumber);
    reportFirstFailure(laneCount);
    closeLanes(laneCount);
    commitPendingFiles();
    finishPendingRun();
}

void extractInLanes(const PayloadIndex &index, size_t laneCount) {
    beginLaneRun(index);
    runLanes(laneCount, nullptr);
}
