#include "packer/commands/pack/launcher_settings.h"

#include "format/constants_section.h"
#include "packer/support/pack_errors.h"
#include "packer/support/text/text_encoding.h"

#include <gtest/gtest.h>

namespace tallix {
namespace {

PackOptions optionsWith(Arguments args) {
    args.insert(args.begin(), {"app", "-o", "x.exe"});
    return parsePackOptions(args);
}

LauncherSettings settingsWith(Arguments args) {
    return launcherSettings(optionsWith(std::move(args)));
}

// The bytes of constant `id` in the head written for `constants`; empty if absent.
std::string constantBytes(const BuildConstants &constants, std::uint32_t id) {
    pe::Bytes head = constantsSectionHead(constants, 0, 0);
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

TEST(LauncherSettings, DefaultsFollowTheOutputName) {
    PackOptions options = parsePackOptions({"app", "-o", "dist/My Tool.exe"});
    LauncherSettings settings = launcherSettings(options);
    EXPECT_EQ(settings.constants.product, u"My Tool");
    EXPECT_EQ(settings.constants.company, u"My Tool");
    EXPECT_EQ(settings.constants.version, u"1.0.0");
    EXPECT_EQ(settings.constants.directoryTemplate, u"{CACHE_DIR}\\{COMPANY}\\{PRODUCT}-{VERSION}");
    EXPECT_EQ(settings.resources.originalFilename, u"My Tool.exe");
    EXPECT_EQ(settings.resources.internalName, u"My Tool");
    EXPECT_EQ(settings.resources.description, u"My Tool");
    EXPECT_EQ(settings.resources.manifestName, "My.Tool");
    EXPECT_EQ(settings.resources.fileVersion.padded(), "1.0.0.0");
    EXPECT_TRUE(templateWarnings(settings.constants).empty());
    MainProgramChoice main = chooseMainProgram(options, {"tool.exe"});
    EXPECT_EQ(main.relative, "tool.exe");
    EXPECT_FALSE(main.warning);
}

TEST(LauncherSettings, MainProgramAndRefusedOptions) {
    MainProgramChoice below = chooseMainProgram(optionsWith({"--main", "bin/./run.exe"}), {});
    EXPECT_EQ(below.relative, "bin/run.exe");
    EXPECT_EQ(below.warning, "app: no .exe at the top of the application directory");
    struct Case {
        Arguments args;
        std::vector<std::string> programs; // at the top of the application directory
    };
    for (const Case &c : std::vector<Case>{{{}, {}},
                                           {{}, {"a.exe", "b.exe"}},
                                           {{"--main", "../a.exe"}, {"a.exe"}},
                                           {{"--sign-key", "k.pem"}, {"a.exe"}},
                                           {{"--company", "A/B"}, {"a.exe"}},
                                           {{"--manifest-name", "a b"}, {"a.exe"}},
                                           {{"--product", "P\x01"}, {"a.exe"}}}) {
        PackOptions options = optionsWith(c.args);
        auto resolve = [&] {
            launcherSettings(options);
            chooseMainProgram(options, c.programs);
        };
        EXPECT_THROW(resolve(), BadInput) << (c.args.empty() ? "" : c.args.back());
    }
}

TEST(LauncherSettings, LaunchOptionsStoredOnlyWhenGivenAndInOrder) {
    BuildConstants plain = settingsWith({}).constants;
    EXPECT_EQ(constantBytes(plain, CONSTANT_LEADING_ARGUMENTS), "");
    EXPECT_EQ(constantBytes(plain, CONSTANT_LAUNCH_OPTIONS), "");

    BuildConstants given =
        settingsWith({"--arg", "{app_dir}\\js\\index.js", "--arg", "", "--arg", "--port={PID}",
                      "--clean-old-versions", "--kill-child-with-launcher"})
            .constants;
    EXPECT_EQ(constantBytes(given, CONSTANT_LEADING_ARGUMENTS),
              wideBytes(std::u16string(u"{app_dir}\\js\\index.js\0\0--port={PID}\0", 36)));
    EXPECT_EQ(constantBytes(given, CONSTANT_LAUNCH_OPTIONS), std::string("\x03\0\0\0", 4));
}

TEST(LauncherSettings, ArgumentsAreCheckedLikeTheTemplate) {
    for (const char *good : {"{APP_DIR}", "x{APP_DIR}{APP_DIR}y", "{PRODUCT}-{APP_DIR}\\a b"}) {
        EXPECT_NO_THROW(settingsWith({"--arg", good})) << good;
    }
    for (const char *bad : {"{APP_DIR", "{NOPE}", "{APP_DIR}{", "{X{APP_DIR}}", "a\tb"}) {
        EXPECT_THROW(settingsWith({"--arg", bad}), BadInput) << bad;
    }
}

TEST(LauncherSettings, TemplateWarnings) {
    struct Case {
        const char *pattern;
        std::vector<const char *> warnings; // a part of each warning expected, in order
    } cases[] = {
        {"{CACHE_DIR}\\A\\{PRODUCT}", {}},
        {"C:\\{PRODUCT}", {"does not start in a per-user folder"}},
        {"{PROGRAM_DIR}\\{PROGRAM_BASE}.files",
         {"has {PROGRAM_BASE} after its start", "does not start in a per-user folder"}},
        {"{TEMP}\\x{HOME}", {"has {HOME} after its start"}},
        {"{TEMP}\\{PRODUCT}-{RANDOM}", {"uses {RANDOM}: every start unpacks"}},
        {"{TEMP}\\{pid}-{TIME}", {"uses {PID}, {TIME}: every start unpacks"}},
        {"{HOME}\\..\\{PRODUCT}", {"has a '..' folder"}},
    };
    for (const Case &c : cases) {
        std::vector<std::string> warnings =
            templateWarnings(settingsWith({"--template", c.pattern}).constants);
        ASSERT_EQ(warnings.size(), c.warnings.size()) << c.pattern;
        for (std::size_t i = 0; i < warnings.size(); ++i) {
            EXPECT_NE(warnings[i].find(c.warnings[i]), std::string::npos) << warnings[i];
        }
    }
}

TEST(LauncherSettings, ProductVersionIsFreeTextBesideANumericVersion) {
    const struct {
        Arguments args;
        std::optional<std::u16string> text; // the string table's, when free text
        const char *numeric;
    } cases[] = {
        {{"--product-version", "2.1-beta"}, u"2.1-beta", "2.1.0.0"},
        {{"--app-version", "3.4", "--product-version", "nightly"}, u"nightly", "3.4.0.0"},
        {{"--product-version", "1.2"}, std::nullopt, "1.2.0.0"},
        {{"--app-version", "5"}, std::nullopt, "5.0.0.0"},
    };
    for (const auto &c : cases) {
        LauncherSettings settings = settingsWith(c.args);
        EXPECT_EQ(settings.resources.productVersionText, c.text) << c.args.back();
        EXPECT_EQ(settings.resources.productVersion.padded(), c.numeric) << c.args.back();
        EXPECT_EQ(settings.constants.productVersion,
                  c.text.value_or(utf8ToUtf16(c.args.back()).value()));
    }
    for (const char *bad : {"", "70000-x", "1.0\tbeta"}) {
        EXPECT_THROW(settingsWith({"--product-version", bad}), BadInput) << bad;
    }
}

} // namespace
} // namespace tallix
