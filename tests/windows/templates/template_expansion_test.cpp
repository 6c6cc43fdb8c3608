#include "base/wide_text.h"
#include "paths/template_expansion.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <shlobj.h>
#include <stdlib.h>
#include <string>

// This program's own build constants; the two version texts differ on purpose.
extern "C" {
const wchar_t *BUILD_COMPANY = L"Orlisk Works";
const wchar_t *BUILD_PRODUCT = L"Halvory-Quin";
const wchar_t *BUILD_VERSION = L"1.1.0";
const wchar_t *BUILD_FILE_VERSION = L"1.1.0.7";
const wchar_t *BUILD_PRODUCT_VERSION = L"1.1.0-rc2";
}

// Room for any result here; units from `size` on must stay untouched.
enum { GUARDED_CAPACITY = 5000 };
static wchar_t output[GUARDED_CAPACITY];

struct Expansion {
    bool ok;
    std::wstring text;
};

static Expansion expand(const std::wstring &pattern, size_t size = PATH_CAPACITY) {
    wmemset(output, L'#', GUARDED_CAPACITY);
    bool ok = expandTemplatePath(output, pattern.c_str(), size);
    for (size_t i = size; i < GUARDED_CAPACITY; ++i) {
        if (output[i] != L'#') {
            ADD_FAILURE() << "unit " << i << " written past size " << size;
            break;
        }
    }
    return {ok, output};
}

static void expectExpansion(const std::wstring &pattern, const std::wstring &expected,
                            size_t size = PATH_CAPACITY) {
    Expansion result = expand(pattern, size);
    EXPECT_TRUE(result.ok) << "pattern: " << testing::PrintToString(pattern);
    EXPECT_EQ(result.text, expected) << "pattern: " << testing::PrintToString(pattern);
}

static void expectFailure(const std::wstring &pattern, const std::wstring &partial,
                          size_t size = PATH_CAPACITY) {
    Expansion result = expand(pattern, size);
    EXPECT_FALSE(result.ok) << "pattern: " << testing::PrintToString(pattern);
    EXPECT_EQ(result.text, partial) << "pattern: " << testing::PrintToString(pattern);
}

static std::wstring environmentValue(const wchar_t *name) {
    wchar_t value[256];
    DWORD length = GetEnvironmentVariableW(name, value, 256);
    return length == 0 || length >= 256 ? L"<unset>" : value;
}

TEST(TemplateExpansion, BuildConstantsByNameInAnyCase) {
    expectExpansion(L"{COMPANY}-{PRODUCT}-{VERSION}", L"Orlisk Works-Halvory-Quin-1.1.0");
    expectExpansion(L"{file_version}|{Product_Version}", L"1.1.0.7|1.1.0-rc2");
}

TEST(TemplateExpansion, Syntax) {
    expectExpansion(L"", L"");
    // A stray closing brace is literal text.
    expectExpansion(L"a}b{VERSION}}", L"a}b1.1.0}");
    // The grammar's invalid forms (tested natively) fail before their placeholder.
    expectFailure(L"abc{HOME", L"abc");
    expectFailure(L"{A{VERSION}", L"");
    expectFailure(L"ab{NOPE}cd", L"ab");
    expectFailure(L"x{}", L"x");
    expectFailure(L"{VERSION }", L"");
}

TEST(TemplateExpansion, LiteralTextThatDoesNotFitFails) {
    expectExpansion(L"123456789", L"123456789", 10);
    expectFailure(L"1234567890", L"123456789", 10);
    expectFailure(L"a", L"", 1);
}

TEST(TemplateExpansion, ValueThatDoesNotFitAborts) {
    // "Orlisk Works" is 12 units: it fits 13 exactly.
    expectExpansion(L"{COMPANY}", L"Orlisk Works", 13);
    EXPECT_EXIT(expand(L"{COMPANY}", 12), testing::ExitedWithCode(3), "^$");
    EXPECT_EXIT(expand(L"12345{VERSION}", 10), testing::ExitedWithCode(3), "^$");
}

TEST(TemplateExpansion, LongNamesStayInTheirBuffer) {
    std::wstring huge(100000, L'A');
    expectFailure(L"x{" + huge + L"}", L"x");
    // Even when its last units spell a placeholder, an overlong name matches nothing.
    expectFailure(L"{" + huge + L"VERSION}", L"");
}

class TempPath : public testing::Test {
  protected:
    void SetUp() override {
        SetEnvironmentVariableW(L"TMP", L"C:\\tallixtmp\\");
        SetEnvironmentVariableW(L"TEMP", L"C:\\tallixtmp\\");
    }
};

TEST_F(TempPath, LosesItsTrailingBackslash) {
    expectExpansion(L"{TEMP}", L"C:\\tallixtmp");
    expectExpansion(L"{temp}\\x", L"C:\\tallixtmp\\x");
    SetEnvironmentVariableW(L"TMP", L"C:\\tallixtmp");
    expectExpansion(L"{TEMP}\\x", L"C:\\tallixtmp\\x");
}

TEST_F(TempPath, ThatDoesNotFitIsEmpty) {
    // "C:\tallixtmp\" needs 14 units with its terminator.
    expectExpansion(L"{TEMP}", L"C:\\tallixtmp", 14);
    expectExpansion(L"{TEMP}", L"", 13);
    // The removal of trailing backslashes then acts on the text before it.
    expectExpansion(L"x\\\\{TEMP}", L"x", 10);
}

static std::wstring programPath() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    EXPECT_GT(length, 4u);
    return std::wstring(path, length);
}

TEST(TemplateExpansion, ProgramBaseAndDirectory) {
    std::wstring program = programPath();
    ASSERT_EQ(_wcsicmp(program.substr(program.size() - 4).c_str(), L".exe"), 0);
    std::wstring base = program.substr(0, program.size() - 4);
    std::wstring directory = program.substr(0, program.rfind(L'\\'));
    expectExpansion(L"{PROGRAM}", program);
    expectExpansion(L"<{PROGRAM_BASE}>", L"<" + base + L">");
    expectExpansion(L"{program_dir}\\x", directory + L"\\x");
    expectExpansion(L"{PROGRAM_DIR}|{PROGRAM_BASE}", directory + L"|" + base);
}

TEST(TemplateExpansion, ProgramThatDoesNotFitIsShortened) {
    std::wstring program = programPath();
    expectExpansion(L"ab{PROGRAM}", L"ab" + program.substr(0, 5), 8);
    // Shortened before its ".exe", the base keeps every unit delivered.
    size_t size = program.size() - 1;
    expectExpansion(L"{PROGRAM_BASE}", program.substr(0, size - 1), size);
    // With room for exactly the name, ".exe" goes.
    expectExpansion(L"{PROGRAM_BASE}", program.substr(0, program.size() - 4), program.size() + 1);
}

TEST(TemplateExpansion, ProcessIdFromTheParentVariable) {
    SetEnvironmentVariableW(L"TALLIX_ONEFILE_PARENT", L"4711");
    expectExpansion(L"p{PID}", L"p4711");
    std::wstring own = std::to_wstring(GetCurrentProcessId());
    SetEnvironmentVariableW(L"TALLIX_ONEFILE_PARENT", L"");
    expectExpansion(L"{pid}", own);
    SetEnvironmentVariableW(L"TALLIX_ONEFILE_PARENT", nullptr);
    expectExpansion(L"{PID}", own);
    EXPECT_EQ(environmentValue(L"TALLIX_ONEFILE_PARENT"), L"<unset>");
    SetEnvironmentVariableW(L"TALLIX_ONEFILE_PARENT", L"12a");
    EXPECT_EXIT(expand(L"{PID}"), testing::ExitedWithCode(3), "^$");
    SetEnvironmentVariableW(L"TALLIX_ONEFILE_PARENT", nullptr);
}

TEST(TemplateExpansion, RandomIsStoredAndReused) {
    SetEnvironmentVariableW(L"TALLIX_ONEFILE_RANDOM", nullptr);
    Expansion first = expand(L"{RANDOM}-{random}");
    ASSERT_TRUE(first.ok);
    ASSERT_EQ(first.text.size(), 23u);
    std::wstring random = first.text.substr(0, 11);
    EXPECT_EQ(first.text, random + L"-" + random);
    EXPECT_EQ(random.find_first_not_of(
                  L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::wstring::npos);
    EXPECT_EQ(environmentValue(L"TALLIX_ONEFILE_RANDOM"), random);
    expectExpansion(L"{RANDOM}", random);

    // A stored value is taken as it is.
    SetEnvironmentVariableW(L"TALLIX_ONEFILE_RANDOM", L"not {random}");
    expectExpansion(L"{RANDOM}", L"not {random}");
    SetEnvironmentVariableW(L"TALLIX_ONEFILE_RANDOM", nullptr);
}

static long long fileTimeNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<long long>((static_cast<unsigned long long>(now.dwHighDateTime) << 32) |
                                  now.dwLowDateTime);
}

TEST(TemplateExpansion, TimeIsStoredAndReused) {
    SetEnvironmentVariableW(L"TALLIX_ONEFILE_START", L"123");
    expectExpansion(L"{TIME}", L"123");
    EXPECT_EQ(environmentValue(L"TALLIX_ONEFILE_START"), L"123");

    SetEnvironmentVariableW(L"TALLIX_ONEFILE_START", nullptr);
    long long before = fileTimeNow();
    Expansion fresh = expand(L"{TIME}");
    long long after = fileTimeNow();
    ASSERT_TRUE(fresh.ok);
    ASSERT_FALSE(fresh.text.empty());
    EXPECT_NE(fresh.text[0], L'0');
    EXPECT_EQ(fresh.text.find_first_not_of(L"0123456789"), std::wstring::npos);
    long long value = _wtoi64(fresh.text.c_str());
    EXPECT_GE(value, before);
    EXPECT_LE(value, after);
    EXPECT_EQ(environmentValue(L"TALLIX_ONEFILE_START"), fresh.text);
    expectExpansion(L"{time}", fresh.text);
    SetEnvironmentVariableW(L"TALLIX_ONEFILE_START", nullptr);
}

TEST(TemplateExpansion, MicrosecondsAreSixDigitsStoredAndReused) {
    SetEnvironmentVariableW(L"TALLIX_ONEFILE_TIME_US", nullptr);
    Expansion fresh = expand(L"{TIME_US}");
    ASSERT_TRUE(fresh.ok);
    ASSERT_EQ(fresh.text.size(), 6u);
    EXPECT_EQ(fresh.text.find_first_not_of(L"0123456789"), std::wstring::npos);
    EXPECT_EQ(environmentValue(L"TALLIX_ONEFILE_TIME_US"), fresh.text);
    expectExpansion(L"{TIME_US}.{time_us}", fresh.text + L"." + fresh.text);
    SetEnvironmentVariableW(L"TALLIX_ONEFILE_TIME_US", L"000042");
    expectExpansion(L"{TIME_US}", L"000042");
    SetEnvironmentVariableW(L"TALLIX_ONEFILE_TIME_US", nullptr);
}

TEST(TemplateExpansion, HomeIsTheProfileFolder) {
    wchar_t profile[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, profile), S_OK);
    std::wstring expected = profile;
    while (!expected.empty() && expected.back() == L'\\') {
        expected.pop_back();
    }
    ASSERT_FALSE(expected.empty());
    expectExpansion(L"{HOME}\\.cache", expected + L"\\.cache");
}

// The local application data folder comes from the user's shell folder
// setting; each case sets it only around its one expansion and puts the
// original back at once, since other tests of this prefix may read it.
class CacheDirectory : public testing::Test {
  protected:
    static constexpr const wchar_t *KEY =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    static constexpr const wchar_t *VALUE = L"Local AppData";

    void SetUp() override {
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key),
                  ERROR_SUCCESS);
        originalSize = sizeof original;
        originalFound =
            RegQueryValueExW(key, VALUE, nullptr, &originalType, reinterpret_cast<BYTE *>(original),
                             &originalSize) == ERROR_SUCCESS;
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder = std::wstring(temp) + L"tallix-cache-dir-test";
        CreateDirectoryW(folder.c_str(), nullptr);
    }

    void TearDown() override {
        RemoveDirectoryW(folder.c_str());
        RegCloseKey(key);
    }

    Expansion expandWithFolder(const std::wstring &setting, const std::wstring &pattern) {
        RegSetValueExW(key, VALUE, 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE *>(setting.c_str()),
                       static_cast<DWORD>((setting.size() + 1) * sizeof(wchar_t)));
        Expansion result = expand(pattern);
        if (originalFound) {
            RegSetValueExW(key, VALUE, 0, originalType, reinterpret_cast<const BYTE *>(original),
                           originalSize);
        } else {
            RegDeleteValueW(key, VALUE);
        }
        return result;
    }

    HKEY key = nullptr;
    wchar_t original[1024];
    DWORD originalSize = 0;
    DWORD originalType = 0;
    bool originalFound = false;
    std::wstring folder;
};

TEST_F(CacheDirectory, WithAndWithoutTrailingBackslash) {
    const std::wstring pattern = L"{CACHE_DIR}\\Halvory\\Halvory-Quin-1.1.0";
    const std::wstring expected = folder + L"\\Halvory\\Halvory-Quin-1.1.0";
    Expansion plain = expandWithFolder(folder, pattern);
    EXPECT_TRUE(plain.ok);
    EXPECT_EQ(plain.text, expected);
    Expansion slashed =
        expandWithFolder(folder + L"\\", L"{cache_dir}\\Halvory\\Halvory-Quin-1.1.0");
    EXPECT_TRUE(slashed.ok);
    EXPECT_EQ(slashed.text, expected);
}

TEST_F(CacheDirectory, MissingFolderFails) {
    Expansion missing = expandWithFolder(folder + L"\\missing", L"x{CACHE_DIR}y");
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.text, L"x");
}

// An administrator's TALLIX_ONEFILE_CACHE_DIR moves {CACHE_DIR} when it is an
// absolute path; anything else leaves the user's folder.
TEST_F(CacheDirectory, AdministratorsRootReplacesTheUsersFolder) {
    struct Case {
        const wchar_t *value; // null: unset
        std::wstring root;    // empty: the user's folder
        CacheRootOrigin origin;
    };
    const Case cases[] = {
        {nullptr, L"", CACHE_ROOT_USER_FOLDER},
        {L"D:\\Apps", L"D:\\Apps", CACHE_ROOT_FROM_VARIABLE},
        {L"D:\\Apps\\\\", L"D:\\Apps", CACHE_ROOT_FROM_VARIABLE},
        {L"D:/Apps", L"D:/Apps", CACHE_ROOT_FROM_VARIABLE},
        {L"\\\\server\\share\\apps", L"\\\\server\\share\\apps", CACHE_ROOT_FROM_VARIABLE},
        {L"apps\\cache", L"", CACHE_ROOT_FROM_VARIABLE_PASSED_OVER},
        {L"D:apps", L"", CACHE_ROOT_FROM_VARIABLE_PASSED_OVER},
    };
    for (const Case &c : cases) {
        SetEnvironmentVariableW(L"TALLIX_ONEFILE_CACHE_DIR", c.value);
        Expansion result = expandWithFolder(folder, L"{CACHE_DIR}\\Orlisk Works\\{PRODUCT}");
        SetEnvironmentVariableW(L"TALLIX_ONEFILE_CACHE_DIR", nullptr);
        std::wstring root = c.root.empty() ? folder : c.root;
        EXPECT_TRUE(result.ok) << testing::PrintToString(c.value);
        EXPECT_EQ(result.text, root + L"\\Orlisk Works\\Halvory-Quin");
        EXPECT_EQ(cacheRootOrigin(), c.origin) << testing::PrintToString(c.value);
    }
    // The variable's value needs no folder of the user's.
    SetEnvironmentVariableW(L"TALLIX_ONEFILE_CACHE_DIR", L"E:\\x");
    Expansion moved = expandWithFolder(folder + L"\\missing", L"{CACHE_DIR}");
    SetEnvironmentVariableW(L"TALLIX_ONEFILE_CACHE_DIR", nullptr);
    EXPECT_TRUE(moved.ok);
    EXPECT_EQ(moved.text, L"E:\\x");
}
