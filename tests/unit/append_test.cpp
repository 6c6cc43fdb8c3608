#include "paths/wide_append.h"

#include <gtest/gtest.h>

#include <string>

TEST(WideAppend, FillsToCapacityAndAbortsBeyond) {
    WideUnit buffer[6] = u"abc";
    appendWideString(buffer, u"de", 6);
    EXPECT_EQ(std::u16string(buffer), u"abcde");
    WideUnit full[6] = u"abc";
    EXPECT_DEATH(appendWideString(full, u"def", 6), "");
}
