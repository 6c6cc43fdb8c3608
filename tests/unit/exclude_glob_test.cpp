// --exclude patterns, matched as .gitignore matches its lines.
#include "packer/block/exclude_glob.h"
#include "packer/support/pack_errors.h"

#include <gtest/gtest.h>

namespace tallix {
namespace {

TEST(ExcludeGlob, MatchesLikeGitignore) {
    struct Case {
        const char *pattern;
        const char *path;
        bool directory;
        bool excluded;
    };
    const Case cases[] = {
        // No '/' inside: a name at any depth, files and folders alike.
        {"*.bak", "a.bak", false, true},
        {"*.bak", "deep/er/a.bak", false, true},
        {"*.bak", "a.bak.txt", false, false},
        {"*.bak", ".bak", false, true},
        {"cache", "x/cache", true, true},
        {"ca?he", "cache", false, true},
        {"ca?he", "caache", false, false},
        {"a*b*c", "aXbYbZc", false, true},
        {"a*b*c", "aXbYc!", false, false},
        // A trailing '/': folders only.
        {"tmp/", "tmp", true, true},
        {"tmp/", "tmp", false, false},
        {"tmp/", "src/tmp", true, true},
        // A '/' inside or in front anchors at the application directory.
        {"node_modules/.bin/", "node_modules/.bin", true, true},
        {"node_modules/.bin/", "x/node_modules/.bin", true, false},
        {"/a.txt", "a.txt", false, true},
        {"/a.txt", "sub/a.txt", false, false},
        {"doc/*.md", "doc/a.md", false, true},
        {"doc/*.md", "doc/sub/a.md", false, false}, // '*' stays within one name
        // "**": any number of folders, none included; a trailing one is
        // what lies inside, not the folder itself.
        {"**/build", "build", true, true},
        {"**/build", "a/b/build", true, true},
        {"a/**/z", "a/z", false, true},
        {"a/**/z", "a/b/c/z", false, true},
        {"a/**/z", "a/b/c/y", false, false},
        {"logs/**", "logs/x/y.log", false, true},
        {"logs/**", "logs", true, false},
        {"x**y", "xaby", false, true}, // not a whole name: an ordinary '*'
        {"x**y", "xa/by", false, false},
        {"**", "any/thing", false, true},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(ExcludeGlob(c.pattern).matches(c.path, c.directory), c.excluded)
            << c.pattern << " on " << c.path << (c.directory ? "/" : "");
    }
}

TEST(ExcludeGlob, RefusesWhatItWouldMisread) {
    for (const char *bad : {"", "/", "!keep.txt", "a\\b", "*.[oa]", "a//b"}) {
        EXPECT_THROW(ExcludeGlob{bad}, BadInput) << bad;
    }
    std::vector<ExcludeGlob> globs{ExcludeGlob("*.log"), ExcludeGlob("tmp/")};
    EXPECT_EQ(findExclusion(globs, "tmp", true), &globs[1]);
    EXPECT_EQ(findExclusion(globs, "tmp", false), nullptr);
}

} // namespace
} // namespace tallix
