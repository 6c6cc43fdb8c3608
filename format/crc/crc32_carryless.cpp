#include "format/crc/crc32_carryless.h"

#include "format/crc/crc32.h"

#if defined(__x86_64__) || defined(__i386__)

#include <atomic>
#include <cpuid.h>
#include <immintrin.h>

namespace {

// Folding constants for the reflected polynomial 0xEDB88320: x^(4*128+32),
// x^(4*128-32), x^(128+32), x^(128-32) and x^64 modulo P, bit-reflected and
// shifted by one; then P itself and floor(x^64 / P) for the Barrett step.
alignas(16) const uint64_t FOLD_BY_FOUR[2] = {0x0154442bd4, 0x01c6e41596};
alignas(16) const uint64_t FOLD_BY_ONE[2] = {0x01751997d0, 0x00ccaa009e};
alignas(16) const uint64_t FOLD_TO_64[2] = {0x0163cd6124, 0};
alignas(16) const uint64_t BARRETT[2] = {0x01db710641, 0x01f7011641};

bool detectCarrylessMultiply() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    return (ecx & bit_PCLMUL) != 0 && (ecx & bit_SSE4_1) != 0;
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i value, __m128i constants,
                                                             __m128i next) {
    __m128i low = _mm_clmulepi64_si128(value, constants, 0x00);
    __m128i high = _mm_clmulepi64_si128(value, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

// The register over a multiple of 16 bytes, at least 64; r is the register
// before them (conditioned), the result the register after them.
__attribute__((target("pclmul,sse4.1"))) uint32_t foldRegister(uint32_t r, const unsigned char *p,
                                                               size_t length) {
    __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
    __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32));
    __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 48));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(r)));
    p += 64;
    length -= 64;

    // Four independent 128-bit accumulators hide the multiplier's latency.
    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i *>(FOLD_BY_FOUR));
    for (; length >= 64; p += 64, length -= 64) {
        x1 = fold(x1, k, _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
        x2 = fold(x2, k, _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16)));
        x3 = fold(x3, k, _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32)));
        x4 = fold(x4, k, _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 48)));
    }
    k = _mm_load_si128(reinterpret_cast<const __m128i *>(FOLD_BY_ONE));
    x1 = fold(x1, k, x2);
    x1 = fold(x1, k, x3);
    x1 = fold(x1, k, x4);
    for (; length >= 16; p += 16, length -= 16) {
        x1 = fold(x1, k, _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
    }

    // 128 bits to 64, then Barrett reduction to 32.
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
    __m128i t = _mm_clmulepi64_si128(x1, k, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);
    k = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(FOLD_TO_64));
    t = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x00), t);
    k = _mm_load_si128(reinterpret_cast<const __m128i *>(BARRETT));
    t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), k, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, t), 1));
}

} // namespace

bool crc32HasCarrylessMultiply() {
    // Constant-initialized, so no guarded static: its lock would bring the
    // C++ runtime's unwinder and threads into the launcher (about 40 KB).
    // Threads racing here store the same answer.
    static std::atomic<int> available{-1};
    int known = available.load(std::memory_order_relaxed);
    if (known < 0) {
        known = detectCarrylessMultiply() ? 1 : 0;
        available.store(known, std::memory_order_relaxed);
    }
    return known != 0;
}

uint32_t continueCrc32Carryless(uint32_t crc, const void *data, size_t length) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    if (length < CRC_CARRYLESS_MINIMUM) {
        return continueCrc32Braided(crc, p, length);
    }
    size_t folded = length & ~size_t{15};
    crc = foldRegister(crc ^ 0xFFFFFFFFu, p, folded) ^ 0xFFFFFFFFu;
    return continueCrc32Braided(crc, p + folded, length - folded);
}

#else

bool crc32HasCarrylessMultiply() {
    return false;
}

uint32_t continueCrc32Carryless(uint32_t crc, const void *data, size_t length) {
    return continueCrc32Braided(crc, data, length);
}

#endif
