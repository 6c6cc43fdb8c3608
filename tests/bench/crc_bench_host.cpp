// Native CRC-32 throughput on one 264 MB buffer (the size of the benchmark's
// payload): byte-wise, braided, carry-less multiply and zlib.
// Built and run by scripts/bench-extract.sh.
#include "payload/crc32.h"
#include "payload/crc32_carryless.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>
#include <zlib.h>

template <typename Work> double medianSeconds(Work work) {
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

int main() {
    std::vector<unsigned char> buffer(264000000);
    std::uint32_t state = 1;
    for (unsigned char &byte : buffer) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<unsigned char>(state >> 24);
    }
    if (!crc32HasCarrylessMultiply()) {
        std::puts("this processor has no carry-less multiply");
        return 1;
    }
    volatile std::uint32_t results[4];
    double bytewise =
        medianSeconds([&] { results[0] = computeCrc32Bytewise(buffer.data(), buffer.size()); });
    double braided =
        medianSeconds([&] { results[1] = continueCrc32Braided(0, buffer.data(), buffer.size()); });
    double carryless = medianSeconds(
        [&] { results[2] = continueCrc32Carryless(0, buffer.data(), buffer.size()); });
    double zlib = medianSeconds([&] {
        results[3] =
            static_cast<std::uint32_t>(crc32(0, buffer.data(), static_cast<uInt>(buffer.size())));
    });
    if (results[0] != results[1] || results[1] != results[2] || results[2] != results[3]) {
        std::puts("CRC results differ");
        return 1;
    }
    double gb = static_cast<double>(buffer.size()) / 1e9;
    std::printf("native CRC-32 on 264 MB: byte-wise %.2f GB/s, braided %.2f GB/s (%.1f x "
                "byte-wise), carry-less %.2f GB/s (%.1f x braided), zlib %.2f GB/s\n",
                gb / bytewise, gb / braided, bytewise / braided, gb / carryless,
                braided / carryless, gb / zlib);
    return 0;
}
