// Checks a directory template before it is compiled into a launcher: the
// launcher itself only finds a bad template when a user starts it.
#pragma once

#include <optional>
#include <set>
#include <string>

namespace tallix {

// The template of the launcher's extraction directory when none is given:
// per user, and apart for every company, product and version.
inline constexpr char DEFAULT_TEMPLATE[] = "{CACHE_DIR}\\{COMPANY}\\{PRODUCT}-{VERSION}";

// Longest expanded directory the launcher accepts, terminator excluded.
constexpr std::size_t TEMPLATE_TEXT_LIMIT = 4095;

struct TemplateCheck {
    std::optional<std::string> error;   // why the template is refused
    std::set<std::string> placeholders; // names used, upper case
    bool perUserStart = false;          // starts with {CACHE_DIR}, {HOME} or {TEMP} and a separator
    std::set<std::string> notAtStart;   // names used after the first unit, upper case
};

// Placeholders whose value is a full path: only sound at a template's start.
inline const std::set<std::string> PATH_PLACEHOLDERS = {"PROGRAM", "PROGRAM_BASE", "PROGRAM_DIR",
                                                        "TEMP",    "HOME",         "CACHE_DIR"};
// Placeholders that differ on every start: a new folder each time.
inline const std::set<std::string> PER_START_PLACEHOLDERS = {"RANDOM", "PID", "TIME", "TIME_US"};

// Refuses an empty template, an unknown or empty placeholder name, a "{"
// inside a placeholder, a placeholder left open at the end, and literal text
// longer than the launcher's path buffer. Names compare without case.
TemplateCheck checkTemplate(const std::u16string &pattern);

} // namespace tallix
