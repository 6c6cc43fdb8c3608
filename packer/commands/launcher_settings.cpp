#include "packer/commands/launcher_settings.h"

#include "packer/commands/template_check.h"
#include "packer/support/pack_errors.h"
#include "packer/support/text_encoding.h"
#include "paths/argument_template.h"

#include "format/constants_section.h"

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

// Characters a value cannot have when the template puts it into a path.
void checkPathComponent(const std::string &placeholder, const std::u16string &value) {
    static const std::u16string forbidden = u"<>:\"/\\|?*";
    bool bad = value.empty() || value.back() == u'.' || value.back() == u' ' || value == u"." ||
               value == u"..";
    for (char16_t unit : value) {
        bad = bad || forbidden.find(unit) != std::u16string::npos;
    }
    if (bad) {
        throw BadInput(
            "the template uses {" + placeholder + "}, whose value '" + utf16ToUtf8(value) +
            "' cannot be a directory name on Windows; choose --template or another value");
    }
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

Versions versionsOf(const PackOptions &options) {
    std::string app = options.appVersion.value_or(DEFAULT_APP_VERSION);
    return {versionOption("--app-version", app),
            versionOption("--file-version", options.fileVersion.value_or(app)),
            versionOption("--product-version", options.productVersion.value_or(app))};
}

std::string productName(const PackOptions &options) {
    std::string product = options.product.value_or(stemOf(options.output));
    return product.empty() ? FALLBACK_NAME : product;
}

// Refuses a template the launcher could not expand or whose values cannot
// be folder names.
void checkDirectoryTemplate(const BuildConstants &constants) {
    TemplateCheck templateCheck = checkTemplate(constants.directoryTemplate);
    if (templateCheck.error) {
        throw BadInput("--template '" + utf16ToUtf8(constants.directoryTemplate) +
                       "': " + *templateCheck.error);
    }
    const std::pair<const char *, const std::u16string *> pathValues[] = {
        {"COMPANY", &constants.company},
        {"PRODUCT", &constants.product},
        {"VERSION", &constants.version},
        {"FILE_VERSION", &constants.fileVersion},
        {"PRODUCT_VERSION", &constants.productVersion}};
    for (const auto &[placeholder, value] : pathValues) {
        if (templateCheck.placeholders.count(placeholder)) {
            checkPathComponent(placeholder, *value);
        }
    }
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
    checkDirectoryTemplate(constants);
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
