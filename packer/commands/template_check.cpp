#include "packer/commands/template_check.h"

#include "packer/support/text_encoding.h"
#include "paths/template_tokens.h"

#include <array>

namespace tallix {

namespace {

constexpr std::array<TemplatePlaceholder, 3> PER_USER_PLACEHOLDERS = {PH_CACHE_DIR, PH_HOME,
                                                                      PH_TEMP};

} // namespace

// Tokenised exactly as the launcher expands it (paths/template_tokens.h).
TemplateCheck checkTemplate(const std::u16string &pattern) {
    TemplateCheck check;
    if (pattern.empty()) {
        check.error = "the template is empty";
        return check;
    }
    std::size_t literalUnits = 0;
    bool first = true;
    // One UTF-16 unit either way; only the spelling differs between builds.
    const WideUnit *start = reinterpret_cast<const WideUnit *>(pattern.c_str());
    const WideUnit *cursor = start;
    for (;;) {
        TemplateToken token = nextTemplateToken(cursor);
        const auto offset = std::to_string(token.text - start);
        switch (token.kind) {
        case TEMPLATE_END:
            if (literalUnits > TEMPLATE_TEXT_LIMIT) {
                check.error = "the template's text is longer than " +
                              std::to_string(TEMPLATE_TEXT_LIMIT) + " units";
            }
            return check;
        case TEMPLATE_NESTED_BRACE:
            check.error = "'{' inside the placeholder at offset " + offset;
            return check;
        case TEMPLATE_UNCLOSED:
            check.error = "placeholder at offset " + offset + " is not closed";
            return check;
        case TEMPLATE_LITERAL:
            literalUnits += token.length;
            first = false;
            break;
        case TEMPLATE_PLACEHOLDER: {
            TemplatePlaceholder placeholder = findTemplatePlaceholder(token.text, token.length);
            if (placeholder == PH_UNKNOWN) {
                check.error = "unknown placeholder '{" +
                              utf16ToUtf8(pattern.substr(
                                  static_cast<std::size_t>(token.text - start), token.length)) +
                              "}'";
                return check;
            }
            // "{HOME}x" would name a sibling of the profile, not a folder in it.
            bool separated = *cursor == 0 || *cursor == u'\\' || *cursor == u'/';
            if (first && separated) {
                for (TemplatePlaceholder perUser : PER_USER_PLACEHOLDERS) {
                    check.perUserStart = check.perUserStart || placeholder == perUser;
                }
            }
            check.placeholders.insert(templatePlaceholderName(placeholder));
            if (token.text - 1 != start) {
                check.notAtStart.insert(templatePlaceholderName(placeholder));
            }
            first = false;
            break;
        }
        }
    }
}

} // namespace tallix
