#include "packer/support/host_system.h"

#include "packer/support/pack_errors.h"

#include <windows.h>

namespace tallix {

namespace {

// Room for any path Windows hands out, long paths included.
constexpr DWORD PATH_UNITS = 32768;

std::string systemMessage(DWORD code) {
    char *text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string message =
        length && text ? std::string(text, length) : "error " + std::to_string(code);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message;
}

std::wstring wide(const std::string &utf8) {
    int units =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), units);
    return out;
}

// One argument as the runtime's command-line parser reads it back.
void appendQuoted(std::wstring &line, const std::wstring &argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (wchar_t unit : argument) {
        if (unit == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(unit == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        line += unit;
    }
    line.append(2 * backslashes, L'\\');
    line += L'"';
}

HANDLE openForReading(const std::filesystem::path &path) {
    return CreateFileW(path.c_str(), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

} // namespace

std::optional<std::string> readProblem(const std::filesystem::path &path, bool) {
    HANDLE handle = openForReading(path);
    if (handle == INVALID_HANDLE_VALUE) {
        return systemMessage(GetLastError());
    }
    CloseHandle(handle);
    return std::nullopt;
}

std::optional<std::string> regularFileProblem(const std::filesystem::path &file) {
    HANDLE handle = openForReading(file);
    if (handle == INVALID_HANDLE_VALUE) {
        return systemMessage(GetLastError());
    }
    BY_HANDLE_FILE_INFORMATION information{};
    bool regular = GetFileType(handle) == FILE_TYPE_DISK &&
                   GetFileInformationByHandle(handle, &information) &&
                   !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(handle);
    return regular ? std::nullopt : std::optional<std::string>("not a regular file");
}

bool standardErrorIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::filesystem::path ownExecutable() {
    std::wstring buffer(PATH_UNITS, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), PATH_UNITS);
    if (length == 0 || length >= PATH_UNITS) {
        throw PackFailure("cannot find the tool's own location: " + systemMessage(GetLastError()));
    }
    buffer.resize(length);
    return std::filesystem::path(buffer);
}

std::optional<std::filesystem::path> findOnPath(const std::string &program) {
    std::wstring path(PATH_UNITS, L'\0');
    DWORD length = GetEnvironmentVariableW(L"PATH", path.data(), PATH_UNITS);
    path.resize(length < PATH_UNITS ? length : 0);
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(L';', start);
        std::wstring directory = path.substr(start, end - start);
        start = end == std::wstring::npos ? path.size() + 1 : end + 1;
        if (directory.empty()) {
            continue;
        }
        for (const std::wstring &name : {wide(program), wide(program) + L".exe"}) {
            std::filesystem::path candidate = std::filesystem::path(directory) / name;
            DWORD attributes = GetFileAttributesW(candidate.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                return candidate;
            }
        }
    }
    return std::nullopt;
}

ProgramResult runProgram(const std::vector<std::string> &command) {
    std::wstring line;
    for (const std::string &argument : command) {
        if (!line.empty()) {
            line += L' ';
        }
        appendQuoted(line, wide(argument));
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        throw PackFailure("cannot start " + command[0] + ": " + systemMessage(GetLastError()));
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                  nullptr, nullptr, &startup, &process);
    DWORD startError = GetLastError();
    CloseHandle(writeEnd);
    if (input != INVALID_HANDLE_VALUE) {
        CloseHandle(input);
    }
    if (!started) {
        CloseHandle(readEnd);
        throw PackFailure("cannot start " + command[0] + ": " + systemMessage(startError));
    }
    ProgramResult result;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        result.output.append(buffer, got);
    }
    CloseHandle(readEnd);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    result.status = static_cast<int>(status);
    while (!result.output.empty() &&
           (result.output.back() == '\n' || result.output.back() == '\r')) {
        result.output.pop_back();
    }
    return result;
}

unsigned long processId() {
    return GetCurrentProcessId();
}

namespace {

void (*interruptCleanup)() = nullptr;

// Runs on a thread the system starts; returning FALSE lets the default
// handler end the process.
BOOL WINAPI onControlEvent(DWORD) {
    interruptCleanup();
    return FALSE;
}

} // namespace

void onInterrupt(void (*cleanup)()) {
    interruptCleanup = cleanup;
    SetConsoleCtrlHandler(onControlEvent, TRUE);
}

} // namespace tallix
