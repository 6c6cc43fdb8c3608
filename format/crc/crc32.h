// CRC-32 (ISO-HDLC: reflected polynomial 0xEDB88320, init and final XOR
// 0xFFFFFFFF; "123456789" gives 0xCBF43926).
#pragma once

#include <stddef.h>
#include <stdint.h>

// Braided over five 32-bit lanes for ranges of CRC_BRAID_MINIMUM bytes or
// more; equal to the byte-wise result for every length and alignment.
enum { CRC_BRAID_LANES = 5 };
enum { CRC_BRAID_MINIMUM = CRC_BRAID_LANES * 4 + 4 - 1 };

// The fastest routine this processor runs: carry-less multiplication where
// the processor has it (format/crc/crc32_carryless.h), else the braided one.
uint32_t computeCrc32(const void *data, size_t length);

// The CRC-32 of the bytes behind `crc` followed by these; computeCrc32 is
// continueCrc32(0, ...). Lets a writer checksum a file piece by piece.
uint32_t continueCrc32(uint32_t crc, const void *data, size_t length);

// The portable path, on every processor.
uint32_t continueCrc32Braided(uint32_t crc, const void *data, size_t length);

// One table lookup per byte; the reference the braided path is measured against.
uint32_t computeCrc32Bytewise(const void *data, size_t length);
