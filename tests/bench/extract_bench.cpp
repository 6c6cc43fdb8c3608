// Extraction benchmark over the linked block. Runs that write the whole
// payload are one per process, so that the script can flush the page cache
// before each (with 250 MB waiting to be written back, the kernel slows
// every writer down):
//   extract_bench cold DIRECTORY    one cold extraction into a new directory,
//                                   in lanes where a launcher would use them
//   extract_bench write DIRECTORY   one run of W below into a new directory
// both print seconds; so do, for floors timed as whole processes,
//   extract_bench decode            one run of A below
//   extract_bench decode-check DIRECTORY   one run of A, then one of B
// (B on a directory a cold extraction filled);
//   extract_bench decode-lanes N    A on N threads, taking the frames in
//                                   order as the launcher's lanes do
//   extract_bench cold-lanes N DIRECTORY   a cold extraction in N lanes,
//                                   each decoding and writing on its thread
//   extract_bench cold-sequential DIRECTORY   one on the sequential path,
//                                   a decoding thread and a writer thread
// and, for a program run to its end,
//   extract_bench peak PROGRAM      its peak working set in MB, as the
//                                   system counts it;
//   extract_bench launch PROGRAM    L: only what any launcher of this design
//                                   does to start PROGRAM (launchOnly).
// Then
//   extract_bench report DIRECTORY COLD_SECONDS W_SECONDS
// takes a directory a cold extraction filled and the medians of those runs,
// unpacks again over the full directory, and sets the times beside their
// floors:
//   A  decoding the same frames in a row through the same 128 KiB window,
//      no files;
//   B  checking the unpacked files against the linked index as a warm start
//      does (read into reused buffers, on the launcher's threads), beside
//      the same on one thread and through read-only mappings;
//   W  writing files of the same names and sizes the way the extraction
//      does (temporary names, content CRC-32, moves), with nothing to decode.
// A warm pass without the index can do no better than A + B, a cold start
// no better than the larger of A and W.
#include "base/wide_append.h"
#include "buildinfo/build_constants.h"
#include "format/attached_data.h"
#include "format/crc/crc32.h"
#include "format/crc/crc32_carryless.h"
#include "format/index/payload_index.h"
#include "paths/target_directory.h"
#include "payload/check/file_checksum.h"
#include "payload/check/index_check.h"
#include "payload/extract/extraction.h"
#include "payload/extract/parallel_extraction.h"
#include "payload/stream/payload_stream.h"
#include "payload/write/directories.h"
#include "payload/write/write_queue.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <psapi.h>
#include <shellapi.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#include <zstd.h>

namespace {

const int REPEATS = 5;
const size_t CRC_BUFFER_SIZE = 64u << 20;
// How often a running program's memory is read.
const DWORD PEAK_SAMPLE_MS = 5;

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

// The frames of the linked block from a counter, on `threads` threads,
// each with its own decoder and window.
void decodeInLanes(size_t threads) {
    PayloadIndex index;
    if (!openPayloadIndex(PayloadIndexData, PAYLOAD_INDEX_SIZE, &index)) {
        fputs("the benchmark needs a block with an index\n", stderr);
        exit(1);
    }
    static std::atomic<size_t> next;
    next = 0;
    auto lane = [&index] {
        ZSTD_DCtx *decoder = ZSTD_createDCtx();
        std::vector<unsigned char> window(PAYLOAD_WINDOW_SIZE);
        size_t frames = index.frameCount;
        for (size_t j = next++; j < frames; j = next++) {
            uint64_t begin = payloadIndexFrame(index, j).offset;
            uint64_t end = j + 1 < frames ? payloadIndexFrame(index, j + 1).offset
                                          : ATTACHED_DATA_SIZE - ATTACHED_DATA_TRAILER_SIZE;
            ZSTD_inBuffer input{AttachedData + begin, static_cast<size_t>(end - begin), 0};
            for (size_t result = 1; result != 0;) {
                ZSTD_outBuffer output{window.data(), window.size(), 0};
                result = ZSTD_decompressStream(decoder, &output, &input);
                if (ZSTD_isError(result)) {
                    fprintf(stderr, "decode failed: %s\n", ZSTD_getErrorName(result));
                    exit(1);
                }
            }
        }
        ZSTD_freeDCtx(decoder);
    };
    std::vector<std::thread> others;
    for (size_t i = 1; i < threads; ++i) {
        others.emplace_back(lane);
    }
    lane();
    for (std::thread &other : others) {
        other.join();
    }
}

// Starts the command line and waits for its end; its exit code, or -1 when
// it cannot start. With `peak`, the largest working set seen: Wine counts a
// process's memory only while it runs, so it is read every few milliseconds.
long runToEnd(wchar_t *commandLine, SIZE_T *peak) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        fprintf(stderr, "cannot start '%ls' (error %lu)\n", commandLine, GetLastError());
        return -1;
    }
    DWORD waitMs = peak != nullptr ? PEAK_SAMPLE_MS : INFINITE;
    for (;;) {
        if (peak != nullptr) {
            PROCESS_MEMORY_COUNTERS counters{};
            counters.cb = sizeof counters;
            if (K32GetProcessMemoryInfo(process.hProcess, &counters, sizeof counters)) {
                *peak = std::max(*peak, counters.PeakWorkingSetSize);
            }
        }
        if (WaitForSingleObject(process.hProcess, waitMs) != WAIT_TIMEOUT) {
            break;
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<long>(code);
}

int peakOf(wchar_t *commandLine) {
    SIZE_T peak = 0;
    if (runToEnd(commandLine, &peak) < 0) {
        return 1;
    }
    printf("peak working set %.1f MB\n", peak / 1048576.0);
    return 0;
}

// L: what every start of a launcher does besides its files: split its
// command line with the shell's parser, find the cache folder, start the
// program with the handles inherited, wait, and exit with its code.
int launchOnly(const wchar_t *program) {
    int count = 0;
    LocalFree(CommandLineToArgvW(GetCommandLineW(), &count));
    wchar_t folder[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) !=
        S_OK) {
        return 1;
    }
    std::wstring commandLine = L"\"" + std::wstring(program) + L"\"";
    long code = runToEnd(commandLine.data(), nullptr);
    return code < 0 ? 1 : static_cast<int>(code);
}

// Every frame in a row, as the sequential path reads them.
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
        if (result == 0 && isBlockTail(ATTACHED_DATA_MAGIC_SIZE + input.pos)) {
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

// The extraction's write sequence for every indexed file, below `directory`,
// with nothing to decode: directories, a look at the final name, a new
// temporary file beside it written in 32 KiB pieces with its CRC-32 and
// held open, and every file moved to its final name by its handle at the
// end (by name beyond the files the extraction holds).
void writeOnly(const std::wstring &directory) {
    static unsigned char piece[COPY_PIECE_SIZE];
    PayloadIndex index;
    if (!openPayloadIndex(PayloadIndexData, PAYLOAD_INDEX_SIZE, &index)) {
        fputs("the benchmark needs a block with an index\n", stderr);
        exit(1);
    }
    struct Move {
        HANDLE file;
        std::wstring from, to;
    };
    std::vector<Move> moves;
    volatile uint32_t sink = 0;
    for (size_t k = 0; k < index.count; ++k) {
        PayloadIndexEntry entry = payloadIndexEntry(index, k);
        std::wstring path = directory + L"\\";
        for (size_t i = 0; i < entry.nameLength; ++i) {
            path += static_cast<wchar_t>(indexNameUnit(entry, i));
        }
        std::wstring temporary = path.substr(0, path.rfind(L'\\') + 1) + L"~tallix-bench-" +
                                 std::to_wstring(k) + L".tmp";
        GetFileAttributesW(path.c_str());
        createParentDirectories(path.c_str());
        DeleteFileW(temporary.c_str());
        HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            fprintf(stderr, "cannot write '%ls'\n", temporary.c_str());
            exit(1);
        }
        uint32_t crc = 0;
        for (uint64_t left = entry.size; left > 0;) {
            DWORD n = left < COPY_PIECE_SIZE ? static_cast<DWORD>(left) : DWORD{COPY_PIECE_SIZE};
            crc = continueCrc32(crc, piece, n);
            DWORD written = 0;
            WriteFile(file, piece, n, &written, nullptr);
            left -= n;
        }
        sink = crc;
        if (k >= HELD_FILES_CAPACITY) {
            CloseHandle(file);
            file = nullptr;
        }
        moves.push_back({file, temporary, path});
    }
    (void)sink;
    std::vector<unsigned char> request(sizeof(FILE_RENAME_INFO) + PATH_CAPACITY * sizeof(wchar_t));
    auto *rename = reinterpret_cast<FILE_RENAME_INFO *>(request.data());
    for (const Move &move : moves) {
        if (move.file == nullptr) {
            MoveFileExW(move.from.c_str(), move.to.c_str(), MOVEFILE_REPLACE_EXISTING);
            continue;
        }
        rename->ReplaceIfExists = TRUE;
        rename->RootDirectory = nullptr;
        rename->FileNameLength = static_cast<DWORD>(move.to.size() * sizeof(wchar_t));
        wmemcpy(rename->FileName, move.to.c_str(), move.to.size() + 1);
        SetFileInformationByHandle(move.file, FileRenameInfo, rename,
                                   static_cast<DWORD>(request.size()));
        CloseHandle(move.file);
    }
}

// The checksum through a read-only mapping, the alternative the benchmark
// sets against reading into a reused buffer.
uint32_t mappedChecksum(const wchar_t *path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    uint32_t crc = 0;
    DWORD size = GetFileSize(file, nullptr);
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping != nullptr) {
        const void *view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
        if (view != nullptr) {
            crc = computeCrc32(view, size);
            UnmapViewOfFile(view);
        }
        CloseHandle(mapping);
    }
    CloseHandle(file);
    return crc;
}

// Without the index: every record decoded, every file checked on disk.
void extractOnce() {
    openPayloadStream();
    extractPayloadFiles(nullptr);
}

// A cold start's extraction: in lanes where the launcher would use them.
void extractCold() {
    PayloadIndex index;
    size_t lanes =
        openPayloadIndex(PayloadIndexData, PAYLOAD_INDEX_SIZE, &index) ? chooseLaneCount(index) : 0;
    if (lanes >= 2) {
        extractInLanes(index, lanes);
    } else {
        extractOnce();
    }
}

int usage() {
    fputs("usage: extract_bench cold|write|decode-check DIRECTORY\n"
          "       extract_bench decode | decode-lanes N | peak COMMAND_LINE | launch PROGRAM\n"
          "       extract_bench report DIRECTORY COLD_SECONDS W_SECONDS\n",
          stderr);
    return 1;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"decode" && argc == 2) {
        double start = now();
        decodeOnly();
        printf("%.4f\n", now() - start);
        return 0;
    }
    if (argc < 3) {
        return usage();
    }
    if (mode == L"decode-lanes") {
        double start = now();
        decodeInLanes(static_cast<size_t>(_wtoi(argv[2])));
        printf("%.4f\n", now() - start);
        return 0;
    }
    if (mode == L"peak") {
        return peakOf(argv[2]);
    }
    if (mode == L"launch") {
        return launchOnly(argv[2]);
    }
    if (mode == L"cold-lanes" && argc == 4) {
        appendWideString(TargetDirectory, argv[3], PATH_CAPACITY);
        PayloadIndex index;
        if (!openPayloadIndex(PayloadIndexData, PAYLOAD_INDEX_SIZE, &index)) {
            return usage();
        }
        chooseLaneCount(index);
        double start = now();
        extractInLanes(index, static_cast<size_t>(_wtoi(argv[2])));
        printf("%.4f\n", now() - start);
        return 0;
    }
    appendWideString(TargetDirectory, argv[2], PATH_CAPACITY);
    if (mode == L"cold-sequential") {
        double start = now();
        extractOnce();
        printf("%.4f\n", now() - start);
        return 0;
    }
    if (mode == L"cold" || mode == L"write" || mode == L"decode-check") {
        double start = now();
        if (mode == L"cold") {
            extractCold();
        } else if (mode == L"write") {
            writeOnly(argv[2]);
        } else {
            decodeOnly();
            if (!indexedFilesMatch(INDEX_CHECK_MAX_THREADS, nullptr)) {
                fputs("not every file matches\n", stderr);
                return 1;
            }
        }
        printf("%.4f\n", now() - start);
        return 0;
    }
    if (mode != L"report" || argc != 5) {
        return usage();
    }
    double coldTime = _wtof(argv[3]);
    double writeTime = _wtof(argv[4]);

    unsigned long long decoded = 0;
    double decodeTime = medianTime([&] { decoded = decodeOnly(); });
    double warmTime = medianTime(extractOnce);

    std::vector<std::wstring> files;
    listFiles(argv[2], files);
    uint32_t mappedSum = 0, readSum = 0;
    double mappedTime = medianTime([&] {
        mappedSum = 0;
        for (const std::wstring &file : files) {
            mappedSum ^= mappedChecksum(file.c_str());
        }
    });
    std::vector<unsigned char> checksumBuffer(FILE_CHECKSUM_PIECE_SIZE);
    double fileChecksumTime = medianTime([&] {
        readSum = 0;
        for (const std::wstring &file : files) {
            readSum ^= computeFileChecksum(file.c_str(), checksumBuffer.data());
        }
    });
    bool matched = true;
    size_t threads = 0;
    double readOneTime = medianTime([&] { matched = indexedFilesMatch(1, &threads) && matched; });
    double readTime = medianTime(
        [&] { matched = indexedFilesMatch(INDEX_CHECK_MAX_THREADS, &threads) && matched; });

    std::vector<unsigned char> buffer(CRC_BUFFER_SIZE);
    uint32_t state = 1;
    for (unsigned char &byte : buffer) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<unsigned char>(state >> 24);
    }
    volatile uint32_t sink = 0;
    double bytewiseTime =
        medianTime([&] { sink = computeCrc32Bytewise(buffer.data(), buffer.size()); });
    double braidedTime =
        medianTime([&] { sink = continueCrc32Braided(0, buffer.data(), buffer.size()); });
    double carrylessTime =
        crc32HasCarrylessMultiply()
            ? medianTime([&] { sink = continueCrc32Carryless(0, buffer.data(), buffer.size()); })
            : 0;
    (void)sink;

    double floor = decodeTime + readTime;
    printf("payload: %zu files, %llu decoded bytes, block of %llu bytes\n", files.size(), decoded,
           static_cast<unsigned long long>(ATTACHED_DATA_SIZE));
    printf("A  decode only, 128 KiB window      %7.3f s  %7.0f MB/s\n", decodeTime,
           decoded / decodeTime / 1e6);
    printf("B  checksum pass, read, %zu threads   %7.3f s  (%s)\n", threads, readTime,
           matched ? "all match" : "NOT ALL MATCH");
    printf("   the same on 1 thread             %7.3f s\n", readOneTime);
    printf("   computeFileChecksum, 1 thread    %7.3f s\n", fileChecksumTime);
    printf("   mapped, 1 thread                 %7.3f s\n", mappedTime);
    printf("W  write only                       %7.3f s\n", writeTime);
    printf("   A + B                            %7.3f s\n", floor);
    printf("   cold extraction                  %7.3f s  = %.2f x max(A, W)\n", coldTime,
           coldTime / (decodeTime > writeTime ? decodeTime : writeTime));
    printf("   warm pass without the index      %7.3f s  = %.2f x (A + B)\n", warmTime,
           warmTime / floor);
    printf("CRC-32 byte-wise                    %7.2f GB/s\n", buffer.size() / bytewiseTime / 1e9);
    printf("CRC-32 braided                      %7.2f GB/s  = %.1f x byte-wise\n",
           buffer.size() / braidedTime / 1e9, bytewiseTime / braidedTime);
    if (carrylessTime > 0) {
        printf("CRC-32 carry-less multiply          %7.2f GB/s  = %.1f x braided\n",
               buffer.size() / carrylessTime / 1e9, braidedTime / carrylessTime);
    }
    // Empty files read as 0 both ways; every other file is the same CRC.
    if (mappedSum != readSum) {
        puts("the mapped and the read checksums differ");
        return 1;
    }
    return matched ? 0 : 1;
}
