#include "paths/target_directory.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

static std::wstring resolve(const std::wstring &directory) {
    wcscpy(TargetDirectory, directory.c_str());
    resolveTargetDirectory();
    return TargetDirectory;
}

TEST(TargetDirectory, ResolvesDotsAndSlashes) {
    EXPECT_EQ(resolve(L"C:\\a\\..\\b"), L"C:\\b");
    EXPECT_EQ(resolve(L"C:/x/y"), L"C:\\x\\y");
    EXPECT_EQ(resolve(L"C:\\x\\.\\y\\"), L"C:\\x\\y\\");
}

TEST(TargetDirectory, RelativeToTheCurrentDirectory) {
    wchar_t current[MAX_PATH];
    DWORD length = GetCurrentDirectoryW(MAX_PATH, current);
    ASSERT_GT(length, 0u);
    std::wstring expected = current;
    if (expected.back() != L'\\') {
        expected += L'\\';
    }
    EXPECT_EQ(resolve(L"cache\\app"), expected + L"cache\\app");
}

TEST(TargetDirectory, FullPathMustStayBelow4096Units) {
    // "C:\" plus 4092 units is 4095 units: the longest path that fits.
    std::wstring longest = L"C:\\" + std::wstring(4092, L'a');
    EXPECT_EQ(resolve(longest), longest);
    EXPECT_EXIT(resolve(longest + L"a"), testing::ExitedWithCode(3), "^$");
}

TEST(TargetDirectory, EmptyAborts) {
    EXPECT_EXIT(resolve(L""), testing::ExitedWithCode(3), "^$");
}
