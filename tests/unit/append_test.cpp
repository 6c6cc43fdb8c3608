#include "base/wide_append.h"

#include <gtest/gtest.h>

#include <string>

TEST(WideAppend, FillsToCapacityAndAbortsBeyond) {
    WideUnit buffer[6] = u"abc";
    appendWideString(buffer, u"de", 6);
    EXPECT_EQ(std::u16string(buffer), u"abcde");
    WideUnit full[6] = u"abc";
    EXPECT_DEATH(appendWideString(full, u"def", 6), "");
}

TEST(WideAppend, EmptySourceLeavesAFullBufferAlone) {
    WideUnit buffer[4] = u"abc";
    appendWideString(buffer, u"", 4);
    appendNarrowString(buffer, "", 4);
    EXPECT_EQ(std::u16string(buffer), u"abc");
}

TEST(WideAppend, NeverWritesPastCapacity) {
    // The units after the declared capacity are a guard that must survive.
    WideUnit buffer[8] = {u'a', 0, u'#', u'#', u'#', u'#', u'#', u'#'};
    appendWideChar(buffer, u'b', 3);
    EXPECT_EQ(std::u16string(buffer), u"ab");
    EXPECT_DEATH(appendWideChar(buffer, u'c', 3), "");
    EXPECT_EQ(buffer[3], u'#');
}

TEST(NarrowAppend, WidensEachByteUnderTheSameCapacity) {
    WideUnit buffer[6] = u"x";
    appendNarrowString(buffer, "4711", 6);
    EXPECT_EQ(std::u16string(buffer), u"x4711");
    WideUnit full[6] = u"x";
    EXPECT_DEATH(appendNarrowString(full, "47110", 6), "");
}

TEST(NarrowAppend, AbortsOnAByteTheLocaleCannotConvert) {
    // In the "C" locale a byte above 0x7F is no character of its own.
    WideUnit buffer[8] = u"";
    EXPECT_DEATH(appendNarrowString(buffer, "a\x80", 8), "");
}
