// The command-line layer of every subcommand: one table of options per
// command drives both the parsing and the usage text, so the two cannot
// drift apart and every command reports mistakes the same way.
#pragma once

#include "packer/commands/commands.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tallix {

enum class OptionKind {
    Flag,   // no value
    Text,   // any value, empty included
    Path,   // a file or directory name: an empty value is refused
    Number, // an integer; the setter range-checks it with parseNumber
};

struct OptionSpec {
    std::string name; // the long form, "--level"
    OptionKind kind = OptionKind::Text;
    std::string valueName;   // "N", "FILE"; empty for a flag
    std::string defaultText; // shown as "(default: ...)"; empty: none shown
    std::string help;        // one paragraph, wrapped by the usage text
    std::function<void(const std::string &value)> set; // a flag gets ""
    char shortName = 0;                                // 'o' for -o; 0: none
    bool required = false;
};

struct CommandSpec {
    std::string name;        // "pack"
    std::string operand;     // "APP_DIR": every command takes exactly one
    std::string synopsis;    // the usage line after "tallix-pack NAME "
    std::string description; // paragraphs before the options
    std::vector<OptionSpec> options;
    std::string epilogue; // text after the options
};

// Calls the setters in argument order (a later option overrides an earlier
// one) and returns the operand, or nullopt when -h or --help stands where
// an option may, before "--" (not as an option's value: "--arg --help"). Throws BadInput "... (see
// tallix-pack NAME --help)" for an unknown option (suggesting the closest one), a missing, surplus
// or empty value, a missing operand or required option, and what a setter throws.
std::optional<std::string> parseCommandLine(const CommandSpec &command, const Arguments &args);

// Runs a command: with -h or --help prints the usage text and returns 0;
// otherwise calls `body` with the operand. An error escaping either is
// reported as runReportingErrors (packer/support/pack_errors.h) does.
int runCommand(const CommandSpec &command, const Arguments &args,
               const std::function<int(const std::string &operand)> &body);

// The text `--help` prints: usage line, description, one entry per option
// (with its default), "-h, --help", epilogue.
std::string usageText(const CommandSpec &command);

// The name among `names` that `typed` most likely misspells (a letter or two
// wrong, missing, extra or swapped), if any is close enough to suggest.
std::optional<std::string> closestName(const std::string &typed,
                                       const std::vector<std::string> &names);

// `value` as an integer from `minimum` to `maximum`; throws BadInput naming
// `option` and the range otherwise.
int parseNumber(const std::string &option, const std::string &value, int minimum, int maximum);

// Rows for the common kinds, bound to the field they set.
OptionSpec flagOption(std::string name, std::string help, bool &target);
OptionSpec textOption(std::string name, std::string valueName, std::string defaultText,
                      std::string help, std::optional<std::string> &target);
OptionSpec pathOption(std::string name, std::string valueName, std::string defaultText,
                      std::string help, std::optional<std::filesystem::path> &target);
OptionSpec numberOption(std::string name, std::string valueName, std::string defaultText,
                        std::string help, int minimum, int maximum, std::function<void(int)> set);

} // namespace tallix
