// The application inside the signed launcher: proves it ran and how.
#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t **argv) {
    std::printf("signed app ran with %d arguments\n", argc - 1);
    return argc > 1 ? static_cast<int>(std::wcstol(argv[1], nullptr, 10)) : 0;
}
