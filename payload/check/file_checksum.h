// Checksum of a file already on disk, for the reuse decision.
#pragma once

#include <stdint.h>

// No readable file (or an empty file, a directory, a sharing conflict).
enum : uint32_t { NO_FILE_CHECKSUM = 0 };

// Files are read in pieces of this size into the caller's buffer: under Wine
// that beat a read-only mapping by a third, natively it was as fast, and
// 128 KiB stays in cache between the copy and the CRC.
enum { FILE_CHECKSUM_PIECE_SIZE = 128 * 1024 };

// CRC-32 of the whole file (64-bit size); 1 when that CRC is 0;
// NO_FILE_CHECKSUM for an empty file and on any obstacle, with the
// obstacle's error as the last error (ERROR_SUCCESS for an empty file), so
// that a caller can tell a file held by another program from a missing one.
// Leaves no handle open. `buffer` holds FILE_CHECKSUM_PIECE_SIZE bytes;
// threads that checksum at once each pass their own (cache-line aligned: the
// system's copy into a misaligned buffer was measured at half the speed).
uint32_t computeFileChecksum(const wchar_t *path, unsigned char *buffer);

// The same for a file open for reading (a HANDLE), from its current
// position; the handle stays open.
uint32_t computeHandleChecksum(void *file, unsigned char *buffer);
