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

} // namespace
