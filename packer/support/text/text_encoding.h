// Text conversions: the user's options arrive as UTF-8, the launcher keeps
// UTF-16.
#pragma once

#include <optional>
#include <string>

namespace tallix {

// Strict UTF-8 to UTF-16: nullopt on malformed, overlong or surrogate input.
std::optional<std::u16string> utf8ToUtf16(const std::string &text);

// A lone surrogate becomes U+FFFD.
std::string utf16ToUtf8(const std::u16string &text);

// False when `text` has a surrogate that is not half of a pair.
bool isWellFormedUtf16(const std::u16string &text);

} // namespace tallix
