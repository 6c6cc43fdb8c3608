#include "paths/environment.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <stdlib.h>
#include <string>

// Reads through the helper and frees the copy; "<null>" stands for no value.
static std::wstring readValue(const char *name) {
    wchar_t *value = getEnvironmentValue(name);
    if (value == nullptr) {
        return L"<null>";
    }
    std::wstring copy = value;
    free(value);
    return copy;
}

TEST(Environment, SetReadAndDelete) {
    setEnvironmentValue("TALLIX_TEST_VALUE", L"one two");
    EXPECT_EQ(readValue("TALLIX_TEST_VALUE"), L"one two");
    wchar_t system[16] = {};
    EXPECT_EQ(GetEnvironmentVariableW(L"TALLIX_TEST_VALUE", system, 16), 7u);
    setEnvironmentValue("TALLIX_TEST_VALUE", nullptr);
    EXPECT_EQ(readValue("TALLIX_TEST_VALUE"), L"<null>");
    EXPECT_EQ(GetEnvironmentVariableW(L"TALLIX_TEST_VALUE", system, 16), 0u);
}

TEST(Environment, EmptyValueReadsAsMissing) {
    ASSERT_TRUE(SetEnvironmentVariableW(L"TALLIX_TEST_EMPTY", L""));
    EXPECT_EQ(readValue("TALLIX_TEST_EMPTY"), L"<null>");
    EXPECT_EQ(getEnvironmentValueW(L"TALLIX_TEST_EMPTY"), nullptr);
}

// Wine's SetEnvironmentVariableW keeps at most 32766 units, but a value
// inherited through CreateProcessW arrives whole, so a child reads it.
static DWORD childReadsValueOf(size_t length) {
    std::wstring block = L"TALLIX_TEST_LONG=a" + std::wstring(length - 2, L'v') + L"z";
    block.push_back(0);
    block += L"SystemRoot=C:\\windows";
    block.push_back(0);
    block.push_back(0);

    wchar_t program[MAX_PATH];
    DWORD directoryLength = GetModuleFileNameW(nullptr, program, MAX_PATH);
    while (directoryLength > 0 && program[directoryLength - 1] != L'\\') {
        --directoryLength;
    }
    program[directoryLength] = 0;
    wcscat(program, L"long_value_child.exe");

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    wchar_t commandLine[] = L"long_value_child";
    if (!CreateProcessW(program, commandLine, nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        &block[0], nullptr, &startup, &child)) {
        ADD_FAILURE() << "cannot start long_value_child.exe, error " << GetLastError();
        return 0xFFFFFFFF;
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD status = 0xFFFFFFFF;
    GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    return status;
}

TEST(Environment, LongestValueComesBackWholeAndLongerReadsAsMissing) {
    EXPECT_EQ(childReadsValueOf(32767), 32767u);
    EXPECT_EQ(childReadsValueOf(32768), 0u);
    EXPECT_EQ(childReadsValueOf(100), 100u);
}

TEST(Environment, NameOf39BytesWorksAnd40Aborts) {
    const char *name39 = "TALLIX_TEST_NAME_OF_THIRTY_NINE_BYTES_X";
    const char *name40 = "TALLIX_TEST_NAME_OF_FORTY_BYTES_XXXXXXXX";
    ASSERT_EQ(strlen(name39), 39u);
    ASSERT_EQ(strlen(name40), 40u);
    setEnvironmentValue(name39, L"fits");
    EXPECT_EQ(readValue(name39), L"fits");
    EXPECT_EXIT(readValue(name40), testing::ExitedWithCode(3), "^$");
    EXPECT_EXIT(setEnvironmentValue(name40, L"x"), testing::ExitedWithCode(3), "^$");
}
