// The GUI launcher's progress window: the resources the packer writes for it
// and the launcher reads from its own image. Both are optional; a launcher
// without them shows its built-in line and its default layout.
//
// The line: string PROGRESS_TEXT_STRING_ID of the string table (RT_STRING),
// in the neutral language, so that a translation can be added beside it.
// "{PRODUCT}" and "{VERSION}" (any letter case) stand for the product name
// and the application's version. A string table resource holds 16 strings:
// block n + 1 holds the identifiers 16n to 16n + 15, each a little-endian
// u16 length and that many UTF-16 units, no terminator.
//
// The splash (--splash): RT_BITMAP PROGRESS_SPLASH_ID, a packed DIB that
// GDI draws as it is: a 40-byte BITMAPINFOHEADER (32 bits per pixel, BI_RGB,
// positive height: bottom-up rows), then the pixels, B, G, R and 255 each,
// transparency already flattened onto white by the packer.
//
// Where that is smaller, the packer stores the splash compressed: the same
// header with biCompression SPLASH_COMPRESSION_ZSTD and biSizeImage the
// length of the one zstd frame that follows, which holds those pixels. The
// launcher decodes it into a static buffer before drawing it.
//
// Portable: byte-level reading only, no windows.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

static const unsigned PROGRESS_TEXT_STRING_ID = 1;
static const unsigned STRING_TABLE_BLOCK_STRINGS = 16;
// What the packer writes, and the launcher's line when the string is missing.
static const char16_t PROGRESS_TEXT_DEFAULT[] =
    u"Preparing {PRODUCT} {VERSION} for its first start\u2026";

enum { PROGRESS_SPLASH_ID = 1 };
// A window larger than this would cover most of a 1366 x 768 laptop screen;
// and the launcher decodes the splash into a buffer of this size.
enum { SPLASH_MAX_WIDTH = 800, SPLASH_MAX_HEIGHT = 600 };
enum { SPLASH_HEADER_SIZE = 40, SPLASH_BITS_PER_PIXEL = 32 };
// The header and the pixels of the largest splash, as GDI draws them.
static const size_t SPLASH_DRAWN_CAPACITY =
    size_t{SPLASH_HEADER_SIZE} + size_t{SPLASH_MAX_WIDTH} * SPLASH_MAX_HEIGHT * 4;
// "ZSTD" read as a little-endian number: no compression GDI knows.
static const uint32_t SPLASH_COMPRESSION_ZSTD = 0x4454535A;
// BITMAPINFOHEADER fields.
enum {
    DIB_HEADER_SIZE_FIELD = 0,
    DIB_WIDTH_FIELD = 4,
    DIB_HEIGHT_FIELD = 8,
    DIB_PLANES_FIELD = 12,
    DIB_BIT_COUNT_FIELD = 14,
    DIB_COMPRESSION_FIELD = 16,
    DIB_IMAGE_SIZE_FIELD = 20,
};

// String `index` (0 to 15) of the string table block at `block` (`size`
// bytes): its units and their count. False when the block ends before it.
bool findBlockString(const unsigned char *block, size_t size, unsigned index,
                     const unsigned char **units, size_t *length);

// True when `data` (`size` bytes) is a splash as described above, within
// the limits, with all its pixels or all its frame's bytes; gives its width
// and height. A compressed splash's frame is not decoded here.
bool readSplashHeader(const unsigned char *data, size_t size, uint32_t *width, uint32_t *height);

// The splash in `data` (`size` bytes), either form, into `out` (at least
// SPLASH_DRAWN_CAPACITY bytes) as GDI draws it: the header with no
// compression, then the pixels. False for what readSplashHeader refuses and
// for a frame that does not decode to exactly the pixels.
bool decodeSplash(const unsigned char *data, size_t size, unsigned char *out, uint32_t *width,
                  uint32_t *height);
