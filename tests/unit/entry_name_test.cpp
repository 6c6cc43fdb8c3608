#include "format/entry_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(EntryName, OnlyNamesThatStayInsideTheTargetDirectory) {
    const std::u16string refused[] = {
        u"",         u"\\abs.dll", u"C:x.dll", u"C:\\x.dll", u"a\\\\b",       u"a\\",
        u".",        u".\\a",      u"..",      u"..\\x",     u"a\\..\\..\\b", u"a/../../b",
        u"a:stream", u"a\\ .\\b",  u"... ",    u"x\\. .",
    };
    for (const std::u16string &name : refused) {
        EXPECT_FALSE(isContainedEntryName(name.c_str())) << std::string(name.begin(), name.end());
    }
    const std::u16string accepted[] = {u"a", u"a\\b\\c.dll", u".hidden", u"a..b", u"..a", u"x .y"};
    for (const std::u16string &name : accepted) {
        EXPECT_TRUE(isContainedEntryName(name.c_str())) << std::string(name.begin(), name.end());
    }
}

} // namespace
