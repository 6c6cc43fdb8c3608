#include "paths/target_directory.h"

#include "base/path_form.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

static std::wstring resolve(const std::wstring &directory) {
    wcscpy(TargetDirectory, directory.c_str());
    resolveTargetDirectory();
    return TargetDirectory;
}

static std::wstring normalForm(const std::wstring &path) {
    wchar_t normal[PATH_CAPACITY] = {0};
    appendNormalPath(normal, path.c_str(), PATH_CAPACITY);
    return normal;
}

// The extended form is what file operations get, the normal form what the
// application sees, the root what a walk up the folders stops at.
TEST(TargetDirectory, ExtendedFormOfTheFullPath) {
    struct Case {
        const wchar_t *directory, *extended, *normal;
        size_t root;
        const wchar_t *child; // buildTargetPath(.., L"a\\b")
    } cases[] = {
        {L"C:\\a\\..\\b", L"\\\\?\\C:\\b", L"C:\\b", 6, L"\\\\?\\C:\\b\\a\\b"},
        {L"C:/x/y", L"\\\\?\\C:\\x\\y", L"C:\\x\\y", 6, L"\\\\?\\C:\\x\\y\\a\\b"},
        {L"C:\\x\\.\\y\\\\", L"\\\\?\\C:\\x\\y", L"C:\\x\\y", 6, L"\\\\?\\C:\\x\\y\\a\\b"},
        {L"C:\\", L"\\\\?\\C:\\", L"C:\\", 6, L"\\\\?\\C:\\a\\b"},
        {L"\\\\server\\share\\dir\\", L"\\\\?\\UNC\\server\\share\\dir", L"\\\\server\\share\\dir",
         20, L"\\\\?\\UNC\\server\\share\\dir\\a\\b"},
        {L"\\\\server\\share\\", L"\\\\?\\UNC\\server\\share\\", L"\\\\server\\share\\", 20,
         L"\\\\?\\UNC\\server\\share\\a\\b"},
        {L"\\\\?\\C:\\given", L"\\\\?\\C:\\given", L"C:\\given", 6, L"\\\\?\\C:\\given\\a\\b"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(resolve(c.directory), c.extended) << c.directory;
        EXPECT_EQ(normalForm(TargetDirectory), c.normal) << c.directory;
        EXPECT_EQ(pathRootLength(TargetDirectory), c.root) << c.directory;
        wchar_t child[PATH_CAPACITY];
        ASSERT_TRUE(buildTargetPath(child, L"a\\b", 3)) << c.directory;
        EXPECT_STREQ(child, c.child) << c.directory;
    }
    // Forms the launcher never makes pass through as they are.
    EXPECT_EQ(normalForm(L"\\\\?\\Volume{1}\\x"), L"\\\\?\\Volume{1}\\x");
    EXPECT_EQ(pathRootLength(L"\\\\?\\Volume{1}\\x"), 13u);
    EXPECT_EQ(pathRootLength(L"relative\\x"), 0u);
}

// A path takes PATH_CAPACITY units at most, its terminator included; one
// that would take more leaves `path` empty. Only `nameLength` units count.
TEST(TargetDirectory, TargetPathFitsOrIsEmpty) {
    const std::wstring name(PATH_CAPACITY, L'n');
    const struct {
        const wchar_t *directory; // 8 units, then 7 ending in "\"
        size_t nameLength;
        bool fits;
    } cases[] = {
        {L"\\\\?\\C:\\x", 0, true},
        {L"\\\\?\\C:\\x", PATH_CAPACITY - 10, true},
        {L"\\\\?\\C:\\x", PATH_CAPACITY - 9, false},
        {L"\\\\?\\C:\\", PATH_CAPACITY - 8, true},
        {L"\\\\?\\C:\\", PATH_CAPACITY - 7, false},
    };
    for (const auto &c : cases) {
        wcscpy(TargetDirectory, c.directory);
        std::wstring expected = c.directory;
        if (c.nameLength > 0 && expected.back() != L'\\') {
            expected += L'\\';
        }
        expected += name.substr(0, c.nameLength);
        wchar_t path[PATH_CAPACITY] = L"old";
        EXPECT_EQ(buildTargetPath(path, name.c_str(), c.nameLength), c.fits) << c.nameLength;
        EXPECT_EQ(path, c.fits ? expected : L"") << c.nameLength;
    }
    wcscpy(TargetDirectory, L"\\\\?\\C:\\x");
    wchar_t path[PATH_CAPACITY];
    ASSERT_TRUE(buildTargetPath(path, L"ab\\c", 2));
    EXPECT_STREQ(path, L"\\\\?\\C:\\x\\ab");
}

TEST(TargetDirectory, RelativeToTheCurrentDirectory) {
    wchar_t current[MAX_PATH];
    DWORD length = GetCurrentDirectoryW(MAX_PATH, current);
    ASSERT_GT(length, 0u);
    std::wstring expected = current;
    if (expected.back() != L'\\') {
        expected += L'\\';
    }
    EXPECT_EQ(resolve(L"cache\\app"), L"\\\\?\\" + expected + L"cache\\app");
}

TEST(TargetDirectory, ExtendedFormMustStayBelow4096Units) {
    // "\\?\C:\" plus 4088 units is 4095 units: the longest path that fits.
    std::wstring longest = L"C:\\" + std::wstring(4088, L'a');
    EXPECT_EQ(resolve(longest), L"\\\\?\\" + longest);
    EXPECT_EXIT(resolve(longest + L"a"), testing::ExitedWithCode(3), "^$");
}

TEST(TargetDirectory, EmptyAborts) {
    EXPECT_EXIT(resolve(L""), testing::ExitedWithCode(3), "^$");
}
