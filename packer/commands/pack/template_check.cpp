#include "packer/commands/pack/template_check.h"

#include "format/entry_name.h"
#include "packer/commands/command_line.h"
#include "packer/support/text/text_encoding.h"
#include "paths/template_tokens.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>

namespace tallix {

namespace {

constexpr std::array<TemplatePlaceholder, 3> PER_USER_PLACEHOLDERS = {PH_CACHE_DIR, PH_HOME,
                                                                      PH_TEMP};

// "unknown placeholder '{CACHEDIR}', did you mean '{CACHE_DIR}'?", the
// suggestion only for a name close to a known one (in any letter case, as
// the launcher reads them).
std::string unknownPlaceholder(const std::string &name, const std::vector<std::string> &alsoKnown) {
    std::string message = "unknown placeholder '{" + name + "}'";
    std::vector<std::string> known = alsoKnown;
    for (int p = 0; p < PH_UNKNOWN; ++p) {
        known.push_back(templatePlaceholderName(static_cast<TemplatePlaceholder>(p)));
    }
    std::string typed = name;
    for (char &c : typed) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (std::optional<std::string> closest = closestName(typed, known); closest && !typed.empty()) {
        message += ", did you mean '{" + *closest + "}'?";
    }
    return message;
}

} // namespace

// Tokenised exactly as the launcher expands it (paths/template_tokens.h).
TemplateCheck checkTemplate(const std::u16string &pattern,
                            const std::vector<std::string> &alsoKnown) {
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
                check.error = unknownPlaceholder(
                    utf16ToUtf8(
                        pattern.substr(static_cast<std::size_t>(token.text - start), token.length)),
                    alsoKnown);
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

namespace {

// As the launcher makes {PROGRAM_BASE}: ".exe" in any letter case dropped.
std::u16string withoutExe(const std::u16string &name) {
    static const std::u16string EXE = u".exe";
    if (name.size() < EXE.size()) {
        return name;
    }
    std::size_t stem = name.size() - EXE.size();
    for (std::size_t i = 0; i < EXE.size(); ++i) {
        char16_t unit = name[stem + i];
        if ((unit >= u'A' && unit <= u'Z' ? unit - u'A' + u'a' : unit) != EXE[i]) {
            return name;
        }
    }
    return name.substr(0, stem);
}

std::u16string estimatePlaceholder(TemplatePlaceholder placeholder, const BuildConstants &constants,
                                   const std::u16string &launcherName,
                                   const MachineSample &machine) {
    switch (placeholder) {
    case PH_TEMP:
        return machine.temp;
    case PH_PROGRAM:
        return machine.programDir + u"\\" + launcherName;
    case PH_PROGRAM_BASE:
        return machine.programDir + u"\\" + withoutExe(launcherName);
    case PH_PROGRAM_DIR:
        return machine.programDir;
    case PH_PID:
        return machine.pid;
    case PH_HOME:
        return machine.home;
    case PH_CACHE_DIR:
        return machine.cacheDir;
    case PH_COMPANY:
        return constants.company;
    case PH_PRODUCT:
        return constants.product;
    case PH_VERSION:
        return constants.version;
    case PH_FILE_VERSION:
        return constants.fileVersion;
    case PH_PRODUCT_VERSION:
        return constants.productVersion;
    case PH_RANDOM:
        return SAMPLE_RANDOM;
    case PH_TIME_US:
        return SAMPLE_TIME_US;
    case PH_TIME:
        return SAMPLE_TIME;
    case PH_UNKNOWN:
        break;
    }
    return {};
}

} // namespace

std::u16string estimateExpansion(const BuildConstants &constants,
                                 const std::u16string &launcherName, const MachineSample &machine) {
    std::u16string expanded;
    const WideUnit *cursor =
        reinterpret_cast<const WideUnit *>(constants.directoryTemplate.c_str());
    for (;;) {
        TemplateToken token = nextTemplateToken(cursor);
        const auto *text = reinterpret_cast<const char16_t *>(token.text);
        switch (token.kind) {
        case TEMPLATE_LITERAL:
            expanded.append(text, token.length);
            break;
        case TEMPLATE_PLACEHOLDER:
            expanded += estimatePlaceholder(findTemplatePlaceholder(token.text, token.length),
                                            constants, launcherName, machine);
            break;
        default:
            return expanded;
        }
    }
}

namespace {

bool isSeparator(char16_t unit) {
    return unit == u'\\' || unit == u'/';
}

// Judges one folder name of the expansion; `leading` is the placeholder it
// starts with, if any.
void judgeFolder(const std::u16string &folder, const std::optional<std::string> &leading,
                 const std::string &pattern, FolderNameCheck &check) {
    if (folder.empty() || check.error) {
        return;
    }
    const std::string shown = "'" + utf16ToUtf8(folder) + "'";
    switch (findEntryNameFault(reinterpret_cast<const WideUnit *>(folder.data()), folder.size(),
                               ENTRY_NAME_COMPONENT_RULES, nullptr)) {
    case ENTRY_NAME_TRAILING_DOT_OR_SPACE:
    case ENTRY_NAME_BLANK_COMPONENT:
        check.error = "the folder name " + shown +
                      " ends in a dot or a space, which Windows drops from a folder name";
        break;
    case ENTRY_NAME_DEVICE:
        check.error = "the folder name " + shown +
                      " is a device name on Windows (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to "
                      "LPT9, also with an extension), which cannot name a folder";
        check.deviceFrom = leading;
        break;
    case ENTRY_NAME_DOT_COMPONENT:
        if (folder == u"..") {
            check.warning = pattern +
                            " has a '..' folder: the unpack folder lies outside the folder named "
                            "before it; make sure that is where it belongs";
        }
        break;
    default:
        break;
    }
}

} // namespace

FolderNameCheck checkFolderNames(const BuildConstants &constants,
                                 const std::u16string &launcherName) {
    FolderNameCheck check;
    const std::string pattern = "the template '" + utf16ToUtf8(constants.directoryTemplate) + "'";
    std::u16string folder;
    std::optional<std::string> leading;
    auto append = [&](const char16_t *text, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) {
            if (isSeparator(text[i])) {
                judgeFolder(folder, leading, pattern, check);
                folder.clear();
                leading.reset();
            } else {
                folder += text[i];
            }
        }
    };
    const WideUnit *cursor =
        reinterpret_cast<const WideUnit *>(constants.directoryTemplate.c_str());
    for (;;) {
        TemplateToken token = nextTemplateToken(cursor);
        if (token.kind == TEMPLATE_LITERAL) {
            append(reinterpret_cast<const char16_t *>(token.text), token.length);
        } else if (token.kind == TEMPLATE_PLACEHOLDER) {
            TemplatePlaceholder placeholder = findTemplatePlaceholder(token.text, token.length);
            if (folder.empty()) {
                leading = templatePlaceholderName(placeholder);
            }
            std::u16string value =
                estimatePlaceholder(placeholder, constants, launcherName, ESTIMATED_MACHINE);
            append(value.data(), value.size());
        } else {
            judgeFolder(folder, leading, pattern, check);
            return check;
        }
    }
}

std::optional<std::string> programPathWarning(const BuildConstants &constants,
                                              const std::u16string &launcherName,
                                              const std::u16string &mainProgram) {
    std::u16string path = estimateExpansion(constants, launcherName);
    if (path.empty() || path.back() != u'\\') {
        path += u'\\';
    }
    path += mainProgram;
    if (path.size() < PROGRAM_PATH_LIMIT) {
        return std::nullopt;
    }
    return "the main program's unpacked path is estimated at " + std::to_string(path.size()) +
           " characters ('" + utf16ToUtf8(path) + "'); Windows starts no program from a path of " +
           std::to_string(PROGRAM_PATH_LIMIT) +
           " characters or more unless LongPathsEnabled is set, so the launcher would fail to "
           "start it: choose a shorter --template";
}

} // namespace tallix
