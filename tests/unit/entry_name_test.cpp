#include "format/attached_data.h"
#include "format/entry_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string printable(const std::u16string &name) {
    return std::string(name.begin(), name.end());
}

// Each name's first fault under every rule and where it is (the unit for a
// colon, slash or forbidden unit, else the start of its component), and
// whether the launcher joins it to its target directory (containment alone).
TEST(EntryName, FirstFaultAndContainment) {
    const struct {
        std::u16string name;
        EntryNameFault fault;
        std::size_t at;
        bool contained;
    } cases[] = {
        {u"a\\b\\c.dll", ENTRY_NAME_FINE, 0, true},
        {u".hidden", ENTRY_NAME_FINE, 0, true},
        {u"a..b", ENTRY_NAME_FINE, 0, true},
        {u"x .y", ENTRY_NAME_FINE, 0, true},
        {u"com10", ENTRY_NAME_FINE, 0, true},
        {u"console.exe", ENTRY_NAME_FINE, 0, true},
        {u"\u00e9t\u00e9", ENTRY_NAME_FINE, 0, true},
        {std::u16string(ENTRY_NAME_CAPACITY - 1, u'a'), ENTRY_NAME_FINE, 0, true},
        {u"", ENTRY_NAME_EMPTY, 0, false},
        {std::u16string(ENTRY_NAME_CAPACITY, u'a'), ENTRY_NAME_TOO_LONG, 0, true},
        {u"C:x.dll", ENTRY_NAME_DRIVE, 0, false},
        {u"C:\\x.dll", ENTRY_NAME_DRIVE, 0, false},
        {u"\\abs.dll", ENTRY_NAME_ABSOLUTE, 0, false},
        {u"a\\\\b", ENTRY_NAME_EMPTY_COMPONENT, 2, false},
        {u"a\\", ENTRY_NAME_EMPTY_COMPONENT, 2, false},
        {u".\\a", ENTRY_NAME_DOT_COMPONENT, 0, false},
        {u"ab\\..\\..\\c", ENTRY_NAME_DOT_COMPONENT, 3, false},
        {u"a\\ .\\b", ENTRY_NAME_BLANK_COMPONENT, 2, false},
        {u"x\\. .", ENTRY_NAME_BLANK_COMPONENT, 2, false},
        {u"... ", ENTRY_NAME_BLANK_COMPONENT, 0, false},
        {u"a/../../b", ENTRY_NAME_COLON_OR_SLASH, 1, false},
        {u"file:stream", ENTRY_NAME_COLON_OR_SLASH, 4, false},
        {u"ab\\c?d", ENTRY_NAME_FORBIDDEN_UNIT, 4, true},
        {u"tab\tname", ENTRY_NAME_FORBIDDEN_UNIT, 3, true},
        {u"quote\"", ENTRY_NAME_FORBIDDEN_UNIT, 5, true},
        {u"less<>", ENTRY_NAME_FORBIDDEN_UNIT, 4, true},
        // A fault outside containment does not hide a later one inside it.
        {u"star*\\..\\x", ENTRY_NAME_FORBIDDEN_UNIT, 4, false},
        {u"pipe|:x", ENTRY_NAME_FORBIDDEN_UNIT, 4, false},
        {u"dir.\\a", ENTRY_NAME_TRAILING_DOT_OR_SPACE, 0, true},
        {u"a\\trailing ", ENTRY_NAME_TRAILING_DOT_OR_SPACE, 2, true},
        {u"nul", ENTRY_NAME_DEVICE, 0, true},
        {u"sub\\CON.txt", ENTRY_NAME_DEVICE, 4, true},
        {u"Nul  .tar.gz", ENTRY_NAME_DEVICE, 0, true},
        {u"LPT9.log", ENTRY_NAME_DEVICE, 0, true},
        {u"com1", ENTRY_NAME_DEVICE, 0, true},
        {u"COM\u00b9.dat", ENTRY_NAME_DEVICE, 0, true},
        {u"conout$", ENTRY_NAME_DEVICE, 0, true},
    };
    for (const auto &c : cases) {
        const WideUnit *name = reinterpret_cast<const WideUnit *>(c.name.c_str());
        std::size_t at = 99;
        EXPECT_EQ(findEntryNameFault(name, c.name.size(), ENTRY_NAME_ALL_RULES, &at), c.fault)
            << printable(c.name);
        EXPECT_EQ(at, c.at) << printable(c.name);
        EXPECT_EQ(isContainedEntryName(name), c.contained) << printable(c.name);
    }
}

// One host name under the component rules (a "\\" in it is refused), and
// the folder marker's name in any case and at any depth under all rules.
TEST(EntryName, HostNamesAndTheLaunchersOwnNames) {
    const struct {
        std::u16string name;
        EntryNameRules rules;
        EntryNameFault fault;
        std::size_t at;
    } cases[] = {
        {u"a\\b.txt", ENTRY_NAME_COMPONENT_RULES, ENTRY_NAME_FORBIDDEN_UNIT, 1},
        {u"\\x", ENTRY_NAME_COMPONENT_RULES, ENTRY_NAME_FORBIDDEN_UNIT, 0},
        {u"C:x", ENTRY_NAME_COMPONENT_RULES, ENTRY_NAME_COLON_OR_SLASH, 1},
        {u"x.", ENTRY_NAME_COMPONENT_RULES, ENTRY_NAME_TRAILING_DOT_OR_SPACE, 0},
        {u"Aux.log", ENTRY_NAME_COMPONENT_RULES, ENTRY_NAME_DEVICE, 0},
        {u"plain.txt", ENTRY_NAME_COMPONENT_RULES, ENTRY_NAME_FINE, 0},
        {u".tallix-onefile-folder", ENTRY_NAME_COMPONENT_RULES, ENTRY_NAME_MARKER, 0},
        {u"a\\b.txt", ENTRY_NAME_ALL_RULES, ENTRY_NAME_FINE, 0},
        {u"x\\.TALLIX-OneFile-Folder", ENTRY_NAME_ALL_RULES, ENTRY_NAME_MARKER, 2},
        // Windows upper-cases a dotless i to I as well.
        {u".tall\u0131x-onefile-folder", ENTRY_NAME_ALL_RULES, ENTRY_NAME_MARKER, 0},
        {u".tallix-onefile-folder.txt", ENTRY_NAME_ALL_RULES, ENTRY_NAME_FINE, 0},
        {u"lib\\.Tallix-Onefile-CHECK", ENTRY_NAME_ALL_RULES, ENTRY_NAME_MARKER, 4},
        {u".tallix-onefile-folder", ENTRY_NAME_CONTAINMENT_RULES, ENTRY_NAME_FINE, 0},
        // The launcher's temporaries, which a later start may sweep away.
        {u"data\\~tallix-8-0.tmp", ENTRY_NAME_ALL_RULES, ENTRY_NAME_LAUNCHER_TEMPORARY, 5},
        {u"~TALLIX-.TMP", ENTRY_NAME_COMPONENT_RULES, ENTRY_NAME_LAUNCHER_TEMPORARY, 0},
        {u"~tallix-1.tmp.txt", ENTRY_NAME_ALL_RULES, ENTRY_NAME_FINE, 0},
        {u"~tallix.tmp", ENTRY_NAME_ALL_RULES, ENTRY_NAME_FINE, 0},
        {u"~tallix-8-0.tmp", ENTRY_NAME_CONTAINMENT_RULES, ENTRY_NAME_FINE, 0},
    };
    for (const auto &c : cases) {
        std::size_t at = 99;
        EXPECT_EQ(findEntryNameFault(reinterpret_cast<const WideUnit *>(c.name.c_str()),
                                     c.name.size(), c.rules, &at),
                  c.fault)
            << printable(c.name);
        EXPECT_EQ(at, c.at) << printable(c.name);
    }
}

// Pairs Windows takes for one name, and pairs it keeps apart.
TEST(EntryName, UpcaseFoldsLikeWindows) {
    const struct {
        char16_t a, b;
        bool same;
    } cases[] = {
        {u'a', u'A', true},           {u'z', u'Z', true},           {u'\u00e4', u'\u00c4', true},
        {u'\u00ff', u'\u0178', true}, {u'\u0101', u'\u0100', true}, {u'\u03c3', u'\u03a3', true},
        {u'\u03c2', u'\u03a3', true}, {u'\u01c6', u'\u01c4', true}, {u'\u01c5', u'\u01c4', true},
        {u'\u0436', u'\u0416', true}, {u'\uff41', u'\uff21', true}, {u'\u1f80', u'\u1f88', true},
        {u'\u0131', u'I', true},      {u'a', u'b', false},          {u'\u00df', u'\u1e9e', false},
        {u'i', u'\u0130', false},     {u'1', u'!', false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(upcaseNameUnit(c.a) == upcaseNameUnit(c.b), c.same)
            << std::hex << unsigned(c.a) << " " << unsigned(c.b);
    }
    // Upper case stays as it is: folding once is folding for good.
    for (unsigned unit = 0; unit <= 0xFFFF; ++unit) {
        WideUnit once = upcaseNameUnit(static_cast<WideUnit>(unit));
        ASSERT_EQ(upcaseNameUnit(once), once) << std::hex << unit;
    }
}

} // namespace
