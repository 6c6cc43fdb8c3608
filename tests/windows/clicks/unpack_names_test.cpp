#include "payload/turn/unpack_lock.h"

#include <gtest/gtest.h>

#include <string>

static std::wstring nameOf(const wchar_t *folder, uint32_t identity = 0x1234abcd,
                           const wchar_t *kind = L"unpack") {
    wchar_t name[UNPACK_OBJECT_NAME_CAPACITY];
    EXPECT_TRUE(formatUnpackObjectName(name, kind, folder, identity)) << folder;
    return name;
}

// Every spelling of one folder names one object; another folder or build
// names another.
TEST(UnpackObjectNames, OneNamePerFolderAndBuild) {
    struct Row {
        const wchar_t *a;
        const wchar_t *b;
        bool same;
    };
    const Row rows[] = {
        {L"C:\\Cache\\App", L"c:\\cache\\app", true},
        {L"C:\\Cache\\App", L"C:\\Cache\\App\\", true},
        {L"C:\\Cache\\App", L"C:/Cache/App", true},
        {L"C:\\Cache\\App", L"C:\\Cache\\x\\..\\App", true},
        {L"C:\\Cache\\App", L"\\\\?\\C:\\Cache\\App", true},
        {L"\\\\?\\UNC\\server\\share\\App", L"\\\\SERVER\\share\\app", true},
        {L"C:\\Cache\\\u00d6lfass", L"C:\\cache\\\u00f6lfass", true},
        {L"C:\\Cache\\App", L"C:\\Cache\\App2", false},
        {L"C:\\Cache\\App", L"D:\\Cache\\App", false},
        {L"C:\\", L"C:\\Cache", false},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(nameOf(row.a) == nameOf(row.b), row.same) << row.a << " / " << row.b;
    }
    EXPECT_NE(nameOf(L"C:\\Cache\\App", 1), nameOf(L"C:\\Cache\\App", 2));
    EXPECT_NE(nameOf(L"C:\\Cache\\App", 1, L"unpack"), nameOf(L"C:\\Cache\\App", 1, L"progress"));
    EXPECT_EQ(nameOf(L"C:\\Cache\\App").rfind(L"Local\\tallix-onefile-2-unpack-", 0), 0u);
}
