#include "packer/commands/command_line.h"

#include "packer/support/pack_errors.h"

#include <gtest/gtest.h>

namespace tallix {
namespace {

TEST(CommandLine, OneErrorStyleAndSuggestionsForEveryCommand) {
    bool flag = false;
    std::optional<std::string> text;
    int number = 0;
    CommandSpec command{
        "demo",
        "DIR",
        "DIR [options]",
        "",
        {flagOption("--verify", "check", flag),
         textOption("--company", "TEXT", "none", "company name", text),
         numberOption("--level", "N", "9", "level", 1, 22, [&](int value) { number = value; })},
        ""};
    EXPECT_EQ(parseCommandLine(command, {"d", "--level=4", "--company", "", "--verify"}), "d");
    EXPECT_EQ(number, 4);
    EXPECT_EQ(text, "");
    EXPECT_TRUE(flag);
    EXPECT_EQ(parseCommandLine(command, {"--bogus", "--help"}), std::nullopt);
    EXPECT_EQ(parseCommandLine(command, {"--", "--help"}), "--help");

    struct Case {
        Arguments args;
        const char *message;
    };
    for (const Case &c : std::vector<Case>{
             {{"d", "--compnay", "X"}, "unknown option '--compnay', did you mean '--company'?"},
             {{"d", "-level", "3"}, "unknown option '-level', did you mean '--level'?"},
             {{"d", "--frobnicate"}, "unknown option '--frobnicate'"},
             {{"d", "--level", "23"}, "--level '23': expected a number from 1 to 22"},
             {{"d", "--level"}, "--level needs a value"},
             {{"d", "--verify=yes"}, "--verify takes no value"},
             {{"d", "e"}, "unexpected argument 'e' (only one DIR)"},
             {{"--verify"}, "missing DIR"},
         }) {
        try {
            parseCommandLine(command, c.args);
            ADD_FAILURE() << c.message;
        } catch (const BadInput &error) {
            EXPECT_EQ(error.what(), std::string(c.message) + " (see tallix-pack demo --help)");
        }
    }
    EXPECT_EQ(closestName("pakc", {"pack", "inspect", "block"}), "pack");
    EXPECT_EQ(closestName("--job", {"--jobs", "--main"}), "--jobs");
    EXPECT_EQ(closestName("--lvl", {"--level"}), std::nullopt); // two edits in five letters
}

TEST(CommandLine, UsageTextComesFromTheTable) {
    bool flag = false;
    std::optional<std::string> text;
    CommandSpec command{"demo",
                        "DIR",
                        "DIR [options]",
                        "Does things.\n",
                        {flagOption("--verify", "check", flag),
                         textOption("--company", "TEXT", "the product name",
                                    "the company name that goes into every string of the "
                                    "version resource",
                                    text)},
                        "The end.\n"};
    EXPECT_EQ(usageText(command), R"(usage: tallix-pack demo DIR [options]

Does things.

options:
  --verify                   check
  --company TEXT             the company name that goes into every string of
                             the version resource (default: the product name)
  -h, --help                 show this help

The end.
)");
}

} // namespace
} // namespace tallix
