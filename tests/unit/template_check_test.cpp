#include "packer/commands/pack/template_check.h"

#include "packer/support/text/text_encoding.h"

#include <gtest/gtest.h>

namespace tallix {
namespace {

TEST(TemplateCheck, AcceptsKnownPlaceholdersInAnyCase) {
    TemplateCheck check = checkTemplate(u"{cache_dir}\\{Company}\\{PRODUCT}-{VERSION}");
    EXPECT_FALSE(check.error);
    EXPECT_TRUE(check.perUserStart);
    EXPECT_EQ(check.placeholders,
              (std::set<std::string>{"CACHE_DIR", "COMPANY", "PRODUCT", "VERSION"}));
    EXPECT_FALSE(checkTemplate(utf8ToUtf16(DEFAULT_TEMPLATE).value()).error);
    // A "}" outside a placeholder is literal text for the launcher.
    EXPECT_FALSE(checkTemplate(u"{TEMP}\\a}b").error);
}

TEST(TemplateCheck, RefusesWhatTheLauncherWouldFailOrSilentlyDrop) {
    EXPECT_EQ(checkTemplate(u"{HOME}\\{NOPE}").error, "unknown placeholder '{NOPE}'");
    EXPECT_EQ(checkTemplate(u"{}").error, "unknown placeholder '{}'");
    EXPECT_EQ(checkTemplate(u"{HOME}\\{PRODUCT").error, "placeholder at offset 7 is not closed");
    EXPECT_EQ(checkTemplate(u"{A{TEMP}").error, "'{' inside the placeholder at offset 0");
    EXPECT_EQ(checkTemplate(u"").error, "the template is empty");
    // Non-ASCII names cannot match, even where a case mapping would make them ASCII.
    EXPECT_TRUE(checkTemplate(u"{TEMP\u017F}").error);
    EXPECT_FALSE(checkTemplate(std::u16string(TEMPLATE_TEXT_LIMIT, u'a')).error);
    EXPECT_TRUE(checkTemplate(std::u16string(TEMPLATE_TEXT_LIMIT + 1, u'a')).error);
}

TEST(TemplateCheck, PerUserOnlyWhenAFolderOfTheUserIsTheRoot) {
    EXPECT_TRUE(checkTemplate(u"{TEMP}").perUserStart);
    EXPECT_TRUE(checkTemplate(u"{HOME}/x").perUserStart);
    EXPECT_FALSE(checkTemplate(u"{HOME}x").perUserStart); // a sibling of the profile
    EXPECT_FALSE(checkTemplate(u"C:\\{CACHE_DIR}").perUserStart);
    EXPECT_FALSE(checkTemplate(u"{PROGRAM_DIR}\\cache").perUserStart);
    EXPECT_FALSE(checkTemplate(u"{PRODUCT}{CACHE_DIR}").perUserStart);
}

TEST(TemplateCheck, WarnsOfAMainProgramWindowsWouldNotStart) {
    BuildConstants constants;
    constants.company = u"Co";
    constants.product = u"Product";
    constants.version = u"1.0";
    struct Case {
        std::u16string pattern;
        std::size_t directoryUnits; // estimated, with the "\" after it
    } cases[] = {
        // C:\Users\<20 units>\AppData\Local \Co \Product-1.0 \.
        {utf8ToUtf16(DEFAULT_TEMPLATE).value(), 43 + 3 + 12 + 1},
        {u"D:\\cache\\", 9},
        {u"{PROGRAM_DIR}\\{PROGRAM_BASE}.files", 39 + 1 + 39 + 1 + 4 + 6 + 1},
    };
    for (const Case &c : cases) {
        constants.directoryTemplate = c.pattern;
        std::size_t fits = PROGRAM_PATH_LIMIT - 1 - c.directoryUnits;
        EXPECT_FALSE(programPathWarning(constants, u"Tool.EXE", std::u16string(fits, u'a')));
        std::optional<std::string> warning =
            programPathWarning(constants, u"Tool.EXE", std::u16string(fits + 1, u'a'));
        ASSERT_TRUE(warning) << utf16ToUtf8(c.pattern);
        EXPECT_NE(warning->find("estimated at 260 characters"), std::string::npos) << *warning;
    }
}

} // namespace
} // namespace tallix
