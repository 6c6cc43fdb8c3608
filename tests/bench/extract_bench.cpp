// Extraction benchmark: unpacks the linked block into an empty directory,
// then again over the full one, and sets the times beside their floors:
//   A  decoding the same frame through the same 128 KiB window, no files;
//   B  checksumming the unpacked files through read-only mappings.
// A warm pass (every file reused) can do no better than A + B.
//
// usage: extract_bench TARGET_DIRECTORY   (must not exist yet)
#include "base/wide_append.h"
#include "buildinfo/build_constants.h"
#include "paths/target_directory.h"
#include "payload/attached_data_format.h"
#include "payload/crc32.h"
#include "payload/extraction.h"
#include "payload/file_checksum.h"
#include "payload/payload_stream.h"

#include <windows.h>

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>
#include <zstd.h>

namespace {

const int REPEATS = 5;
const size_t CRC_BUFFER_SIZE = 64u << 20;

double now() {
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0) {
        QueryPerformanceFrequency(&frequency);
    }
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <typename Work> double medianTime(Work work) {
    std::vector<double> times;
    for (int i = 0; i < REPEATS; ++i) {
        double start = now();
        work();
        times.push_back(now() - start);
    }
    return median(times);
}

unsigned long long decodeOnly() {
    ZSTD_DCtx *decoder = ZSTD_createDCtx();
    std::vector<unsigned char> window(PAYLOAD_WINDOW_SIZE);
    ZSTD_inBuffer input{AttachedData + ATTACHED_DATA_MAGIC_SIZE,
                        ATTACHED_DATA_SIZE - ATTACHED_DATA_MAGIC_SIZE, 0};
    unsigned long long total = 0;
    for (;;) {
        ZSTD_outBuffer output{window.data(), window.size(), 0};
        size_t result = ZSTD_decompressStream(decoder, &output, &input);
        if (ZSTD_isError(result)) {
            fprintf(stderr, "decode failed: %s\n", ZSTD_getErrorName(result));
            exit(1);
        }
        total += output.pos;
        if (result == 0) {
            break;
        }
    }
    ZSTD_freeDCtx(decoder);
    return total;
}

void listFiles(const std::wstring &directory, std::vector<std::wstring> &files) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            listFiles(directory + L"\\" + name, files);
        } else {
            files.push_back(directory + L"\\" + name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

void extractOnce() {
    openPayloadStream();
    extractPayloadFiles();
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc != 2) {
        fputs("usage: extract_bench TARGET_DIRECTORY\n", stderr);
        return 1;
    }
    appendWideString(TargetDirectory, argv[1], PATH_CAPACITY);

    unsigned long long decoded = 0;
    double decodeTime = medianTime([&] { decoded = decodeOnly(); });

    double start = now();
    extractOnce();
    double coldTime = now() - start;

    double warmTime = medianTime(extractOnce);

    std::vector<std::wstring> files;
    listFiles(argv[1], files);
    unsigned unreadable = 0;
    double checksumTime = medianTime([&] {
        unreadable = 0;
        for (const std::wstring &file : files) {
            unreadable += computeFileChecksum(file.c_str()) == NO_FILE_CHECKSUM;
        }
    });

    std::vector<unsigned char> buffer(CRC_BUFFER_SIZE);
    uint32_t state = 1;
    for (unsigned char &byte : buffer) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<unsigned char>(state >> 24);
    }
    volatile uint32_t sink = 0;
    double bytewiseTime =
        medianTime([&] { sink = computeCrc32Bytewise(buffer.data(), buffer.size()); });
    double braidedTime = medianTime([&] { sink = computeCrc32(buffer.data(), buffer.size()); });
    (void)sink;

    double floor = decodeTime + checksumTime;
    printf("payload: %zu files, %llu decoded bytes, block of %llu bytes\n", files.size(), decoded,
           static_cast<unsigned long long>(ATTACHED_DATA_SIZE));
    printf("A  decode only, 128 KiB window   %8.3f s  %7.0f MB/s\n", decodeTime,
           decoded / decodeTime / 1e6);
    printf("B  checksum of the files (mapped) %7.3f s  (%u unreadable)\n", checksumTime,
           unreadable);
    printf("   A + B                          %7.3f s\n", floor);
    printf("   cold extraction                %7.3f s\n", coldTime);
    printf("   warm pass (all reused)         %7.3f s  = %.2f x (A + B)\n", warmTime,
           warmTime / floor);
    printf("CRC-32 byte-wise                  %7.2f GB/s\n", buffer.size() / bytewiseTime / 1e9);
    printf("CRC-32 braided                    %7.2f GB/s  = %.1f x byte-wise\n",
           buffer.size() / braidedTime / 1e9, bytewiseTime / braidedTime);
    return 0;
}
