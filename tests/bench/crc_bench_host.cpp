// Native CRC-32 throughput on one 264 MB buffer (the size of the benchmark's
// payload): byte-wise, braided, carry-less multiply and zlib. Given a
// directory, also the checksum pass over its files natively, one thread,
// through read-only mappings and read into one reused 128 KiB buffer.
// Built and run by scripts/bench-extract.sh.
//
// usage: crc_bench_host [DIRECTORY]
#include "format/crc/crc32.h"
#include "format/crc/crc32_carryless.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
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

std::uint32_t mappedCrc(const std::string &path) {
    int descriptor = ::open(path.c_str(), O_RDONLY);
    struct stat info {};
    std::uint32_t crc = 0;
    if (descriptor >= 0 && ::fstat(descriptor, &info) == 0 && info.st_size > 0) {
        void *view = ::mmap(nullptr, info.st_size, PROT_READ, MAP_PRIVATE, descriptor, 0);
        if (view != MAP_FAILED) {
            crc = computeCrc32(view, info.st_size);
            ::munmap(view, info.st_size);
        }
    }
    ::close(descriptor);
    return crc;
}

// Aligned as the launcher's buffers are.
alignas(64) unsigned char readBuffer[128 * 1024];

std::uint32_t readCrc(const std::string &path) {
    int descriptor = ::open(path.c_str(), O_RDONLY);
    std::uint32_t crc = 0;
    for (ssize_t n; (n = ::read(descriptor, readBuffer, sizeof readBuffer)) > 0;) {
        crc = continueCrc32(crc, readBuffer, static_cast<std::size_t>(n));
    }
    ::close(descriptor);
    return crc;
}

void checksumPass(const char *directory) {
    std::vector<std::string> files;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(directory)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path().string());
        }
    }
    std::uint32_t mappedSum = 0, readSum = 0;
    double mapped = medianSeconds([&] {
        mappedSum = 0;
        for (const std::string &file : files) {
            mappedSum ^= mappedCrc(file);
        }
    });
    double read = medianSeconds([&] {
        readSum = 0;
        for (const std::string &file : files) {
            readSum ^= readCrc(file);
        }
    });
    std::printf("native checksum pass over %zu files, 1 thread: mapped %.3f s, read %.3f s%s\n",
                files.size(), mapped, read, mappedSum == readSum ? "" : " (RESULTS DIFFER)");
}

int main(int argc, char **argv) {
    if (argc > 1) {
        checksumPass(argv[1]);
    }
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
