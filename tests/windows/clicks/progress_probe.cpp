// Puts the files in place the way a launcher start does, into the folder
// named by the first argument, while a second thread reads
// readUnpackProgress() every millisecond as a progress window would; then
// prints what it saw:
//   readings N          readings that had something to show
//   waiting N           of them while waiting for another start
//   partial N           of them with 0 < done < total
//   total N             the largest total seen
//   decreases N         readings below the one before (same waiting state)
//   last DONE TOTAL FINISHED WAITING
//   files STEPS FILES   of the last reading: file steps done, files in all
#include "base/wide_append.h"
#include "paths/target_directory.h"
#include "payload/plan/unpack_plan.h"
#include "payload/turn/unpack_progress.h"

#include <windows.h>

#include <atomic>
#include <stdio.h>

static std::atomic<bool> stopReading{false};
static UnpackProgress last;
static unsigned readings, waitingReadings, partialReadings, decreases;
static uint64_t largestTotal;

static void takeReading() {
    UnpackProgress now;
    if (!readUnpackProgress(&now)) {
        return;
    }
    if (readings > 0 && now.waiting == last.waiting && now.bytesDone < last.bytesDone) {
        ++decreases;
    }
    ++readings;
    waitingReadings += now.waiting ? 1 : 0;
    partialReadings += now.bytesDone > 0 && now.bytesDone < now.bytesTotal ? 1 : 0;
    largestTotal = now.bytesTotal > largestTotal ? now.bytesTotal : largestTotal;
    last = now;
}

static DWORD WINAPI readProgress(void *) {
    while (!stopReading.load()) {
        takeReading();
        Sleep(1);
    }
    return 0;
}

int wmain(int argc, wchar_t **argv) {
    if (argc != 2) {
        fputs("usage: progress_probe TARGET_DIRECTORY\n", stderr);
        return 1;
    }
    appendWideString(TargetDirectory, argv[1], PATH_CAPACITY);
    HANDLE reader = CreateThread(nullptr, 0, readProgress, nullptr, 0, nullptr);
    prepareApplicationFiles();
    stopReading = true;
    WaitForSingleObject(reader, INFINITE);
    takeReading();
    printf("readings %u\nwaiting %u\npartial %u\ntotal %llu\ndecreases %u\nlast %llu %llu %d %d\n"
           "files %llu %llu\n",
           readings, waitingReadings, partialReadings,
           static_cast<unsigned long long>(largestTotal), decreases,
           static_cast<unsigned long long>(last.bytesDone),
           static_cast<unsigned long long>(last.bytesTotal), last.finished ? 1 : 0,
           last.waiting ? 1 : 0, static_cast<unsigned long long>(last.fileStepsDone),
           static_cast<unsigned long long>(last.filesTotal));
    return 0;
}
