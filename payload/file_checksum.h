// Checksum of a file already on disk, for the reuse decision.
#pragma once

#include <stdint.h>

// No readable file (or no mapping: an empty file, a directory, a sharing conflict).
enum : uint32_t { NO_FILE_CHECKSUM = 0 };

// CRC-32 of the file through a read-only mapping of its first (size mod 2^32)
// bytes; 1 when that CRC is 0; NO_FILE_CHECKSUM on any obstacle. Leaves no
// handle open.
uint32_t computeFileChecksum(const wchar_t *path);
