#include "launcher/start_account.h"

#include "base/diagnose.h"
#include "base/fatal_box.h"
#include "base/path_form.h"
#include "buildinfo/build_constants.h"
#include "format/constants_section.h"
#include "format/index/payload_index.h"
#include "paths/target_directory.h"
#include "paths/template_expansion.h"
#include "payload/check/quick_check.h"
#include "payload/turn/unpack_progress.h"

#include <windows.h>

// What the summary repeats, noted as the phases pass.
static const char *checkMode = "";
static uint64_t filesInPlace;
static uint64_t filesDecoded;
static double filesReadyMs;
static double childStartMs;

static const char *cacheRootText() {
    switch (cacheRootOrigin()) {
    case CACHE_ROOT_USER_FOLDER:
        return "the user's local application data";
    case CACHE_ROOT_FROM_VARIABLE:
        return CACHE_ROOT_VARIABLE;
    case CACHE_ROOT_FROM_VARIABLE_PASSED_OVER:
        return "the user's local application data (TALLIX_ONEFILE_CACHE_DIR is not an absolute "
               "path and was passed over)";
    case CACHE_ROOT_UNUSED:
        break;
    }
    return "not used by the template";
}

static void shownTarget(wchar_t *shown) {
    shown[0] = 0;
    appendNormalPath(shown, TargetDirectory, PATH_CAPACITY);
}

void accountForTarget() {
    if (!DiagnoseOn) {
        return;
    }
    diagnose("%ls %ls, %s launcher%s", BUILD_PRODUCT, BUILD_VERSION,
             imageIsGui() ? "GUI" : "console",
             (LaunchOptions & LAUNCH_NO_PROGRESS_WINDOW) != 0 ? ", no progress window" : "");
    static wchar_t shown[PATH_CAPACITY];
    shownTarget(shown);
    diagnose("target folder %ls (template %ls; {CACHE_DIR}: %s)", shown, DirectoryTemplate,
             cacheRootText());
}

void accountForCheckMode() {
    if (!DiagnoseOn) {
        return;
    }
    PayloadIndex index;
    bool indexed = openPayloadIndex(PayloadIndexData, PAYLOAD_INDEX_SIZE, &index);
    if (!indexed) {
        checkMode = "none (no index: every file decoded and compared)";
    } else if ((LaunchOptions & LAUNCH_QUICK_CHECK) != 0 && index.count <= QUICK_CHECK_MAX_FILES) {
        checkMode = "quick (size and time of files last verified, CRC-32 of the rest)";
    } else {
        checkMode = "content (CRC-32 of every file)";
    }
    diagnose("check %s, %llu files in the index", checkMode,
             static_cast<unsigned long long>(indexed ? index.count : 0));
}

void accountForFiles() {
    if (!DiagnoseOn) {
        return;
    }
    filesReadyMs = diagnosisMilliseconds();
    UnpackProgress progress;
    PayloadIndex index;
    if (!readUnpackProgress(&progress)) {
        filesInPlace =
            openPayloadIndex(PayloadIndexData, PAYLOAD_INDEX_SIZE, &index) ? index.count : 0;
        diagnose("all %llu files in place: reused, nothing decoded",
                 static_cast<unsigned long long>(filesInPlace));
    } else if (progress.waiting) {
        diagnose("another start put the files in place; this one waited for it and checked them");
    } else {
        filesDecoded = progress.fileStepsDone / 2;
        filesInPlace = filesDecoded - DiagnosedFilesWritten;
        diagnose("decoded %llu files (%llu bytes): wrote %llu, %llu were in place",
                 static_cast<unsigned long long>(filesDecoded),
                 static_cast<unsigned long long>(progress.bytesDone),
                 static_cast<unsigned long long>(DiagnosedFilesWritten),
                 static_cast<unsigned long long>(filesInPlace));
    }
}

void accountForChildStart(const wchar_t *program, const wchar_t *commandLine, uint32_t id) {
    if (!DiagnoseOn) {
        return;
    }
    childStartMs = diagnosisMilliseconds();
    diagnose("started %ls (process %lu), command line: %ls", program,
             static_cast<unsigned long>(id), commandLine);
}

void accountForChildEnd(uint32_t exitCode) {
    if (!DiagnoseOn) {
        return;
    }
    double endMs = diagnosisMilliseconds();
    diagnose("child ended with code %lu after %.1f ms", static_cast<unsigned long>(exitCode),
             endMs - childStartMs);
    static wchar_t shown[PATH_CAPACITY];
    shownTarget(shown);
    diagnose("summary: target %ls; check %s; files in place %llu, decoded %llu, written %llu; "
             "files ready at %.1f ms, child started at %.1f ms, ran %.1f ms",
             shown, checkMode, static_cast<unsigned long long>(filesInPlace),
             static_cast<unsigned long long>(filesDecoded),
             static_cast<unsigned long long>(DiagnosedFilesWritten), filesReadyMs, childStartMs,
             endMs - childStartMs);
}
