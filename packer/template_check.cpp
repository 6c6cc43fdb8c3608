#include "packer/template_check.h"

#include "packer/text_encoding.h"

#include <array>

namespace tallix {

namespace {

constexpr std::array<const char *, 15> PLACEHOLDERS = {
    "TEMP",         "PROGRAM",         "PROGRAM_BASE", "PROGRAM_DIR", "PID",
    "HOME",         "CACHE_DIR",       "COMPANY",      "PRODUCT",     "VERSION",
    "FILE_VERSION", "PRODUCT_VERSION", "RANDOM",       "TIME_US",     "TIME"};

constexpr std::array<const char *, 3> PER_USER_PLACEHOLDERS = {"CACHE_DIR", "HOME", "TEMP"};

std::string upperAscii(const std::u16string &name) {
    std::string result;
    for (char16_t unit : name) {
        if (unit >= 0x80) {
            return {}; // no placeholder name has other letters
        }
        auto c = static_cast<char>(unit);
        result += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return result;
}

bool isPlaceholder(const std::string &name) {
    for (const char *known : PLACEHOLDERS) {
        if (name == known) {
            return true;
        }
    }
    return false;
}

} // namespace

TemplateCheck checkTemplate(const std::u16string &pattern) {
    TemplateCheck check;
    if (pattern.empty()) {
        check.error = "the template is empty";
        return check;
    }
    std::size_t literalUnits = 0;
    std::size_t open = std::u16string::npos;
    bool first = true;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        char16_t unit = pattern[i];
        if (unit == u'{') {
            if (open != std::u16string::npos) {
                check.error = "'{' inside the placeholder at offset " + std::to_string(open);
                return check;
            }
            open = i;
        } else if (unit == u'}' && open != std::u16string::npos) {
            std::u16string rawName = pattern.substr(open + 1, i - open - 1);
            std::string name = upperAscii(rawName);
            if (!isPlaceholder(name)) {
                check.error = "unknown placeholder '{" + utf16ToUtf8(rawName) + "}'";
                return check;
            }
            // "{HOME}x" would name a sibling of the profile, not a folder in it.
            bool separated =
                i + 1 == pattern.size() || pattern[i + 1] == u'\\' || pattern[i + 1] == u'/';
            if (first && separated) {
                for (const char *perUser : PER_USER_PLACEHOLDERS) {
                    check.perUserStart = check.perUserStart || name == perUser;
                }
            }
            check.placeholders.insert(name);
            if (open != 0) {
                check.notAtStart.insert(name);
            }
            open = std::u16string::npos;
            first = false;
        } else if (open == std::u16string::npos) {
            ++literalUnits;
            first = false;
        }
    }
    if (open != std::u16string::npos) {
        check.error = "placeholder at offset " + std::to_string(open) + " is not closed";
        return check;
    }
    if (literalUnits > TEMPLATE_TEXT_LIMIT) {
        check.error =
            "the template's text is longer than " + std::to_string(TEMPLATE_TEXT_LIMIT) + " units";
    }
    return check;
}

} // namespace tallix
