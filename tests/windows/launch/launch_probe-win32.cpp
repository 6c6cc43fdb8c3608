// A small application and helper for the launch option tests, by mode:
//   exit                   ends at once with status 0
//   sleep PIDFILE          writes its process id to PIDFILE, then sleeps
//   hold FILE READYFILE    holds FILE open unshared, writes READYFILE, sleeps
//   end-launcher PIDFILE COMMAND_LINE
//                          starts COMMAND_LINE (a launcher whose application
//                          runs "sleep PIDFILE"), ends it with
//                          TerminateProcess once the application runs, and
//                          prints "application ended" or "application running"
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

// Longer than any test waits for it.
enum { SLEEP_MS = 60000, APPLICATION_START_MS = 60000, END_WAIT_MS = 5000, POLL_MS = 50 };

static void writeText(const wchar_t *path, const char *text) {
    FILE *file = _wfopen(path, L"wb");
    if (file == nullptr) {
        exit(90);
    }
    fputs(text, file);
    fclose(file);
}

static DWORD readProcessId(const wchar_t *path) {
    for (int waited = 0; waited < APPLICATION_START_MS; waited += POLL_MS) {
        FILE *file = _wfopen(path, L"rb");
        unsigned long id = 0;
        if (file != nullptr) {
            int found = fscanf(file, "%lu", &id);
            fclose(file);
            if (found == 1 && id != 0) {
                return id;
            }
        }
        Sleep(POLL_MS);
    }
    return 0;
}

static int endLauncher(const wchar_t *pidFile, wchar_t *commandLine) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION launcher = {};
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &launcher)) {
        printf("cannot start the launcher: %lu\n", GetLastError());
        return 91;
    }
    DWORD id = readProcessId(pidFile);
    HANDLE application =
        id != 0 ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id) : nullptr;
    if (application == nullptr) {
        printf("the application did not start\n");
        TerminateProcess(launcher.hProcess, 1);
        return 92;
    }
    TerminateProcess(launcher.hProcess, 1);
    if (WaitForSingleObject(application, END_WAIT_MS) == WAIT_OBJECT_0) {
        printf("application ended\n");
    } else {
        printf("application running\n");
        TerminateProcess(application, 0);
    }
    return 0;
}

int wmain(int argc, wchar_t **argv) {
    if (argc >= 2 && wcscmp(argv[1], L"exit") == 0) {
        return 0;
    }
    if (argc >= 3 && wcscmp(argv[1], L"sleep") == 0) {
        char text[32];
        snprintf(text, sizeof text, "%lu", GetCurrentProcessId());
        writeText(argv[2], text);
        Sleep(SLEEP_MS);
        return 0;
    }
    if (argc >= 4 && wcscmp(argv[1], L"hold") == 0) {
        HANDLE held = CreateFileW(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (held == INVALID_HANDLE_VALUE) {
            return 93;
        }
        writeText(argv[3], "held");
        Sleep(SLEEP_MS);
        return 0;
    }
    if (argc >= 4 && wcscmp(argv[1], L"end-launcher") == 0) {
        // The command line as given, past the mode and the pid file.
        static wchar_t commandLine[32768];
        wcscpy(commandLine, argv[3]);
        for (int i = 4; i < argc; ++i) {
            wcscat(commandLine, L" ");
            wcscat(commandLine, argv[i]);
        }
        return endLauncher(argv[2], commandLine);
    }
    fprintf(stderr, "usage: launch_probe exit | sleep PIDFILE | hold FILE READY | "
                    "end-launcher PIDFILE COMMAND...\n");
    return 2;
}
