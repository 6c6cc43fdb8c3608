// The manifest's well-formedness check: what it accepts, and the line and
// cause of what it refuses.
#include "packer/support/text/xml_check.h"

#include <gtest/gtest.h>

#include <utility>

namespace tallix {
namespace {

TEST(XmlCheck, AcceptsWellFormedDocumentsAndNamesTheRoot) {
    // Each text and its root element's name.
    const std::pair<const char *, const char *> cases[] = {
        {"<a/>", "a"},
        {"\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- c -->\n<asm:assembly x='1' "
         "y=\"&lt;&#65;&#x42;\">"
         "<b>t &amp; &gt; ]</b><![CDATA[<not markup> & ]]><?pi?></asm:assembly>\n<!-- end -->\n",
         "asm:assembly"},
        {"<!DOCTYPE a>\n<a\n  k = \"v\" ></a >", "a"},
    };
    for (const auto &[text, root] : cases) {
        XmlCheck check = checkXml(text);
        EXPECT_FALSE(check.problem) << text << ": " << check.problem->cause;
        EXPECT_EQ(check.root, root);
    }
}

TEST(XmlCheck, RefusesWithTheLineAndCause) {
    const struct {
        const char *text;
        std::size_t line;
        const char *cause;
    } cases[] = {
        {"", 1, "expected the root element"},
        {"text", 1, "expected the root element"},
        {"<a>\n<b>\n</a>", 3, "</a> does not close <b>"},
        {"<a>\n<b>", 2, "<b> is not closed"},
        {"<a/><b/>", 1, "text after the root element's end"},
        {"<a x=1/>", 1, "<a>: the value of 'x' is not quoted"},
        {"<a x='1' x='2'/>", 1, "<a>: attribute 'x' given twice"},
        {"<a x='1'y='2'/>", 1, "<a>: expected white space, '>' or '/>'"},
        {"<a x/>", 1, "<a>: attribute 'x' has no '='"},
        {"<a x='<'/>", 1, "<a>: '<' in the value of 'x'"},
        {"<a>\n\nAT&T</a>", 3, "a bare '&' (write &amp;) or an unknown reference"},
        {"<a>&nbsp;</a>", 1, "a bare '&' (write &amp;) or an unknown reference"},
        {"<a><!-- open</a>", 1, "a comment is not closed"},
        {"<a>< b/></a>", 1, "expected the name of an element"},
        {"<!DOCTYPE a [<!ENTITY e 'x'>]><a/>", 1, "a document type with an internal subset"},
        {"</a>", 1, "</a> does not close any element"},
    };
    for (const auto &c : cases) {
        XmlCheck check = checkXml(c.text);
        ASSERT_TRUE(check.problem) << c.text;
        EXPECT_EQ(check.problem->line, c.line) << c.text;
        EXPECT_EQ(check.problem->cause, c.cause) << c.text;
    }
    std::string deep;
    for (int i = 0; i < 300; ++i) {
        deep += "<a>";
    }
    EXPECT_EQ(checkXml(deep).problem->cause, "elements nested deeper than 256");
}

} // namespace
} // namespace tallix
