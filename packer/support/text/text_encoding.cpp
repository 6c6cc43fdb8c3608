#include "packer/support/text/text_encoding.h"

#include <cstdint>
#include <cstdio>

namespace tallix {

std::optional<std::u16string> utf8ToUtf16(const std::string &text) {
    std::u16string result;
    std::size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<unsigned char>(text[i]);
        std::uint32_t code = 0;
        std::size_t length = 0;
        std::uint32_t minimum = 0;
        if (byte < 0x80) {
            code = byte;
            length = 1;
        } else if ((byte & 0xE0) == 0xC0) {
            code = byte & 0x1F;
            length = 2;
            minimum = 0x80;
        } else if ((byte & 0xF0) == 0xE0) {
            code = byte & 0x0F;
            length = 3;
            minimum = 0x800;
        } else if ((byte & 0xF8) == 0xF0) {
            code = byte & 0x07;
            length = 4;
            minimum = 0x10000;
        } else {
            return std::nullopt;
        }
        if (i + length > text.size()) {
            return std::nullopt;
        }
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            code = (code << 6) | (next & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return std::nullopt;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            result.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            result.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            result.push_back(static_cast<char16_t>(code));
        }
        i += length;
    }
    return result;
}

namespace {

// The code point at text[i], stepping `i` over the second half of a pair;
// nullopt for a lone surrogate.
std::optional<std::uint32_t> codePointAt(const std::u16string &text, std::size_t &i) {
    std::uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
        ++i;
        return 0x10000 + ((code - 0xD800) << 10) + (text[i] - 0xDC00);
    }
    if (code >= 0xD800 && code <= 0xDFFF) {
        return std::nullopt;
    }
    return code;
}

} // namespace

bool isWellFormedUtf16(const std::u16string &text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!codePointAt(text, i)) {
            return false;
        }
    }
    return true;
}

std::string utf16ToUtf8(const std::u16string &text) {
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t code = codePointAt(text, i).value_or(0xFFFD); // no UTF-8 form
        if (code < 0x80) {
            result += static_cast<char>(code);
        } else if (code < 0x800) {
            result += static_cast<char>(0xC0 | (code >> 6));
            result += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            result += static_cast<char>(0xE0 | (code >> 12));
            result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | (code >> 18));
            result += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return result;
}

} // namespace tallix
