#include "format/crc/crc32.h"

#include "format/crc/crc32_carryless.h"
#include "format/little_endian.h"

namespace {

const uint32_t CRC_POLYNOMIAL = 0xEDB88320u;
// Bytes per braid block.
const size_t CRC_BRAID_BLOCK = CRC_BRAID_LANES * 4;

struct CrcTables {
    uint32_t byteTable[256];
    // braid[k][v]: byte v followed by 19 - k zero bytes, from register 0.
    uint32_t braid[4][256];
};

constexpr CrcTables makeCrcTables() {
    CrcTables tables{};
    for (uint32_t v = 0; v < 256; ++v) {
        uint32_t r = v;
        for (int bit = 0; bit < 8; ++bit) {
            r = (r & 1) != 0 ? (r >> 1) ^ CRC_POLYNOMIAL : r >> 1;
        }
        tables.byteTable[v] = r;
    }
    for (uint32_t v = 0; v < 256; ++v) {
        for (size_t k = 0; k < 4; ++k) {
            uint32_t r = tables.byteTable[v];
            for (size_t zero = 0; zero < CRC_BRAID_BLOCK - 1 - k; ++zero) {
                r = (r >> 8) ^ tables.byteTable[r & 0xFF];
            }
            tables.braid[k][v] = r;
        }
    }
    return tables;
}

constexpr CrcTables crcTables = makeCrcTables();

inline uint32_t byteStep(uint32_t r, unsigned char b) {
    return (r >> 8) ^ crcTables.byteTable[(r ^ b) & 0xFF];
}

inline uint32_t wordStep(uint32_t x) {
    for (int i = 0; i < 4; ++i) {
        x = (x >> 8) ^ crcTables.byteTable[x & 0xFF];
    }
    return x;
}

inline uint32_t braidStep(uint32_t x) {
    return crcTables.braid[0][x & 0xFF] ^ crcTables.braid[1][(x >> 8) & 0xFF] ^
           crcTables.braid[2][(x >> 16) & 0xFF] ^ crcTables.braid[3][x >> 24];
}

uint32_t bytewiseTail(uint32_t r, const unsigned char *p, size_t length) {
    while (length >= 8) {
        r = byteStep(r, p[0]);
        r = byteStep(r, p[1]);
        r = byteStep(r, p[2]);
        r = byteStep(r, p[3]);
        r = byteStep(r, p[4]);
        r = byteStep(r, p[5]);
        r = byteStep(r, p[6]);
        r = byteStep(r, p[7]);
        p += 8;
        length -= 8;
    }
    while (length > 0) {
        r = byteStep(r, *p++);
        --length;
    }
    return r;
}

} // namespace

uint32_t continueCrc32Braided(uint32_t crc, const void *data, size_t length) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    uint32_t r = crc ^ 0xFFFFFFFFu;
    if (length >= CRC_BRAID_MINIMUM) {
        while ((reinterpret_cast<uintptr_t>(p) & 3) != 0) {
            r = byteStep(r, *p++);
            --length;
        }
        size_t blocks = length / CRC_BRAID_BLOCK;
        length -= blocks * CRC_BRAID_BLOCK;

        // Five independent chains; each block adds 20 lookups spread over them.
        uint32_t c0 = r, c1 = 0, c2 = 0, c3 = 0, c4 = 0;
        for (; blocks > 1; --blocks, p += CRC_BRAID_BLOCK) {
            c0 = braidStep(c0 ^ readLe32(p));
            c1 = braidStep(c1 ^ readLe32(p + 4));
            c2 = braidStep(c2 ^ readLe32(p + 8));
            c3 = braidStep(c3 ^ readLe32(p + 12));
            c4 = braidStep(c4 ^ readLe32(p + 16));
        }
        r = wordStep(c0 ^ readLe32(p));
        r = wordStep(c1 ^ readLe32(p + 4) ^ r);
        r = wordStep(c2 ^ readLe32(p + 8) ^ r);
        r = wordStep(c3 ^ readLe32(p + 12) ^ r);
        r = wordStep(c4 ^ readLe32(p + 16) ^ r);
        p += CRC_BRAID_BLOCK;
    }
    return bytewiseTail(r, p, length) ^ 0xFFFFFFFFu;
}

uint32_t continueCrc32(uint32_t crc, const void *data, size_t length) {
    if (length >= CRC_CARRYLESS_MINIMUM && crc32HasCarrylessMultiply()) {
        return continueCrc32Carryless(crc, data, length);
    }
    return continueCrc32Braided(crc, data, length);
}

uint32_t computeCrc32(const void *data, size_t length) {
    return continueCrc32(0, data, length);
}

uint32_t computeCrc32Bytewise(const void *data, size_t length) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    uint32_t r = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        r = byteStep(r, p[i]);
    }
    return r ^ 0xFFFFFFFFu;
}
