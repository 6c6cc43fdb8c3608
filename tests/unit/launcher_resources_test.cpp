#include "packer/image/resources/launcher_resources.h"

#include <gtest/gtest.h>

namespace tallix {
namespace {

TEST(LauncherResources, AssemblyNames) {
    for (const char *good : {"Zere", "Orlisk.Halvory-Quin_2"}) {
        EXPECT_TRUE(isAssemblyName(good)) << good;
    }
    for (const char *bad : {"", "My App", ".Zere", "Zere.", "a\"b", "a<b", "\xC3\xA9"}) {
        EXPECT_FALSE(isAssemblyName(bad)) << bad;
    }
}

} // namespace
} // namespace tallix
