// Reads TALLIX_TEST_LONG through getEnvironmentValue and exits with its
// length when it is "a", then "v"s, then "z"; 0 when it reads as missing and
// 1 when the text came back changed.
#include "paths/environment.h"

#include <wchar.h>

int wmain() {
    wchar_t *value = getEnvironmentValue("TALLIX_TEST_LONG");
    if (value == nullptr) {
        return 0;
    }
    size_t length = wcslen(value);
    if (length < 2 || value[0] != L'a' || value[length - 1] != L'z') {
        return 1;
    }
    for (size_t i = 1; i + 1 < length; ++i) {
        if (value[i] != L'v') {
            return 1;
        }
    }
    return static_cast<int>(length);
}
