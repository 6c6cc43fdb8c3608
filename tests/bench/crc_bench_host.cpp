// Native CRC-32 throughput: byte-wise, braided and zlib on one buffer.
// Built and run by scripts/bench-extract.sh.
#include "payload/crc32.h"

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
    std::vector<unsigned char> buffer(64u << 20);
    std::uint32_t state = 1;
    for (unsigned char &byte : buffer) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<unsigned char>(state >> 24);
    }
    volatile std::uint32_t results[3];
    double bytewise =
        medianSeconds([&] { results[0] = computeCrc32Bytewise(buffer.data(), buffer.size()); });
    double braided =
        medianSeconds([&] { results[1] = computeCrc32(buffer.data(), buffer.size()); });
    double zlib = medianSeconds([&] {
        results[2] =
            static_cast<std::uint32_t>(crc32(0, buffer.data(), static_cast<uInt>(buffer.size())));
    });
    if (results[0] != results[1] || results[1] != results[2]) {
        std::puts("CRC results differ");
        return 1;
    }
    double gb = buffer.size() / 1e9;
    std::printf("native CRC-32: byte-wise %.2f GB/s, braided %.2f GB/s (%.1f x), zlib %.2f GB/s\n",
                gb / bytewise, gb / braided, bytewise / braided, gb / zlib);
    return 0;
}
