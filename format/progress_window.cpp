#include "format/progress_window.h"

#include "format/little_endian.h"

bool findBlockString(const unsigned char *block, size_t size, unsigned index,
                     const unsigned char **units, size_t *length) {
    if (index >= STRING_TABLE_BLOCK_STRINGS) {
        return false;
    }
    size_t at = 0;
    for (unsigned i = 0;; ++i) {
        if (size - at < 2) {
            return false;
        }
        size_t count = readLe16(block + at);
        at += 2;
        if (count > (size - at) / 2) {
            return false;
        }
        if (i == index) {
            *units = block + at;
            *length = count;
            return true;
        }
        at += 2 * count;
    }
}

bool readSplashHeader(const unsigned char *data, size_t size, uint32_t *width, uint32_t *height) {
    if (size < SPLASH_HEADER_SIZE || readLe32(data + DIB_HEADER_SIZE_FIELD) != SPLASH_HEADER_SIZE ||
        readLe16(data + DIB_PLANES_FIELD) != 1 ||
        readLe16(data + DIB_BIT_COUNT_FIELD) != SPLASH_BITS_PER_PIXEL ||
        readLe32(data + DIB_COMPRESSION_FIELD) != 0) {
        return false;
    }
    // Signed fields: a negative height (top-down rows) is not ours.
    uint32_t w = readLe32(data + DIB_WIDTH_FIELD);
    uint32_t h = readLe32(data + DIB_HEIGHT_FIELD);
    if (w == 0 || w > SPLASH_MAX_WIDTH || h == 0 || h > SPLASH_MAX_HEIGHT ||
        (size - SPLASH_HEADER_SIZE) / 4 / w < h) {
        return false;
    }
    *width = w;
    *height = h;
    return true;
}
