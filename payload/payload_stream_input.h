// The attached data's bytes as a decoder takes them.
//
// A launcher's image maps its block, and a page of the mapping once read
// stays in the process's working set until the process ends: a cold start
// that decoded the block through the mapping would hold all of it. A reader
// instead maps the launcher's own file as data, one view of at most
// BLOCK_VIEW_SIZE at a time, and unmaps each view once the decoder has
// taken its bytes, which takes its pages out of the working set: a start
// holds at most BLOCK_VIEW_SIZE of the block per reader whatever the
// block's size. Views cost no copy, unlike reading into a buffer.
//
// The file is found from the running module's path and the section table
// of its mapped image. When the block is not in the image's constants
// section (a program that links its block in), or the file cannot be
// opened or mapped, the reader hands out the image mapping's bytes instead;
// what is decoded is the same either way. A view that cannot be mapped (a
// file cut short) ends the process with "Error, couldn't decode attached
// data.".
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <zstd.h>

// Each view is mapped and unmapped through the system (under Wine, a
// round trip to its server each): at 4 MiB a 400 MB block takes about a
// hundred, which cost little next to decoding it, while 1 MiB views cost
// measurably more.
enum { BLOCK_VIEW_SIZE = 4 << 20 };

struct BlockReader {
    void *mapping;             // the launcher's file mapped as data, or null
    const unsigned char *view; // the view handed out last, or null
    uint64_t next;             // block offset of the byte after those handed out
    uint64_t end;              // block offset where the extent being read ends
};

// Maps the launcher's file for `reader`.
void openBlockReader(BlockReader *reader);

// Reads the block's bytes [from, to) into `input` from now on; `input` is
// empty until refilled.
void startBlockExtent(BlockReader *reader, ZSTD_inBuffer *input, uint64_t from, uint64_t to);

// When `input` is used up and the extent is not, hands out its next bytes.
// Whether `input` holds bytes.
bool refillBlockInput(BlockReader *reader, ZSTD_inBuffer *input);

// Whether nothing of the extent is left, in `input` or beyond it.
bool blockExtentUsedUp(const BlockReader *reader, const ZSTD_inBuffer *input);

// The block offset of `input`'s next byte.
uint64_t blockReadPosition(const BlockReader *reader, const ZSTD_inBuffer *input);

// Unmaps the view and closes the mapping.
void closeBlockReader(BlockReader *reader);
