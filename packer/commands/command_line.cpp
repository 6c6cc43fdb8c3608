#include "packer/commands/command_line.h"

#include "packer/support/pack_errors.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace tallix {

namespace {

// The usage text's layout: option column, help column, right margin.
constexpr std::size_t USAGE_OPTION_INDENT = 2;
constexpr std::size_t USAGE_HELP_COLUMN = 29;
constexpr std::size_t USAGE_WIDTH = 79;
// A misspelling further than this many edits from every option is not one.
constexpr std::size_t SUGGESTION_MAX_EDITS = 2;

std::string seeHelp(const CommandSpec &command) {
    return " (see tallix-pack " + command.name + " --help)";
}

[[noreturn]] void refuse(const CommandSpec &command, const std::string &message) {
    throw BadInput(message + seeHelp(command));
}

// Edits (insertions, deletions, substitutions, swaps of neighbours) that turn
// `a` into `b`: "--compnay" is one swap from "--company".
std::size_t editDistance(const std::string &a, const std::string &b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

const OptionSpec *findOption(const CommandSpec &command, const std::string &name) {
    for (const OptionSpec &option : command.options) {
        if (name == option.name ||
            (option.shortName != 0 && name == std::string{'-', option.shortName})) {
            return &option;
        }
    }
    return nullptr;
}

bool isHelp(const std::string &argument) {
    return argument == "-h" || argument == "--help";
}

// "-" alone is an operand, as is the custom.
bool looksLikeOption(const std::string &argument) {
    return argument.size() > 1 && argument[0] == '-';
}

// -h or --help where an option stands, before "--": a value is the
// option's own, so "--arg --help" asks for no help.
bool helpRequested(const CommandSpec &command, const Arguments &args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &argument = args[i];
        if (argument == "--") {
            return false;
        }
        if (isHelp(argument)) {
            return true;
        }
        if (!looksLikeOption(argument) ||
            (argument.starts_with("--") && argument.find('=') != std::string::npos)) {
            continue;
        }
        const OptionSpec *option = findOption(command, argument);
        if (option != nullptr && option->kind != OptionKind::Flag) {
            ++i;
        }
    }
    return false;
}

const OptionSpec &knownOption(const CommandSpec &command, const std::string &name) {
    if (const OptionSpec *option = findOption(command, name)) {
        return *option;
    }
    std::string message = "unknown option '" + name + "'";
    std::vector<std::string> names;
    for (const OptionSpec &known : command.options) {
        names.push_back(known.name);
    }
    if (std::optional<std::string> suggestion = closestName(name, names)) {
        message += ", did you mean '" + *suggestion + "'?";
    }
    refuse(command, message);
}

// Parses the option at args[i] ("--name=value", "--name value", "-o value"
// or a flag), calls its setter and returns it; `i` is left at the last
// argument it used.
const OptionSpec &applyOption(const CommandSpec &command, const Arguments &args, std::size_t &i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    if (std::size_t equals = name.find('=');
        name.starts_with("--") && equals != std::string::npos) {
        inlineValue = name.substr(equals + 1);
        name.resize(equals);
    }
    const OptionSpec &option = knownOption(command, name);
    std::string value;
    if (option.kind == OptionKind::Flag) {
        if (inlineValue) {
            refuse(command, name + " takes no value");
        }
    } else if (inlineValue) {
        value = *inlineValue;
    } else if (i + 1 < args.size()) {
        value = args[++i];
    } else {
        refuse(command, name + " needs a value");
    }
    if (option.kind == OptionKind::Path && value.empty()) {
        refuse(command, name + " needs a file name");
    }
    try {
        option.set(value);
    } catch (const BadInput &problem) {
        refuse(command, problem.what());
    }
    return option;
}

void checkRequired(const CommandSpec &command, const std::vector<const OptionSpec *> &given) {
    for (const OptionSpec &option : command.options) {
        if (option.required && std::find(given.begin(), given.end(), &option) == given.end()) {
            std::string name =
                option.shortName != 0 ? std::string{'-', option.shortName} : option.name;
            refuse(command, "missing " + name + " " + option.valueName);
        }
    }
}

// Appends `text` wrapped to the usage width, every line after the first
// indented to the help column; `at` is the column the text starts in and
// is left at the column it ends in. Words are never split.
void appendWrapped(std::string &out, const std::string &text, std::size_t &at) {
    std::size_t position = 0;
    bool lineEmpty = at == USAGE_HELP_COLUMN;
    while (position < text.size()) {
        std::size_t end = text.find(' ', position);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string word = text.substr(position, end - position);
        position = end + 1;
        if (!lineEmpty && at + 1 + word.size() > USAGE_WIDTH) {
            out += '\n' + std::string(USAGE_HELP_COLUMN, ' ');
            at = USAGE_HELP_COLUMN;
            lineEmpty = true;
        }
        if (!lineEmpty) {
            out += ' ';
            ++at;
        }
        out += word;
        at += word.size();
        lineEmpty = false;
    }
}

// One option's entry; its default, "(default: ...)", is kept on one line.
void appendOptionEntry(std::string &out, const std::string &left, const std::string &help,
                       const std::string &defaultText) {
    std::string entry = std::string(USAGE_OPTION_INDENT, ' ') + left;
    out += entry;
    std::size_t at = entry.size();
    if (at + 1 >= USAGE_HELP_COLUMN) {
        out += '\n';
        at = 0;
    }
    out += std::string(USAGE_HELP_COLUMN - at, ' ');
    at = USAGE_HELP_COLUMN;
    appendWrapped(out, help, at);
    if (!defaultText.empty()) {
        std::string shown = "(default: " + defaultText + ")";
        if (at + 1 + shown.size() > USAGE_WIDTH) {
            out += '\n' + std::string(USAGE_HELP_COLUMN, ' ');
        } else {
            out += ' ';
        }
        out += shown;
    }
    out += '\n';
}

} // namespace

int parseNumber(const std::string &option, const std::string &value, int minimum, int maximum) {
    int number = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (error != std::errc() || end != value.data() + value.size() || number < minimum ||
        number > maximum) {
        throw BadInput(option + " '" + value + "': expected a number from " +
                       std::to_string(minimum) + " to " + std::to_string(maximum));
    }
    return number;
}

std::optional<std::string> closestName(const std::string &typed,
                                       const std::vector<std::string> &names) {
    std::optional<std::string> best;
    std::size_t bestDistance = SUGGESTION_MAX_EDITS + 1;
    for (const std::string &name : names) {
        std::size_t distance = editDistance(typed, name);
        // The shorter the name, the fewer edits still make a likely slip:
        // "--lvl" is two edits from "--level" but hardly meant for it.
        std::size_t letters = name.size() - std::min(name.find_first_not_of('-'), name.size());
        if (distance < bestDistance && distance * 3 <= letters) {
            best = name;
            bestDistance = distance;
        }
    }
    return best;
}

std::optional<std::string> parseCommandLine(const CommandSpec &command, const Arguments &args) {
    if (helpRequested(command, args)) {
        return std::nullopt;
    }
    std::optional<std::string> operand;
    std::vector<const OptionSpec *> given;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &argument = args[i];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && looksLikeOption(argument)) {
            given.push_back(&applyOption(command, args, i));
        } else if (operand) {
            refuse(command,
                   "unexpected argument '" + argument + "' (only one " + command.operand + ")");
        } else {
            operand = argument;
        }
    }
    if (!operand) {
        refuse(command, "missing " + command.operand);
    }
    checkRequired(command, given);
    return operand;
}

int runCommand(const CommandSpec &command, const Arguments &args,
               const std::function<int(const std::string &operand)> &body) {
    return runReportingErrors(command.name.c_str(), [&] {
        std::optional<std::string> operand = parseCommandLine(command, args);
        if (!operand) {
            std::fputs(usageText(command).c_str(), stdout);
            return int(STATUS_SUCCESS);
        }
        return body(*operand);
    });
}

std::string usageText(const CommandSpec &command) {
    std::string text = "usage: tallix-pack " + command.name + " " + command.synopsis + "\n";
    if (!command.description.empty()) {
        text += "\n" + command.description;
    }
    text += "\noptions:\n";
    for (const OptionSpec &option : command.options) {
        std::string left;
        if (option.shortName != 0) {
            left = std::string{'-', option.shortName} + ", ";
        }
        left += option.name;
        if (!option.valueName.empty()) {
            left += " " + option.valueName;
        }
        appendOptionEntry(text, left, option.required ? option.help + " (required)" : option.help,
                          option.defaultText);
    }
    appendOptionEntry(text, "-h, --help", "show this help", "");
    if (!command.epilogue.empty()) {
        text += "\n" + command.epilogue;
    }
    return text;
}

OptionSpec flagOption(std::string name, std::string help, bool &target) {
    OptionSpec option;
    option.name = std::move(name);
    option.kind = OptionKind::Flag;
    option.help = std::move(help);
    option.set = [&target](const std::string &) { target = true; };
    return option;
}

OptionSpec textOption(std::string name, std::string valueName, std::string defaultText,
                      std::string help, std::optional<std::string> &target) {
    return {std::move(name),      OptionKind::Text,
            std::move(valueName), std::move(defaultText),
            std::move(help),      [&target](const std::string &value) { target = value; }};
}

OptionSpec pathOption(std::string name, std::string valueName, std::string defaultText,
                      std::string help, std::optional<std::filesystem::path> &target) {
    return {std::move(name),
            OptionKind::Path,
            std::move(valueName),
            std::move(defaultText),
            std::move(help),
            [&target](const std::string &value) { target = std::filesystem::path(value); }};
}

OptionSpec numberOption(std::string name, std::string valueName, std::string defaultText,
                        std::string help, int minimum, int maximum, std::function<void(int)> set) {
    std::string shown = name;
    return {std::move(name),
            OptionKind::Number,
            std::move(valueName),
            std::move(defaultText),
            std::move(help),
            [shown, minimum, maximum, set = std::move(set)](const std::string &value) {
                set(parseNumber(shown, value, minimum, maximum));
            }};
}

} // namespace tallix
