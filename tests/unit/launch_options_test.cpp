// The launch options from the packer's plan to the constants section, and
// the unpack folder marker that old versions are recognised by.
#include "format/constants_section.h"
#include "packer/support/pack_errors.h"
#include "packer/commands/pack_options.h"
#include "packer/commands/pack_plan.h"
#include "payload/folder_marker.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tallix {
namespace {

PackPlan planWith(Arguments options) {
    options.insert(options.begin(), {"app", "-o", "x.exe"});
    return planPack(parsePackOptions(options), {"x.exe"});
}

// The bytes of constant `id` in the head written for `plan`; empty if absent.
std::string constantBytes(const PackPlan &plan, std::uint32_t id) {
    pe::Bytes head = constantsSectionHead(plan.constants, 0, 0);
    const unsigned char *data;
    std::uint64_t size;
    if (!findBuildConstant(head.data(), head.size(), id, &data, &size)) {
        return {};
    }
    return std::string(reinterpret_cast<const char *>(data), size);
}

std::string wideBytes(const std::u16string &text) {
    std::string bytes;
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

TEST(LaunchOptions, StoredOnlyWhenGivenAndInOrder) {
    PackPlan plain = planWith({});
    EXPECT_EQ(constantBytes(plain, CONSTANT_LEADING_ARGUMENTS), "");
    EXPECT_EQ(constantBytes(plain, CONSTANT_LAUNCH_OPTIONS), "");

    PackPlan plan =
        planWith({"--arg", "{app_dir}\\js\\index.js", "--arg", "", "--arg", "--port={PID}",
                  "--clean-old-versions", "--kill-child-with-launcher"});
    EXPECT_EQ(constantBytes(plan, CONSTANT_LEADING_ARGUMENTS),
              wideBytes(std::u16string(u"{app_dir}\\js\\index.js\0\0--port={PID}\0", 36)));
    EXPECT_EQ(constantBytes(plan, CONSTANT_LAUNCH_OPTIONS), std::string("\x03\0\0\0", 4));
}

TEST(LaunchOptions, ArgumentsAreCheckedLikeTheTemplate) {
    for (const char *good : {"{APP_DIR}", "x{APP_DIR}{APP_DIR}y", "{PRODUCT}-{APP_DIR}\\a b"}) {
        EXPECT_NO_THROW(planWith({"--arg", good})) << good;
    }
    for (const char *bad : {"{APP_DIR", "{NOPE}", "{APP_DIR}{", "{X{APP_DIR}}", "a\tb"}) {
        EXPECT_THROW(planWith({"--arg", bad}), BadInput) << bad;
    }
}

TEST(LaunchOptions, TemplateWarnings) {
    struct Case {
        const char *pattern;
        const char *warning; // a part of the one warning expected, or null for none
    } cases[] = {
        {"{CACHE_DIR}\\A\\{PRODUCT}", nullptr},
        {"{PROGRAM_DIR}\\{PROGRAM_BASE}.files", "has {PROGRAM_BASE} after its start"},
        {"{TEMP}\\x{HOME}", "has {HOME} after its start"},
        {"{TEMP}\\{PRODUCT}-{RANDOM}", "uses {RANDOM}: every start unpacks"},
        {"{TEMP}\\{pid}-{TIME}", "uses {PID}, {TIME}: every start unpacks"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> warnings = planWith({"--template", c.pattern}).lateWarnings;
        std::erase_if(warnings, [](const std::string &w) { return w.find("per-user") != w.npos; });
        ASSERT_EQ(warnings.size(), c.warning ? 1u : 0u) << c.pattern;
        if (c.warning) {
            EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << warnings[0];
        }
    }
}

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
} // namespace tallix
