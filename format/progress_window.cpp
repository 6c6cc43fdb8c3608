#include "format/progress_window.h"

#include "format/little_endian.h"

#include <string.h>
#include <zstd.h>

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
        readLe16(data + DIB_BIT_COUNT_FIELD) != SPLASH_BITS_PER_PIXEL) {
        return false;
    }
    uint32_t compression = readLe32(data + DIB_COMPRESSION_FIELD);
    // Signed fields: a negative height (top-down rows) is not ours.
    uint32_t w = readLe32(data + DIB_WIDTH_FIELD);
    uint32_t h = readLe32(data + DIB_HEIGHT_FIELD);
    if (w == 0 || w > SPLASH_MAX_WIDTH || h == 0 || h > SPLASH_MAX_HEIGHT) {
        return false;
    }
    size_t rest = size - SPLASH_HEADER_SIZE;
    if (compression == 0 ? rest / 4 / w < h
                         : compression != SPLASH_COMPRESSION_ZSTD ||
                               readLe32(data + DIB_IMAGE_SIZE_FIELD) == 0 ||
                               readLe32(data + DIB_IMAGE_SIZE_FIELD) > rest) {
        return false;
    }
    *width = w;
    *height = h;
    return true;
}

bool decodeSplash(const unsigned char *data, size_t size, unsigned char *out, uint32_t *width,
                  uint32_t *height) {
    uint32_t w = 0, h = 0;
    if (!readSplashHeader(data, size, &w, &h)) {
        return false;
    }
    const size_t pixelBytes = size_t{w} * h * 4;
    memcpy(out, data, SPLASH_HEADER_SIZE);
    if (readLe32(data + DIB_COMPRESSION_FIELD) == 0) {
        memcpy(out + SPLASH_HEADER_SIZE, data + SPLASH_HEADER_SIZE, pixelBytes);
    } else {
        // Bounded by `out`: a forged frame can only fail to fill it.
        size_t decoded =
            ZSTD_decompress(out + SPLASH_HEADER_SIZE, pixelBytes, data + SPLASH_HEADER_SIZE,
                            readLe32(data + DIB_IMAGE_SIZE_FIELD));
        if (ZSTD_isError(decoded) || decoded != pixelBytes) {
            return false;
        }
        writeLe32(out + DIB_COMPRESSION_FIELD, 0);
        writeLe32(out + DIB_IMAGE_SIZE_FIELD, static_cast<uint32_t>(pixelBytes));
    }
    *width = w;
    *height = h;
    return true;
}
