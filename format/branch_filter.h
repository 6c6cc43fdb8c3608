// The x86 branch filter: inside a PE file's code, the 32-bit displacement
// after each E8 (call) and E9 (jmp) byte is turned into an absolute target
// (displacement plus the file offset of the next instruction), so that calls
// to one function become one repeated byte string the compressor finds.
// Only displacements within +-64 MiB (their top byte 0x00-0x03 or
// 0xFC-0xFF) are converted, kept to that form, and the four bytes after a converted one
// are passed over. An opcode within 3 bytes after one left as it was is
// left too: its conversion would rewrite the byte the earlier one was
// judged by. So the decoder meets exactly the positions and the decisions
// the encoder met, since neither an opcode byte nor a top byte's form
// changes. Any bytes at all go through and come back unchanged; what is
// filtered where is in the payload index (format/attached_data.h).
#pragma once

#include <stddef.h>
#include <stdint.h>

// An opcode and its displacement.
enum { BRANCH_INSTRUCTION_SIZE = 5 };

// The bytes of a file the filter covers: positions p with start <= p and
// p + BRANCH_INSTRUCTION_SIZE <= end (file offsets).
struct BranchFilterRange {
    uint64_t start;
    uint64_t end;
};

// Converts, in place, the `size` bytes at `bytes`, which are the file's
// bytes from offset `position`: forward when `encode`, else back. Looks only
// at positions whose whole instruction lies in the buffer; returns the
// first position not yet looked at (at most 4 before `size`, or `size`
// when nothing after the buffer can be converted): the bytes before it are
// final, those from it on must be passed again at the head of the next
// call. Scans 8 bytes at a time for an opcode. `*keptUntil` carries the
// decisions from call to call: 0 at the file's start.
size_t convertBranches(unsigned char *bytes, size_t size, uint64_t position,
                       const BranchFilterRange &range, bool encode, uint64_t *keptUntil);

// A file's bytes on their way through the filter, in pieces of any size.
struct BranchFilterStream {
    BranchFilterRange range;
    bool encode;
    uint64_t position;  // the file offset of held[0]
    uint64_t keptUntil; // no opcode before this offset converts
    unsigned char held[BRANCH_INSTRUCTION_SIZE - 1];
    size_t heldCount; // bytes whose instruction reaches into the next piece
};

// The stream at the file's start.
void startBranchFilter(BranchFilterStream *stream, const BranchFilterRange &range, bool encode);

// Moves the held bytes and then as much of `data` as fits into `out`
// (`capacity` > BRANCH_INSTRUCTION_SIZE bytes), converts them, and returns
// how many of `out` are final; *used is how many of `data` were taken.
// The rest are held for the next call.
size_t filterBranchPiece(BranchFilterStream *stream, const unsigned char *data, size_t size,
                         unsigned char *out, size_t capacity, size_t *used);

// After the file's last byte: the held bytes, final as they are (no
// instruction fits in them), into `out` (room for 4); returns their count.
size_t finishBranchFilter(BranchFilterStream *stream, unsigned char *out);
