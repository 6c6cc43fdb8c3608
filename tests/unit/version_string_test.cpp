#include "packer/image/version_string.h"

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

} // namespace
} // namespace tallix
