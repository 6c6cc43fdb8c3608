#include "base/wide_append.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string>

TEST(WideAppendUnderWindows, AbortsWithoutOutput) {
    wchar_t buffer[6] = L"abc";
    appendWideString(buffer, L"de", 6);
    EXPECT_EQ(std::wstring(buffer), L"abcde");
    wchar_t full[6] = L"abc";
    EXPECT_EXIT(appendWideString(full, L"def", 6), testing::ExitedWithCode(3), "^$");
}
