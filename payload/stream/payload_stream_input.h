// The attached data's bytes as a decoder takes them.
//
// A launcher's image maps its block, and a page of the mapping once read
// stays in the process's working set until the process ends: a cold start
// that decoded the block through the mapping would hold all of it. A reader
// instead takes the bytes from the launcher's own file, a piece at a time,
// into a buffer of its own, so that a start holds BLOCK_READ_PIECE_SIZE of
// the block per reader whatever the block's size.
//
// The file is found from the running module's path and the section table
// of its mapped image. When the block is not in the image's constants
// section (a program that links its block in), or the file cannot be
// opened, the reader hands out the mapping's bytes instead; what is
// decoded is the same either way. A read that fails or comes up short hands
// out nothing, so the decoder stops there and its caller fails as for a
// damaged block ("Error, couldn't decode attached data."): a lane never ends
// the process while the others write.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <zstd.h>

// One read's worth: a few hundred reads for a large block cost little next
// to decoding it, and each reader holds only this much of the block.
enum { BLOCK_READ_PIECE_SIZE = 1 << 20 };

struct BlockReader {
    void *file;            // the launcher, or null when reading the mapping
    unsigned char *buffer; // BLOCK_READ_PIECE_SIZE bytes, with a file
    uint64_t next;         // block offset of the byte after those handed out
    uint64_t end;          // block offset where the extent being read ends
};

// Opens the launcher's file for `reader` and allocates its buffer; an
// allocation that fails ends the process with "Error, couldn't allocate
// memory.".
void openBlockReader(BlockReader *reader);

// Reads the block's bytes [from, to) into `input` from now on; `input` is
// empty until refilled.
void startBlockExtent(BlockReader *reader, ZSTD_inBuffer *input, uint64_t from, uint64_t to);

// When `input` is used up and the extent is not, hands out its next bytes.
// Whether `input` holds bytes; after a failed read it is empty, and the
// next call reads the same bytes again.
bool refillBlockInput(BlockReader *reader, ZSTD_inBuffer *input);

// Whether nothing of the extent is left, in `input` or beyond it.
bool blockExtentUsedUp(const BlockReader *reader, const ZSTD_inBuffer *input);

// The block offset of `input`'s next byte.
uint64_t blockReadPosition(const BlockReader *reader, const ZSTD_inBuffer *input);

// Closes the file and frees the buffer.
void closeBlockReader(BlockReader *reader);
