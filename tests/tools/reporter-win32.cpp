// A child for launcher tests. Prints one JSON line on standard output that
// describes how it was started: its raw command line, how
// CommandLineToArgvW splits it, its TALLIX_* environment variables, its
// current directory, its own path and pid, the kind of each standard handle,
// and, with REPORTER_READ_STDIN=1, what it read from standard input. It also
// writes "reporter-stderr" to standard error. Then it sleeps
// REPORTER_SLEEP_MS and exits with REPORTER_EXIT_CODE (any 32-bit value,
// decimal or 0x-hex). REPORTER_QUIET=1 prints nothing.
// REPORTER_CHECK_FILES="NAME=SIZE;..." first reads each file (relative to
// the reporter's own folder) to its end and exits with 99 when one cannot be
// opened or read, or has another size: an application started too early.
#include <windows.h>

#include <shellapi.h>
#include <stdlib.h>
#include <string>
#include <wchar.h>

namespace {

std::string jsonString(const wchar_t *text) {
    std::string out = "\"";
    for (; *text != 0; ++text) {
        unsigned unit = static_cast<unsigned short>(*text);
        if (unit >= 0x20 && unit < 0x7F && unit != '"' && unit != '\\') {
            out += static_cast<char>(unit);
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", unit);
            out += escaped;
        }
    }
    return out + "\"";
}

const char *handleKind(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return "none";
    }
    switch (GetFileType(handle)) {
    case FILE_TYPE_PIPE:
        return "pipe";
    case FILE_TYPE_DISK:
        return "file";
    case FILE_TYPE_CHAR:
        return "char";
    default:
        return "unknown";
    }
}

bool environmentFlag(const wchar_t *name) {
    wchar_t value[8];
    DWORD length = GetEnvironmentVariableW(name, value, 8);
    return length > 0 && length < 8 && wcscmp(value, L"1") == 0;
}

DWORD environmentNumber(const wchar_t *name, DWORD fallback) {
    wchar_t value[64];
    DWORD length = GetEnvironmentVariableW(name, value, 64);
    if (length == 0 || length >= 64) {
        return fallback;
    }
    return static_cast<DWORD>(wcstoul(value, nullptr, 0));
}

std::string readAllInput() {
    std::string input;
    HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(handle, buffer, sizeof buffer, &count, nullptr) && count > 0) {
        input.append(buffer, count);
    }
    std::wstring wide(input.begin(), input.end());
    return jsonString(wide.c_str());
}

std::string environmentReport() {
    std::string out = "{";
    wchar_t *block = GetEnvironmentStringsW();
    bool first = true;
    for (wchar_t *entry = block; *entry != 0; entry += wcslen(entry) + 1) {
        if (wcsncmp(entry, L"TALLIX_", 7) != 0) {
            continue;
        }
        const wchar_t *equals = wcschr(entry, L'=');
        if (equals == nullptr) {
            continue;
        }
        std::wstring name(entry, static_cast<size_t>(equals - entry));
        if (!first) {
            out += ",";
        }
        out += jsonString(name.c_str());
        out += ":";
        out += jsonString(equals + 1);
        first = false;
    }
    FreeEnvironmentStringsW(block);
    return out + "}";
}

void writeAll(DWORD which, const std::string &text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(which), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Whether every "NAME=SIZE;" entry names a readable file of that size.
bool filesAreReadable(std::wstring list) {
    wchar_t self[MAX_PATH * 4] = {0};
    GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    std::wstring directory(self, wcsrchr(self, L'\\') + 1);
    static char buffer[1 << 16];
    for (size_t start = 0; start < list.size();) {
        size_t end = list.find(L';', start);
        std::wstring entry = list.substr(start, end == std::wstring::npos ? end : end - start);
        start = end == std::wstring::npos ? list.size() : end + 1;
        size_t equals = entry.find(L'=');
        HANDLE file =
            CreateFileW((directory + entry.substr(0, equals)).c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        unsigned long long total = 0;
        DWORD count = 0;
        while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) {
            total += count;
        }
        CloseHandle(file);
        if (total != wcstoull(entry.c_str() + equals + 1, nullptr, 10)) {
            return false;
        }
    }
    return true;
}

} // namespace

int wmain() {
    static wchar_t checkList[32768];
    DWORD checkLength = GetEnvironmentVariableW(L"REPORTER_CHECK_FILES", checkList, 32768);
    if (checkLength > 0 && checkLength < 32768 && !filesAreReadable(checkList)) {
        ExitProcess(99);
    }
    if (!environmentFlag(L"REPORTER_QUIET")) {
        const wchar_t *commandLine = GetCommandLineW();
        int count = 0;
        wchar_t **arguments = CommandLineToArgvW(commandLine, &count);
        std::string argv = "[";
        for (int i = 0; arguments != nullptr && i < count; ++i) {
            if (i > 0) {
                argv += ",";
            }
            argv += jsonString(arguments[i]);
        }
        argv += "]";
        wchar_t directory[MAX_PATH * 4] = {0};
        GetCurrentDirectoryW(MAX_PATH * 4, directory);
        wchar_t self[MAX_PATH * 4] = {0};
        GetModuleFileNameW(nullptr, self, MAX_PATH * 4);

        std::string report = "{\"commandLine\":" + jsonString(commandLine) + ",\"argv\":" + argv +
                             ",\"env\":" + environmentReport() +
                             ",\"cwd\":" + jsonString(directory) + ",\"self\":" + jsonString(self) +
                             ",\"pid\":" + std::to_string(GetCurrentProcessId()) + ",\"stdin\":\"" +
                             handleKind(STD_INPUT_HANDLE) + "\",\"stdout\":\"" +
                             handleKind(STD_OUTPUT_HANDLE) + "\",\"stderr\":\"" +
                             handleKind(STD_ERROR_HANDLE) + "\"";
        if (environmentFlag(L"REPORTER_READ_STDIN")) {
            report += ",\"input\":" + readAllInput();
        }
        writeAll(STD_OUTPUT_HANDLE, report + "}\n");
        writeAll(STD_ERROR_HANDLE, "reporter-stderr\n");
    }
    Sleep(environmentNumber(L"REPORTER_SLEEP_MS", 0));
    ExitProcess(environmentNumber(L"REPORTER_EXIT_CODE", 0));
}
