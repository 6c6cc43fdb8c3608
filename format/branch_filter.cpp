#include "format/branch_filter.h"

#include "format/little_endian.h"

#include <string.h>

static const uint64_t BYTE_ONES = 0x0101010101010101ull;
static const uint64_t BYTE_HIGHS = 0x8080808080808080ull;
// 0xE8 and 0xE9 differ in their lowest bit alone.
static const uint64_t OPCODE_BYTES = 0xE8E8E8E8E8E8E8E8ull;
// Displacements keep to 27 bits, sign-extended: their top byte stays
// 0x00-0x03 or 0xFC-0xFF both ways. Reaching +-64 MiB covers the calls of
// a code section as large as a 49 MB program's (-0.3 % at level 19 against
// +-16 MiB); 28 bits let more data bytes pass for branches and lost again.
static const uint32_t DISPLACEMENT_MASK = 0x07FFFFFFu;
static const uint32_t DISPLACEMENT_SIGN = 0x04000000u;
static const unsigned char TOP_FORM = 0xFC;

static bool isOpcode(unsigned char byte) {
    return (byte & 0xFE) == 0xE8;
}

// The index (0 to 7) of the first opcode in the 8 bytes at `bytes`, or 8.
static size_t firstOpcode(const unsigned char *bytes) {
    uint64_t word = readLe64(bytes);
    uint64_t zeroWhereOpcode = (word ^ OPCODE_BYTES) & ~BYTE_ONES;
    // Exact for the lowest zero byte, which is all this needs.
    uint64_t found = (zeroWhereOpcode - BYTE_ONES) & ~zeroWhereOpcode & BYTE_HIGHS;
    if (found == 0) {
        return 8;
    }
    return static_cast<size_t>(__builtin_ctzll(found) / 8);
}

static void convertOne(unsigned char *operand, uint64_t next, bool encode) {
    uint32_t value = readLe32(operand);
    uint32_t offset = static_cast<uint32_t>(next);
    value = encode ? value + offset : value - offset;
    value &= DISPLACEMENT_MASK;
    value |= 0u - (value & DISPLACEMENT_SIGN);
    writeLe32(operand, value);
}

size_t convertBranches(unsigned char *bytes, size_t size, uint64_t position,
                       const BranchFilterRange &range, bool encode, uint64_t *keptUntil) {
    if (range.end < range.start + BRANCH_INSTRUCTION_SIZE || position + size <= range.start ||
        position + BRANCH_INSTRUCTION_SIZE > range.end) {
        return size;
    }
    size_t i = range.start > position ? static_cast<size_t>(range.start - position) : 0;
    // Positions up to `last` may convert; the buffer may end before it.
    uint64_t lastInFile = range.end - BRANCH_INSTRUCTION_SIZE - position;
    bool rangeGoesOn = lastInFile + BRANCH_INSTRUCTION_SIZE > size;
    size_t limit = rangeGoesOn ? (size < BRANCH_INSTRUCTION_SIZE ? 0 : size - 4)
                               : static_cast<size_t>(lastInFile) + 1;
    while (i < limit) {
        if (i + 8 <= size) {
            size_t skip = firstOpcode(bytes + i);
            if (skip > 0) {
                i += skip;
                continue;
            }
        } else if (!isOpcode(bytes[i])) {
            ++i;
            continue;
        }
        unsigned char top = bytes[i + 4];
        if (((top & TOP_FORM) == 0 || (top & TOP_FORM) == TOP_FORM) && position + i >= *keptUntil) {
            convertOne(bytes + i + 1, position + i + BRANCH_INSTRUCTION_SIZE, encode);
            i += BRANCH_INSTRUCTION_SIZE;
        } else {
            // Its top byte lies in the next three positions' operands.
            *keptUntil = position + i + BRANCH_INSTRUCTION_SIZE - 1;
            ++i;
        }
    }
    return rangeGoesOn ? (i < limit ? limit : i) : size;
}

void startBranchFilter(BranchFilterStream *stream, const BranchFilterRange &range, bool encode) {
    stream->range = range;
    stream->encode = encode;
    stream->position = 0;
    stream->keptUntil = 0;
    stream->heldCount = 0;
}

size_t filterBranchPiece(BranchFilterStream *stream, const unsigned char *data, size_t size,
                         unsigned char *out, size_t capacity, size_t *used) {
    size_t held = stream->heldCount;
    memcpy(out, stream->held, held);
    size_t taken = size < capacity - held ? size : capacity - held;
    memcpy(out + held, data, taken);
    size_t total = held + taken;
    size_t done = convertBranches(out, total, stream->position, stream->range, stream->encode,
                                  &stream->keptUntil);
    stream->heldCount = total - done;
    memcpy(stream->held, out + done, stream->heldCount);
    stream->position += done;
    *used = taken;
    return done;
}

size_t finishBranchFilter(BranchFilterStream *stream, unsigned char *out) {
    size_t held = stream->heldCount;
    memcpy(out, stream->held, held);
    stream->position += held;
    stream->heldCount = 0;
    return held;
}
