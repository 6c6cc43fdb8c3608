/* The example application: greets with the text of data\greeting.txt, which
   ships next to it, and says where it was started from. */
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

int wmain(int argc, wchar_t **argv) {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH) {
        return 1;
    }
    wchar_t *slash = wcsrchr(path, L'\\');
    if (slash == NULL || (size_t)(slash + 1 - path) + 18 >= MAX_PATH) {
        return 1;
    }
    wcscpy(slash + 1, L"data\\greeting.txt");
    FILE *file = _wfopen(path, L"r");
    if (file == NULL) {
        fprintf(stderr, "hello: cannot open %ls\n", path);
        return 1;
    }
    char greeting[256];
    if (fgets(greeting, sizeof greeting, file) == NULL) {
        greeting[0] = '\0';
    }
    fclose(file);
    printf("%s", greeting);
    const wchar_t *launcher = _wgetenv(L"TALLIX_ORIGINAL_ARGV0");
    printf("started as %ls with %d argument(s)\n", launcher ? launcher : argv[0], argc - 1);
    return 0;
}
