// A stand-in for the packed application: greets, shows how it was started
// and reads a data file that was packed beside it.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t **argv) {
    std::wprintf(L"Hello from Halvory-Quin 1.1.0.\n");
    for (int i = 0; i < argc; ++i) {
        std::wprintf(L"  argument %d: %ls\n", i, argv[i]);
    }
    wchar_t self[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wprintf(L"  running from %ls\n", self);
    wchar_t launcherDirectory[MAX_PATH] = L"";
    if (GetEnvironmentVariableW(L"TALLIX_ONEFILE_DIRECTORY", launcherDirectory, MAX_PATH) > 0) {
        std::wprintf(L"  started by a launcher in %ls\n", launcherDirectory);
    }
    // The data file was unpacked beside this program.
    if (wchar_t *slash = std::wcsrchr(self, L'\\')) {
        std::wcscpy(slash + 1, L"data\\note.txt");
        if (FILE *note = _wfopen(self, L"r")) {
            char line[256];
            while (std::fgets(line, sizeof line, note)) {
                std::printf("  data\\note.txt: %s", line);
            }
            std::fclose(note);
        }
    }
    std::fflush(stdout);
    // "--exit N" (decimal or 0x hex) ends with status N, to show that the launcher passes it on.
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::wcscmp(argv[i], L"--exit") == 0) {
            return static_cast<int>(std::wcstoul(argv[i + 1], nullptr, 0));
        }
    }
    return 0;
}
