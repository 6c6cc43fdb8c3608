// CRC-32 by carry-less multiplication (PCLMULQDQ with SSE4.1), the fast path
// computeCrc32 takes when the processor has it.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Ranges shorter than this gain nothing from folding and go to the braided path.
enum { CRC_CARRYLESS_MINIMUM = 64 };

// True when this processor runs continueCrc32Carryless (asked once, by CPUID).
bool crc32HasCarrylessMultiply();

// Same contract as continueCrc32; only valid when crc32HasCarrylessMultiply().
uint32_t continueCrc32Carryless(uint32_t crc, const void *data, size_t length);
