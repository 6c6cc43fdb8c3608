#include "packer/support/text/text_encoding.h"

#include <gtest/gtest.h>

namespace tallix {
namespace {

TEST(TextEncoding, StrictUtf8) {
    EXPECT_EQ(utf8ToUtf16("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x9B\xA0"),
              std::u16string(u"a\u00E9\u20AC\U0001F6E0"));
    for (const char *bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF"}) {
        EXPECT_FALSE(utf8ToUtf16(bad)) << bad;
    }
    EXPECT_EQ(utf16ToUtf8(u"a\u00E9\U0001F6E0"), "a\xC3\xA9\xF0\x9F\x9B\xA0");
}

} // namespace
} // namespace tallix
