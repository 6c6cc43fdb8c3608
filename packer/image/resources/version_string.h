// Version strings as the version resource stores them: 1 to 4 dot-separated
// numbers, each a 16-bit field of the binary version.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace tallix {

enum { VERSION_PARTS = 4 };
// Each part is one 16-bit half of a 64-bit binary version.
constexpr unsigned long VERSION_PART_MAX = 65535;

struct VersionNumber {
    std::array<std::uint16_t, VERSION_PARTS> parts{}; // missing parts are 0
    std::string text;                                 // as given, e.g. "1.1.0"

    std::string padded() const; // "1.1.0.0"
    std::string commas() const; // "1,1,0,0", the resource script's form
};

// Parses `text`; nullopt when it is not 1 to 4 numbers (decimal digits only)
// separated by single dots, each at most VERSION_PART_MAX.
std::optional<VersionNumber> parseVersion(const std::string &text);

// The version `text` starts with: its longest prefix of 1 to 4 numbers
// separated by single dots ("2.1-beta": 2.1), `text` kept whole. nullopt
// when it starts with no digit or a number of that prefix passes
// VERSION_PART_MAX.
std::optional<VersionNumber> leadingVersion(const std::string &text);

} // namespace tallix
