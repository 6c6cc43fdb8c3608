#include "packer/support/depfile.h"

#include <gtest/gtest.h>

namespace tallix {
namespace {

TEST(Depfile, EscapesForMakeAndNinja) {
    EXPECT_EQ(depfilePath("/a b/c#d$e"), "/a\\ b/c\\#d$$e");
    EXPECT_EQ(depfilePath("x\\ y"), "x\\\\\\ y"); // the backslash before a blank doubled
    EXPECT_EQ(depfileText("out.exe", {"/app/a.exe", "/app/b c"}),
              "out.exe: \\\n  /app/a.exe \\\n  /app/b\\ c\n");
}

} // namespace
} // namespace tallix
