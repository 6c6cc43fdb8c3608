#include "launcher/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::u16string written(const std::u16string &argument) {
    std::vector<WideUnit> buffer(COMMAND_LINE_CAPACITY, 0);
    appendArgument(buffer.data(), argument.c_str());
    return std::u16string(buffer.data());
}

TEST(ChildCommandLine, QuotesOnlyWhatNeedsIt) {
    EXPECT_EQ(written(u"abc"), u"abc");
    EXPECT_EQ(written(u"a b"), u"\"a b\"");
    EXPECT_EQ(written(u"a\"b"), u"\"a\\\"b\"");
    EXPECT_EQ(written(u"C:\\dir\\"), u"C:\\dir\\");
    EXPECT_EQ(written(u"C:\\my dir\\"), u"\"C:\\my dir\\\\\"");
    EXPECT_EQ(written(u"x\\\"y"), u"\"x\\\\\\\"y\"");
    EXPECT_EQ(written(u"a\\b c"), u"\"a\\b c\"");
    EXPECT_EQ(written(u"a\tb"), u"\"a\tb\"");
    EXPECT_EQ(written(u"a\nb"), u"\"a\nb\"");
    EXPECT_EQ(written(u"a\vb"), u"\"a\vb\"");
    // An empty argument survives the round trip only in quotes.
    EXPECT_EQ(written(u""), u"\"\"");
    // Carriage return and form feed do not need quotes.
    EXPECT_EQ(written(u"a\rb\fc"), u"a\rb\fc");
}

TEST(ChildCommandLine, EscapesBackslashRunsBeforeQuotes) {
    EXPECT_EQ(written(u"\""), u"\"\\\"\"");
    EXPECT_EQ(written(u"\"\""), u"\"\\\"\\\"\"");
    EXPECT_EQ(written(u"a\\\\\" b"), u"\"a\\\\\\\\\\\" b\"");
    EXPECT_EQ(written(u" \\\\"), u"\" \\\\\\\\\"");
    EXPECT_EQ(written(u"a\\\\b c"), u"\"a\\\\b c\"");
}

TEST(ChildCommandLine, AppendsAfterExistingText) {
    std::vector<WideUnit> buffer(COMMAND_LINE_CAPACITY, 0);
    appendArgument(buffer.data(), u"prog");
    appendArgument(buffer.data(), u" x");
    EXPECT_EQ(std::u16string(buffer.data()), u"prog\" x\"");
}

TEST(ChildCommandLine, AcceptsExactly32767UnitsAndAbortsBeyond) {
    std::vector<WideUnit> buffer(COMMAND_LINE_CAPACITY, 0);
    std::u16string text(COMMAND_LINE_CAPACITY - 5, u'a');
    appendArgument(buffer.data(), text.c_str());
    appendArgument(buffer.data(), u"\"");
    EXPECT_EQ(std::u16string(buffer.data()).size(), size_t(COMMAND_LINE_CAPACITY - 1));
    EXPECT_DEATH(appendArgument(buffer.data(), u"b"), "");

    // The closing quote is checked like every other unit: here it would be
    // unit 32768.
    std::vector<WideUnit> nearlyFull(COMMAND_LINE_CAPACITY, 0);
    std::u16string body(COMMAND_LINE_CAPACITY - 2, u'a');
    body[0] = u' ';
    EXPECT_DEATH(appendArgument(nearlyFull.data(), body.c_str()), "");
}

} // namespace
