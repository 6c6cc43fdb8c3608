#include "payload/turn/folder_marker.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FolderMarker, OlderMeansSameCompanyAndProductAtNoNewerVersion) {
    WideUnit marker[FOLDER_MARKER_CAPACITY];
    ASSERT_TRUE(formatFolderMarker(marker, u"Co", u"App", u"1.9"));
    std::u16string text(reinterpret_cast<const char16_t *>(marker));
    EXPECT_EQ(text, u"tallix-onefile unpack folder 1\nCo\nApp\n1.9\n");
    struct Case {
        const char16_t *company, *product, *version;
        bool older;
    } cases[] = {
        {u"Co", u"App", u"1.9", true},     {u"Co", u"App", u"1.10", true},
        {u"Co", u"App", u"2", true},       {u"Co", u"App", u"1.8.9", false},
        {u"Co", u"App", u"1.9.0.0", true}, {u"Co", u"Other", u"2", false},
        {u"Co2", u"App", u"2", false},     {u"Co", u"Ap", u"2", false},
        {u"Co", u"App", u"x", false},      {u"Co", u"App", u"1..9", false},
        {u"Co", u"App", u"99999", false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(isOlderFolderMarker(marker, text.size(), c.company, c.product, c.version),
                  c.older)
            << static_cast<int>(c.older);
    }
    // A marker cut short (a write that did not finish) is nobody's.
    EXPECT_FALSE(isOlderFolderMarker(marker, text.size() - 1, u"Co", u"App", u"2"));
    std::u16string huge(FOLDER_MARKER_CAPACITY, u'x');
    EXPECT_FALSE(formatFolderMarker(marker, huge.c_str(), u"App", u"1"));
}

} // namespace
