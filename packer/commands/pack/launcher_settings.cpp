#include "packer/commands/pack/launcher_settings.h"

#include "packer/commands/pack/template_check.h"
#include "packer/support/pack_errors.h"
#include "packer/support/text/text_encoding.h"
#include "paths/argument_template.h"

#include "format/constants_section.h"
#include "format/entry_name.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

#ifndef TALLIX_VERSION
#error "TALLIX_VERSION must be defined by the build"
#endif

namespace fs = std::filesystem;

namespace tallix {

namespace {

constexpr char DEFAULT_APP_VERSION[] = "1.0.0";
constexpr char FALLBACK_NAME[] = "Application";
// A command line holds 32767 units; the launcher's path (up to 4096) and the
// user's arguments need room too.
constexpr std::size_t LEADING_ARGUMENTS_LIMIT = 32767 - 4096 - 1024;

std::string stemOf(const fs::path &output) {
    std::string name = output.filename().string();
    return endsWithExe(name) ? name.substr(0, name.size() - 4) : name;
}

// A user's text for a resource or a constant: UTF-8, one line.
std::u16string userText(const std::string &option, const std::string &value) {
    std::optional<std::u16string> wide = utf8ToUtf16(value);
    if (!wide) {
        throw BadInput(option + ": not valid UTF-8");
    }
    for (char16_t unit : *wide) {
        if (unit < 0x20 || unit == 0x7F) {
            throw BadInput(option + ": control characters are not allowed");
        }
    }
    return *wide;
}

VersionNumber versionOption(const std::string &option, const std::string &value) {
    std::optional<VersionNumber> version = parseVersion(value);
    if (!version) {
        throw BadInput(option + " '" + value +
                       "': expected 1 to 4 dot-separated numbers, each at most 65535");
    }
    return *version;
}

// `value` without the dots and spaces Windows drops from a name's end.
std::u16string withoutTrailingDotsAndSpaces(std::u16string value) {
    while (!value.empty() && (value.back() == u'.' || value.back() == u' ')) {
        value.pop_back();
    }
    return value;
}

// Refuses a value the template puts into a folder name (as {placeholder})
// that cannot be one on Windows, naming `option`, which sets it, and the fix.
void checkFolderValue(const std::string &placeholder, const std::string &option,
                      const std::u16string &value) {
    EntryNameFault fault = findEntryNameFault(reinterpret_cast<const WideUnit *>(value.data()),
                                              value.size(), ENTRY_NAME_COMPONENT_RULES, nullptr);
    std::string why;
    switch (fault) {
    case ENTRY_NAME_FINE:
    case ENTRY_NAME_MARKER:             // the launcher's own file names,
    case ENTRY_NAME_LAUNCHER_TEMPORARY: // not folder names
    case ENTRY_NAME_DEVICE:             // "CON-1.0" is none: checkFolderNames
        return;
    case ENTRY_NAME_TRAILING_DOT_OR_SPACE:
        why = "ends in a dot or a space, which Windows drops from the end of a folder name; give " +
              option + " '" + utf16ToUtf8(withoutTrailingDotsAndSpaces(value)) + "'";
        break;
    case ENTRY_NAME_COLON_OR_SLASH:
    case ENTRY_NAME_FORBIDDEN_UNIT:
        why = "holds a character Windows does not allow in a folder name (< > : \" / \\ | ? * "
              "or a control character); choose another " +
              option;
        break;
    default:
        why = "cannot be a folder name on Windows; choose another " + option;
        break;
    }
    throw BadInput(option + " '" + utf16ToUtf8(value) + "': the template puts it into a folder " +
                   "name as {" + placeholder + "}, but it " + why + ", or a --template without {" +
                   placeholder + "}");
}

// "{A}, {B}" of the names in `used` that are also in `among`.
std::string placeholderList(const std::set<std::string> &used, const std::set<std::string> &among) {
    std::string list;
    for (const std::string &name : used) {
        if (among.count(name)) {
            list += (list.empty() ? "{" : ", {") + name + "}";
        }
    }
    return list;
}

// The launcher expands the pieces between "{APP_DIR}"s as templates, so
// each is checked as one; an empty piece expands to nothing.
std::u16string leadingArgument(const std::string &value) {
    std::u16string argument = userText("--arg", value);
    const WideUnit *start = reinterpret_cast<const WideUnit *>(argument.c_str());
    const WideUnit *end = start + argument.size();
    for (const WideUnit *piece = start;;) {
        const WideUnit *placeholder = findAppDirPlaceholder(piece, end);
        const WideUnit *pieceEnd = placeholder != nullptr ? placeholder : end;
        if (pieceEnd != piece) {
            std::u16string text(reinterpret_cast<const char16_t *>(piece),
                                static_cast<std::size_t>(pieceEnd - piece));
            if (TemplateCheck check = checkTemplate(text, {"APP_DIR"}); check.error) {
                throw BadInput("--arg '" + value + "': " + *check.error);
            }
        }
        if (placeholder == nullptr) {
            return argument;
        }
        piece = placeholder + APP_DIR_PLACEHOLDER_LENGTH;
    }
}

std::string defaultManifestName(const std::string &product) {
    std::string name;
    for (char c : product) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.') {
            name += c;
        } else if (c == ' ' && !name.empty() && name.back() != '.') {
            name += '.';
        }
    }
    while (!name.empty() && name.back() == '.') {
        name.pop_back();
    }
    while (!name.empty() && name.front() == '.') {
        name.erase(name.begin());
    }
    return name.empty() ? FALLBACK_NAME : name;
}

struct Versions {
    VersionNumber app, file, product;
};

// --product-version is free text; the fixed version's numbers come from the
// numbers it starts with, or else from the application's version.
VersionNumber productVersionOption(const std::string &value, const VersionNumber &app) {
    if (std::optional<VersionNumber> exact = parseVersion(value)) {
        return *exact;
    }
    if (value.empty()) {
        throw BadInput("--product-version: empty; give a version such as 2.1 or 2.1-beta");
    }
    std::optional<VersionNumber> leading = leadingVersion(value);
    if (!leading && value[0] >= '0' && value[0] <= '9') {
        throw BadInput("--product-version '" + value +
                       "': a number it starts with passes 65535, the most a part of the "
                       "numeric version holds");
    }
    VersionNumber version = leading.value_or(app);
    version.text = value;
    return version;
}

Versions versionsOf(const PackOptions &options) {
    std::string app = options.appVersion.value_or(DEFAULT_APP_VERSION);
    VersionNumber appVersion = versionOption("--app-version", app);
    return {appVersion, versionOption("--file-version", options.fileVersion.value_or(app)),
            options.productVersion ? productVersionOption(*options.productVersion, appVersion)
                                   : versionOption("--product-version", app)};
}

std::string productName(const PackOptions &options) {
    std::string product = options.product.value_or(stemOf(options.output));
    return product.empty() ? FALLBACK_NAME : product;
}

struct FolderValue {
    const char *placeholder;
    const char *option; // the option that sets it
    const std::u16string *value;
};

// The values the template can put into folder names; `companyGiven`:
// --company was given, else the company is the product's name.
std::vector<FolderValue> folderValues(const BuildConstants &constants, bool companyGiven) {
    return {{"COMPANY", companyGiven ? "--company" : "--product", &constants.company},
            {"PRODUCT", "--product", &constants.product},
            {"VERSION", "--app-version", &constants.version},
            {"FILE_VERSION", "--file-version", &constants.fileVersion},
            {"PRODUCT_VERSION", "--product-version", &constants.productVersion}};
}

// Refuses a template the launcher could not expand or whose values cannot
// be folder names.
void checkDirectoryTemplate(const BuildConstants &constants, bool companyGiven) {
    TemplateCheck templateCheck = checkTemplate(constants.directoryTemplate);
    if (templateCheck.error) {
        throw BadInput("--template '" + utf16ToUtf8(constants.directoryTemplate) +
                       "': " + *templateCheck.error);
    }
    for (const FolderValue &folder : folderValues(constants, companyGiven)) {
        if (templateCheck.placeholders.count(folder.placeholder)) {
            checkFolderValue(folder.placeholder, folder.option, *folder.value);
        }
    }
}

// Refuses a folder name Windows cannot make, naming the option whose value
// starts a device name, else the template.
void checkTemplateFolders(const BuildConstants &constants, bool companyGiven,
                          const std::u16string &launcherName) {
    FolderNameCheck check = checkFolderNames(constants, launcherName);
    if (!check.error) {
        return;
    }
    for (const FolderValue &folder : folderValues(constants, companyGiven)) {
        if (check.deviceFrom == folder.placeholder) {
            throw BadInput(std::string(folder.option) + " '" + utf16ToUtf8(*folder.value) +
                           "': the template puts it into a folder name as {" + folder.placeholder +
                           "}, but " + *check.error + "; choose another " + folder.option +
                           ", or a --template without {" + folder.placeholder + "}");
        }
    }
    throw BadInput("--template '" + utf16ToUtf8(constants.directoryTemplate) +
                   "': " + *check.error + "; choose another name in the template");
}

std::vector<std::u16string> leadingArguments(const std::vector<std::string> &values) {
    std::vector<std::u16string> arguments;
    std::size_t units = 0;
    for (const std::string &value : values) {
        arguments.push_back(leadingArgument(value));
        units += arguments.back().size() + 1;
    }
    if (units > LEADING_ARGUMENTS_LIMIT) {
        throw BadInput("--arg: the arguments come to more than " +
                       std::to_string(LEADING_ARGUMENTS_LIMIT) +
                       " characters, more than a command line can carry with the launcher's path");
    }
    return arguments;
}

BuildConstants buildConstants(const PackOptions &options, const std::string &product,
                              const Versions &versions) {
    BuildConstants constants;
    constants.product = userText("--product", product);
    constants.company = userText("--company", options.company.value_or(product));
    constants.version = userText("--app-version", versions.app.text);
    constants.fileVersion = userText("--file-version", versions.file.text);
    constants.productVersion = userText("--product-version", versions.product.text);
    constants.directoryTemplate =
        userText("--template", options.directoryTemplate.value_or(DEFAULT_TEMPLATE));
    checkDirectoryTemplate(constants, options.company.has_value());
    constants.leadingArguments = leadingArguments(options.leadingArguments);
    if (options.cleanOldVersions) {
        constants.launchOptions |= LAUNCH_CLEAN_OLD_VERSIONS;
    }
    if (options.killChildWithLauncher) {
        constants.launchOptions |= LAUNCH_KILL_CHILD_WITH_LAUNCHER;
    }
    if (options.noProgressWindow) {
        constants.launchOptions |= LAUNCH_NO_PROGRESS_WINDOW;
    }
    if (options.quickCheck) {
        if (options.noIndex) {
            throw BadInput("--check quick needs the payload index, which --no-index leaves "
                           "out; drop --no-index or use --check content");
        }
        constants.launchOptions |= LAUNCH_QUICK_CHECK;
    }
    return constants;
}

ResourceInfo resourceInfo(const PackOptions &options, const std::string &product,
                          const BuildConstants &constants, const Versions &versions) {
    ResourceInfo resources;
    resources.company = constants.company;
    resources.product = constants.product;
    resources.description = userText("--description", options.description.value_or(product));
    if (options.copyright) {
        resources.copyright = userText("--copyright", *options.copyright);
    }
    resources.originalFilename =
        userText("--original-filename",
                 options.originalFilename.value_or(options.output.filename().string()));
    resources.internalName =
        userText("--internal-name", options.internalName.value_or(stemOf(options.output)));
    resources.fileVersion = versions.file;
    resources.productVersion = versions.product;
    resources.packedBy = u"tallix-pack " + utf8ToUtf16(TALLIX_VERSION).value_or(u"");
    resources.executionLevel = options.executionLevel.value_or("asInvoker");
    if (!parseVersion(versions.product.text)) {
        resources.productVersionText = constants.productVersion;
    }
    resources.manifestName = options.manifestName.value_or(defaultManifestName(product));
    if (!isAssemblyName(resources.manifestName)) {
        throw BadInput("--manifest-name '" + resources.manifestName +
                       "': use letters, digits, '.', '-' and '_' only, not starting or ending "
                       "with '.'");
    }
    return resources;
}

} // namespace

bool endsWithExe(const std::string &name) {
    if (name.size() < 4) {
        return false;
    }
    std::string tail = name.substr(name.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return tail == ".exe";
}

LauncherSettings launcherSettings(const PackOptions &options) {
    std::string product = productName(options);
    Versions versions = versionsOf(options);
    LauncherSettings settings;
    settings.constants = buildConstants(options, product, versions);
    settings.resources = resourceInfo(options, product, settings.constants, versions);
    if (options.manifest && (options.executionLevel || options.manifestName)) {
        throw BadInput(std::string("--manifest and ") +
                       (options.executionLevel ? "--execution-level" : "--manifest-name") +
                       ": the manifest " + options.manifest->string() + " is written as it is, " +
                       (options.executionLevel ? "with its own requestedExecutionLevel"
                                               : "with its own assembly identity") +
                       "; set it there, or leave out --manifest");
    }
    checkTemplateFolders(settings.constants, options.company.has_value(),
                         settings.resources.originalFilename);
    if (!options.signCertificate && (options.signKey || options.signPasswordFile)) {
        throw BadInput("--sign-key and --sign-pass-file need --sign-cert");
    }
    return settings;
}

std::vector<std::string> templateWarnings(const BuildConstants &constants) {
    std::vector<std::string> warnings;
    std::string pattern = utf16ToUtf8(constants.directoryTemplate);
    TemplateCheck check = checkTemplate(constants.directoryTemplate);
    if (std::string misplaced = placeholderList(check.notAtStart, PATH_PLACEHOLDERS);
        !misplaced.empty()) {
        warnings.push_back("the template '" + pattern + "' has " + misplaced +
                           " after its start, but its value is a full path (such as "
                           "C:\\Users\\ann); use it only at the start");
    }
    if (std::string perStart = placeholderList(check.placeholders, PER_START_PLACEHOLDERS);
        !perStart.empty()) {
        bool cleaned = (constants.launchOptions & LAUNCH_CLEAN_OLD_VERSIONS) != 0;
        warnings.push_back("the template '" + pattern + "' uses " + perStart +
                           ": every start unpacks a full copy into a new folder" +
                           (cleaned ? "; --clean-old-versions removes those no longer in use"
                                    : " and leaves it behind; --clean-old-versions removes them"));
    }
    if (std::optional<std::string> climbs = checkFolderNames(constants, u"").warning) {
        warnings.push_back(*climbs);
    }
    if (!check.perUserStart) {
        warnings.push_back("the template '" + pattern +
                           "' does not start in a per-user folder ({CACHE_DIR}, {HOME} or "
                           "{TEMP}); another user who can write there can plant files the "
                           "launcher then runs");
    }
    return warnings;
}

MainProgramChoice chooseMainProgram(const PackOptions &options,
                                    const std::vector<std::string> &programs) {
    if (options.mainProgram) {
        fs::path relative = fs::path(*options.mainProgram).lexically_normal();
        if (relative.empty() || relative.is_absolute() || *relative.begin() == "..") {
            throw BadInput("--main " + *options.mainProgram +
                           ": must name a file inside the application directory");
        }
        MainProgramChoice choice{relative.string(), std::nullopt};
        if (programs.empty()) {
            choice.warning =
                options.appDirectory.string() + ": no .exe at the top of the application directory";
        }
        return choice;
    }
    if (programs.size() == 1) {
        return {programs.front(), std::nullopt};
    }
    if (programs.empty()) {
        throw BadInput(options.appDirectory.string() +
                       ": no .exe at the top of the application directory; name the program "
                       "to start with --main");
    }
    std::string list;
    for (const std::string &program : programs) {
        list += (list.empty() ? "" : ", ") + program;
    }
    throw BadInput(options.appDirectory.string() + ": several programs could be started (" + list +
                   "); choose one with --main");
}

} // namespace tallix
