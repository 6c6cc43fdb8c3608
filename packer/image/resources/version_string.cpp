#include "packer/image/resources/version_string.h"

namespace tallix {

std::optional<VersionNumber> parseVersion(const std::string &text) {
    VersionNumber version;
    version.text = text;
    std::size_t part = 0;
    std::size_t position = 0;
    while (true) {
        if (part == VERSION_PARTS) {
            return std::nullopt;
        }
        unsigned long value = 0;
        std::size_t digits = 0;
        while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
            value = value * 10 + static_cast<unsigned long>(text[position] - '0');
            if (value > VERSION_PART_MAX) {
                return std::nullopt;
            }
            ++position;
            ++digits;
        }
        if (digits == 0) {
            return std::nullopt;
        }
        version.parts[part++] = static_cast<std::uint16_t>(value);
        if (position == text.size()) {
            return version;
        }
        if (text[position] != '.') {
            return std::nullopt;
        }
        ++position;
    }
}

std::optional<VersionNumber> leadingVersion(const std::string &text) {
    // A dot belongs to the prefix only with a digit after it: "1.2." is 1.2.
    std::size_t end = 0;
    for (std::size_t parts = 0; parts < VERSION_PARTS; ++parts) {
        std::size_t digits = end + (parts == 0 ? 0 : 1);
        std::size_t after = digits;
        while (after < text.size() && text[after] >= '0' && text[after] <= '9') {
            ++after;
        }
        if (after == digits || (parts != 0 && text[end] != '.')) {
            break;
        }
        end = after;
        if (end == text.size()) {
            break;
        }
    }
    if (end == 0) {
        return std::nullopt;
    }
    std::optional<VersionNumber> version = parseVersion(text.substr(0, end));
    if (version) {
        version->text = text;
    }
    return version;
}

std::string VersionNumber::padded() const {
    std::string result;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        result += (i ? "." : "") + std::to_string(parts[i]);
    }
    return result;
}

std::string VersionNumber::commas() const {
    std::string result;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        result += (i ? "," : "") + std::to_string(parts[i]);
    }
    return result;
}

} // namespace tallix
