#include "packer/commands/pack/pack_options.h"

#include "packer/support/pack_errors.h"

#include <gtest/gtest.h>

namespace tallix {
namespace {

TEST(PackOptions, ValuesFormsAndOverrides) {
    PackOptions options = parsePackOptions({"-o",    "x.exe",          "--level=19", "--jobs",
                                            "3",     "--console",      "--console",  "--company",
                                            "A",     "--company",      "B",          "--window-log",
                                            "27",    "--frame-kib",    "4096",       "--exclude",
                                            "*.bak", "--exclude=tmp/", "--",         "--"});
    EXPECT_EQ(options.appDirectory, "--"); // after "--" even a dash is the directory
    EXPECT_EQ(options.output, "x.exe");
    EXPECT_EQ(options.level, 19);
    EXPECT_EQ(options.jobs, 3);
    EXPECT_EQ(options.windowLog, 27);
    EXPECT_EQ(options.frameKib, 4096);
    EXPECT_EQ(options.subsystem, Subsystem::Console);
    EXPECT_EQ(options.exclusions, (std::vector<std::string>{"*.bak", "tmp/"}));
    EXPECT_EQ(options.company, "B");
    EXPECT_EQ(parsePackOptions({"app", "-o", "x.exe"}).level, DEFAULT_LEVEL);
    EXPECT_EQ(parsePackOptions({"app", "-o", "x.exe"}).subsystem, std::nullopt);
    EXPECT_TRUE(parsePackOptions({"--help"}).help);
    EXPECT_TRUE(parsePackOptions({"app", "--arg", "x", "-h"}).help);
    // A value is never read as an option, whatever it looks like.
    PackOptions helpAsValue =
        parsePackOptions({"app", "--arg", "--help", "-o", "-h", "--arg=-h", "--company", "--gui"});
    EXPECT_FALSE(helpAsValue.help);
    EXPECT_EQ(helpAsValue.leadingArguments, (std::vector<std::string>{"--help", "-h"}));
    EXPECT_EQ(helpAsValue.output, "-h");
    EXPECT_EQ(helpAsValue.company, "--gui");
    EXPECT_EQ(helpAsValue.subsystem, std::nullopt);
    for (const Arguments &bad : std::vector<Arguments>{{"app"},
                                                       {"-o", "x.exe"},
                                                       {"app", "-o", "x.exe", "--level", "23"},
                                                       {"app", "-o", "x.exe", "--window-log", "28"},
                                                       {"app", "-o", "x.exe", "--frame-kib", "0"},
                                                       {"app", "-o", "x.exe", "--jobs", "1x"},
                                                       {"app", "-o", "x.exe", "--quiet=1"},
                                                       {"app", "-o"},
                                                       {"app", "-o", "x.exe", "--gui", "--console"},
                                                       {"a", "b", "-o", "x.exe"}}) {
        EXPECT_THROW(parsePackOptions(bad), BadInput) << bad.back();
    }
}

} // namespace
} // namespace tallix
