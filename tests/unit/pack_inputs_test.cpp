// What the pack command makes of the user's inputs: version numbers,
// template checks, text encoding, the depfile, options.
#include "packer/commands/command_line.h"
#include "packer/support/depfile.h"
#include "packer/image/launcher_resources.h"
#include "packer/support/pack_errors.h"
#include "packer/commands/pack_options.h"
#include "packer/commands/pack_plan.h"
#include "packer/support/progress_line.h"
#include "packer/commands/template_check.h"
#include "packer/support/text_encoding.h"
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

TEST(TextEncoding, StrictUtf8) {
    EXPECT_EQ(utf8ToUtf16("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x9B\xA0"),
              std::u16string(u"a\u00E9\u20AC\U0001F6E0"));
    for (const char *bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF"}) {
        EXPECT_FALSE(utf8ToUtf16(bad)) << bad;
    }
    EXPECT_EQ(utf16ToUtf8(u"a\u00E9\U0001F6E0"), "a\xC3\xA9\xF0\x9F\x9B\xA0");
}

TEST(LauncherResources, AssemblyNames) {
    for (const char *good : {"Zere", "Orlisk.Halvory-Quin_2"}) {
        EXPECT_TRUE(isAssemblyName(good)) << good;
    }
    for (const char *bad : {"", "My App", ".Zere", "Zere.", "a\"b", "a<b", "\xC3\xA9"}) {
        EXPECT_FALSE(isAssemblyName(bad)) << bad;
    }
}

TEST(PackPlan, DefaultsFollowTheOutputName) {
    PackPlan plan = planPack(parsePackOptions({"app", "-o", "dist/My Tool.exe"}), {"tool.exe"});
    EXPECT_EQ(plan.constants.product, u"My Tool");
    EXPECT_EQ(plan.constants.company, u"My Tool");
    EXPECT_EQ(plan.constants.version, u"1.0.0");
    EXPECT_EQ(plan.constants.directoryTemplate, u"{CACHE_DIR}\\{COMPANY}\\{PRODUCT}-{VERSION}");
    EXPECT_EQ(plan.resources.originalFilename, u"My Tool.exe");
    EXPECT_EQ(plan.resources.internalName, u"My Tool");
    EXPECT_EQ(plan.resources.description, u"My Tool");
    EXPECT_EQ(plan.resources.manifestName, "My.Tool");
    EXPECT_EQ(plan.resources.fileVersion.padded(), "1.0.0.0");
    EXPECT_EQ(plan.mainProgram, "tool.exe");
    EXPECT_FALSE(plan.console);
    EXPECT_TRUE(plan.warnings.empty() && plan.lateWarnings.empty());
}

TEST(PackPlan, MainProgramTemplateAndSigningChoices) {
    auto plan = [](Arguments args, std::vector<std::string> programs) {
        args.insert(args.begin(), {"app", "-o", "x.exe"});
        return planPack(parsePackOptions(args), programs);
    };
    PackPlan below = plan({"--main", "bin/./run.exe", "--template", "C:\\{PRODUCT}"}, {});
    EXPECT_EQ(below.mainProgram, "bin/run.exe");
    EXPECT_EQ(below.warnings,
              std::vector<std::string>{"app: no .exe at the top of the application directory"});
    ASSERT_EQ(below.lateWarnings.size(), 1u);
    EXPECT_NE(below.lateWarnings[0].find("does not start in a per-user folder"), std::string::npos);
    for (const auto &[args, programs] : std::vector<std::pair<Arguments, std::vector<std::string>>>{
             {{}, {}},
             {{}, {"a.exe", "b.exe"}},
             {{"--main", "../a.exe"}, {"a.exe"}},
             {{"--sign-key", "k.pem"}, {"a.exe"}},
             {{"--company", "A/B"}, {"a.exe"}},
             {{"--manifest-name", "a b"}, {"a.exe"}},
             {{"--product", "P\x01"}, {"a.exe"}}}) {
        EXPECT_THROW(plan(args, programs), BadInput) << (args.empty() ? "" : args.back());
    }
}

TEST(Depfile, EscapesForMakeAndNinja) {
    EXPECT_EQ(depfilePath("/a b/c#d$e"), "/a\\ b/c\\#d$$e");
    EXPECT_EQ(depfilePath("x\\ y"), "x\\\\\\ y"); // the backslash before a blank doubled
    EXPECT_EQ(depfileText("out.exe", {"/app/a.exe", "/app/b c"}),
              "out.exe: \\\n  /app/a.exe \\\n  /app/b\\ c\n");
}

TEST(PackOptions, ValuesFormsAndOverrides) {
    PackOptions options =
        parsePackOptions({"-o", "x.exe", "--level=19", "--jobs", "3", "--gui", "--console",
                          "--company", "A", "--company", "B", "--window-log", "27", "--exclude",
                          "*.bak", "--exclude=tmp/", "--", "--"});
    EXPECT_EQ(options.appDirectory, "--"); // after "--" even a dash is the directory
    EXPECT_EQ(options.output, "x.exe");
    EXPECT_EQ(options.level, 19);
    EXPECT_EQ(options.jobs, 3);
    EXPECT_EQ(options.windowLog, 27);
    EXPECT_EQ(options.subsystem, Subsystem::Console);
    EXPECT_EQ(options.exclusions, (std::vector<std::string>{"*.bak", "tmp/"}));
    EXPECT_EQ(options.company, "B");
    EXPECT_EQ(parsePackOptions({"app", "-o", "x.exe"}).level, DEFAULT_LEVEL);
    EXPECT_EQ(parsePackOptions({"app", "-o", "x.exe"}).subsystem, std::nullopt);
    EXPECT_TRUE(parsePackOptions({"--help"}).help);
    for (const Arguments &bad : std::vector<Arguments>{{"app"},
                                                       {"-o", "x.exe"},
                                                       {"app", "-o", "x.exe", "--level", "23"},
                                                       {"app", "-o", "x.exe", "--window-log", "28"},
                                                       {"app", "-o", "x.exe", "--jobs", "1x"},
                                                       {"app", "-o", "x.exe", "--quiet=1"},
                                                       {"app", "-o"},
                                                       {"a", "b", "-o", "x.exe"}}) {
        EXPECT_THROW(parsePackOptions(bad), BadInput) << bad.back();
    }
}

TEST(ProgressLine, ReportsRatioRateAndTimeLeft) {
    struct Case {
        ProgressSnapshot snapshot;
        const char *line;
    };
    for (const Case &c : std::vector<Case>{
             {{12, 217, 50'000'000, 250'000'000, 12'500'000, 2.0},
              "  12/217 files  50.0/250.0 MB  ratio 25.0%  25.0 MB/s  ETA 8s"},
             // Nothing compressed yet: no ratio, no time left.
             {{1, 3, 0, 10, 0, 0.0}, "  1/3 files  0.0/0.0 MB  0.0 MB/s  ETA ?"},
             // Input compressed but no output produced yet (a small app): no "ratio 0.0%".
             {{3, 3, 4'000'000, 4'000'000, 0, 0.5}, "  3/3 files  4.0/4.0 MB  8.0 MB/s  ETA 0s"},
         }) {
        EXPECT_EQ(formatProgress(c.snapshot), c.line);
    }
}

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
