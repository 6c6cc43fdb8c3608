#include "paths/template_tokens.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The tokens of a template, one letter each for the kind (L literal,
// P placeholder, N nested "{", U unclosed) with its text or "{"'s offset.
std::u16string tokens(const std::u16string &pattern) {
    std::u16string result;
    const WideUnit *cursor = pattern.c_str();
    for (;;) {
        TemplateToken token = nextTemplateToken(cursor);
        std::u16string offset;
        for (char c : std::to_string(token.text - pattern.c_str())) {
            offset += static_cast<char16_t>(c);
        }
        switch (token.kind) {
        case TEMPLATE_END:
            return result;
        case TEMPLATE_LITERAL:
            result += u"L(" + std::u16string(token.text, token.length) + u")";
            break;
        case TEMPLATE_PLACEHOLDER:
            result += u"P(" + std::u16string(token.text, token.length) + u")";
            break;
        case TEMPLATE_NESTED_BRACE:
            return result + u"N@" + offset;
        case TEMPLATE_UNCLOSED:
            return result + u"U@" + offset;
        }
    }
}

TEST(TemplateTokens, OneGrammarForCheckAndExpansion) {
    const std::pair<std::u16string, std::u16string> table[] = {
        {u"", u""},
        {u"abc", u"L(abc)"},
        {u"{HOME}\\x{y}", u"P(HOME)L(\\x)P(y)"},
        {u"a}b{V}}", u"L(a}b)P(V)L(})"},
        {u"{}", u"P()"},
        {u"x{A{VERSION}", u"L(x)N@1"},
        {u"ab{HOME", u"L(ab)U@2"},
        {u"{", u"U@0"},
    };
    for (const auto &[pattern, expected] : table) {
        EXPECT_EQ(tokens(pattern), expected) << std::string(pattern.begin(), pattern.end());
    }
}

TEST(TemplateTokens, PlaceholderNamesIgnoreAsciiCaseOnly) {
    auto find = [](const std::u16string &name) {
        return findTemplatePlaceholder(name.c_str(), name.size());
    };
    EXPECT_EQ(find(u"cache_dir"), PH_CACHE_DIR);
    EXPECT_EQ(find(u"Time_Us"), PH_TIME_US);
    EXPECT_EQ(find(u"TIME"), PH_TIME);
    EXPECT_STREQ(templatePlaceholderName(PH_PRODUCT_VERSION), "PRODUCT_VERSION");
    for (const std::u16string unknown : {u"", u"TIM", u"TIMES", u"TEMP ", u"TEMP\u017F"}) {
        EXPECT_EQ(find(unknown), PH_UNKNOWN);
    }
}

} // namespace
