#include "payload/stream/payload_stream.h"

#include "base/diagnostics.h"
#include "buildinfo/build_constants.h"
#include "format/attached_data.h"
#include "payload/stream/payload_stream_input.h"

#include <stdlib.h>
#include <string.h>
#include <zstd.h>

static const char DECODE_FAILURE[] = "Error, couldn't decode attached data.";
static const char ALLOCATION_FAILURE[] = "Error, couldn't allocate memory.";

// Between decoder calls window.size is the fill and window.pos the read position.
static ZSTD_inBuffer input;
static BlockReader reader;
static ZSTD_outBuffer window;
static ZSTD_DCtx *decoder;
// Whether the current request may still get output from the decoder: input
// remains, or its last call filled the window (the decoder may hold more).
static bool windowWasFilled;
// Whether the last decoder call ended a frame (checksum checked, if any);
// the next call begins the next frame.
static bool frameEnded;
// Decoded bytes the decoder gave so far, and frames it began.
static uint64_t decodedBytes;
static size_t framesBegun;
static FrameStartCheck frameStartCheck;

void openPayloadStream() {
    void *windowMemory = malloc(PAYLOAD_WINDOW_SIZE);
    if (windowMemory == nullptr) {
        fatalError(ALLOCATION_FAILURE);
    }
    decoder = ZSTD_createDCtx();
    if (decoder == nullptr) {
        fatalError(ALLOCATION_FAILURE);
    }
    openBlockReader(&reader);
    startBlockExtent(&reader, &input, ATTACHED_DATA_MAGIC_SIZE, ATTACHED_DATA_SIZE);
    window.dst = windowMemory;
    window.size = 0;
    window.pos = 0;
    // The first decoder call begins the first frame.
    frameEnded = true;
    decodedBytes = 0;
    framesBegun = 0;
    frameStartCheck = nullptr;
}

void setFrameStartCheck(FrameStartCheck check) {
    frameStartCheck = check;
}

uint64_t payloadBytesRead() {
    return decodedBytes - (window.size - window.pos);
}

size_t payloadFramesBegun() {
    return framesBegun;
}

void readPayloadBytes(void *destination, size_t count) {
    unsigned char *out = static_cast<unsigned char *>(destination);
    windowWasFilled = false;
    while (count > 0) {
        size_t available = window.size - window.pos;
        if (available > 0) {
            size_t n = count < available ? count : available;
            memcpy(out, static_cast<unsigned char *>(window.dst) + window.pos, n);
            window.pos += n;
            out += n;
            count -= n;
            continue;
        }
        if (refillBlockInput(&reader, &input)) {
            windowWasFilled = true;
        }
        if (!windowWasFilled) {
            fatalError(DECODE_FAILURE);
        }
        if (frameEnded) {
            // The window is used up: everything decoded has been handed out.
            if (frameStartCheck != nullptr) {
                frameStartCheck(framesBegun, blockReadPosition(&reader, &input), decodedBytes);
            }
            ++framesBegun;
        }
        window.size = PAYLOAD_WINDOW_SIZE;
        window.pos = 0;
        size_t result = ZSTD_decompressStream(decoder, &window, &input);
        if (ZSTD_isError(result)) {
            fatalError(DECODE_FAILURE);
        }
        decodedBytes += window.pos;
        frameEnded = result == 0;
        windowWasFilled = window.pos == PAYLOAD_WINDOW_SIZE;
        window.size = window.pos;
        window.pos = 0;
    }
}

void finishPayloadStream() {
    if (window.pos != window.size) {
        fatalError(DECODE_FAILURE);
    }
    while (!frameEnded) {
        window.size = PAYLOAD_WINDOW_SIZE;
        window.pos = 0;
        refillBlockInput(&reader, &input);
        size_t consumed = input.pos;
        size_t result = ZSTD_decompressStream(decoder, &window, &input);
        // Output here would be records after the end marker.
        if (ZSTD_isError(result) || window.pos != 0 || (result != 0 && input.pos == consumed)) {
            fatalError(DECODE_FAILURE);
        }
        frameEnded = result == 0;
    }
    if (!isBlockTail(blockReadPosition(&reader, &input))) {
        fatalError(DECODE_FAILURE);
    }
    window.size = 0;
    window.pos = 0;
}

bool isBlockTail(size_t at) {
    size_t trailerAt = ATTACHED_DATA_SIZE - ATTACHED_DATA_TRAILER_SIZE;
    if (ATTACHED_DATA_SIZE < ATTACHED_DATA_TRAILER_SIZE || at > trailerAt ||
        trailerAt - at >= ATTACHED_DATA_TRAILER_ALIGNMENT) {
        return false;
    }
    for (; at < trailerAt; ++at) {
        if (AttachedData[at] != 0) {
            return false;
        }
    }
    return true;
}

void closePayloadStream() {
    ZSTD_freeDCtx(decoder);
    decoder = nullptr;
    free(window.dst);
    window.dst = nullptr;
    window.size = 0;
    window.pos = 0;
    closeBlockReader(&reader);
}
