#include "payload/turn/folder_marker.h"

#include "buildinfo/build_constants.h"
#include "paths/target_directory.h"
#include "payload/write/temporaries.h"

#include <windows.h>

#include <string.h>
#include <wchar.h>

static wchar_t markerPath[PATH_CAPACITY];
static wchar_t markerText[FOLDER_MARKER_CAPACITY];
static unsigned char markerOnDisk[FOLDER_MARKER_CAPACITY * sizeof(wchar_t)];

// Open while the process runs; the system closes it at the end.
static HANDLE openForReading() {
    return CreateFileW(markerPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

void markTargetDirectory() {
    if (!formatFolderMarker(markerText, BUILD_COMPANY, BUILD_PRODUCT, BUILD_VERSION) ||
        !buildTargetPath(markerPath, FOLDER_MARKER_NAME, wcslen(FOLDER_MARKER_NAME))) {
        return;
    }
    DWORD size = static_cast<DWORD>(wcslen(markerText) * sizeof(wchar_t));
    HANDLE marker = openForReading();
    if (marker != INVALID_HANDLE_VALUE) {
        DWORD read = 0;
        if (ReadFile(marker, markerOnDisk, sizeof markerOnDisk, &read, nullptr) && read == size &&
            memcmp(markerOnDisk, markerText, size) == 0) {
            return; // warm start: nothing written
        }
        CloseHandle(marker);
    }
    // Never written through its name: a link there is left as it is.
    if (placeOwnFile(markerPath, MARKER_TEMPORARY_NUMBER, markerText, size)) {
        openForReading();
    }
}
