#include "launcher/launcher_main.h"

#include "base/diagnose.h"
#include "base/diagnostics.h"
#include "base/fatal_box.h"
#include "base/wide_append.h"
#include "buildinfo/build_constants.h"
#include "format/attached_data.h"
#include "launcher/child_process.h"
#include "launcher/start_account.h"
#include "launcher/window/progress_window.h"
#include "paths/environment.h"
#include "paths/target_directory.h"
#include "paths/template_expansion.h"
#include "payload/plan/unpack_plan.h"
#include "payload/turn/folder_marker.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Room for any process id in decimal.
enum { PROCESS_ID_TEXT_CAPACITY = 128 };

static bool attachedDataHasMagic() {
    return ATTACHED_DATA_SIZE >= ATTACHED_DATA_MAGIC_SIZE &&
           memcmp(AttachedData, ATTACHED_DATA_MAGIC, ATTACHED_DATA_MAGIC_SIZE) == 0;
}

int launcherMain() {
    launcherArguments = __wargv;
    enableFatalBox();
    beginDiagnosis();
    // Nothing of the image is used before its constants pass their checksum:
    // a damaged launcher ends here, before it expands a path or writes.
    if (!loadBuildConstants()) {
        fatalError("Error, couldn't find attached data header.");
    }
    setFatalBoxTitle(BUILD_PRODUCT);
    // Libraries are never loaded from wherever the user happens to be.
    SetDllDirectoryW(L"");

    // The sticky placeholders get fresh values, whatever was inherited.
    setEnvironmentValue("TALLIX_ONEFILE_START", nullptr);
    setEnvironmentValue("TALLIX_ONEFILE_TIME_US", nullptr);
    setEnvironmentValue("TALLIX_ONEFILE_RANDOM", nullptr);

    char processIdText[PROCESS_ID_TEXT_CAPACITY];
    snprintf(processIdText, sizeof processIdText, "%lu",
             static_cast<unsigned long>(GetCurrentProcessId()));
    wchar_t processIdWide[PROCESS_ID_TEXT_CAPACITY];
    processIdWide[0] = 0;
    appendNarrowString(processIdWide, processIdText, PROCESS_ID_TEXT_CAPACITY);
    setEnvironmentValue("TALLIX_ONEFILE_PARENT", processIdWide);

    if (!expandTemplatePath(TargetDirectory, DirectoryTemplate, PATH_CAPACITY)) {
        fatalTemplateError(DirectoryTemplate);
    }
    resolveTargetDirectory();
    accountForTarget();

    if (!SetConsoleCtrlHandler(consoleControlHandler, TRUE)) {
        fatalError("Error, failed to register signal handler.");
    }
    if (!attachedDataHasMagic()) {
        fatalError("Error, couldn't find attached data header.");
    }
    beginProgressWindow();
    accountForCheckMode();
    prepareApplicationFiles();
    endProgressWindow();
    accountForFiles();
    markTargetDirectory();
    return launchChild();
}
