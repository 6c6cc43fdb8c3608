#include "packer/image/resources/version_string.h"

#include <gtest/gtest.h>

namespace tallix {
namespace {

TEST(VersionString, PadsToFourPartsAndRefusesWhatTheResourceCannotHold) {
    auto version = parseVersion("1.1.0");
    ASSERT_TRUE(version);
    EXPECT_EQ(version->text, "1.1.0");
    EXPECT_EQ(version->padded(), "1.1.0.0");
    EXPECT_EQ(version->commas(), "1,1,0,0");
    EXPECT_EQ(parseVersion("65535.0.007.4")->commas(), "65535,0,7,4");
    EXPECT_EQ(parseVersion("3")->padded(), "3.0.0.0");
    for (const char *bad : {"", "1.2.3.4.5", "1..2", ".1", "1.", "65536", "4294967297", "1.-2",
                            "1,2", " 1", "1.2a", "0x10"}) {
        EXPECT_FALSE(parseVersion(bad)) << bad;
    }
}

TEST(VersionString, LeadingVersionTakesTheNumbersFreeTextStartsWith) {
    const struct {
        const char *text;
        const char *padded; // nullptr: none
    } cases[] = {
        {"1.2.3-beta", "1.2.3.0"},
        {"2.1. rc", "2.1.0.0"},
        {"7", "7.0.0.0"},
        {"1.2.3.4.5", "1.2.3.4"},
        {"3..4", "3.0.0.0"},
        {"beta 2", nullptr},
        {"", nullptr},
        {"70000-x", nullptr},
    };
    for (const auto &c : cases) {
        std::optional<VersionNumber> version = leadingVersion(c.text);
        ASSERT_EQ(version.has_value(), c.padded != nullptr) << c.text;
        if (version) {
            EXPECT_EQ(version->padded(), c.padded) << c.text;
            EXPECT_EQ(version->text, c.text);
        }
    }
}

} // namespace
} // namespace tallix
