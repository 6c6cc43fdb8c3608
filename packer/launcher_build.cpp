#include "packer/launcher_build.h"

#include "packer/pack_errors.h"
#include "packer/text_encoding.h"
#include "packer/tool_runner.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace tallix {

namespace {

constexpr char LOG_FILE[] = "tool-output.log";

std::string readText(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw PackFailure(file.string() + ": " + std::strerror(errno));
    }
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path &file, const void *data, std::size_t size) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
        throw PackFailure(file.string() + ": cannot write (" + std::strerror(errno) + ")");
    }
}

void writeText(const std::filesystem::path &file, const std::string &text) {
    writeFile(file, text.data(), text.size());
}

} // namespace

std::string fillTemplate(const std::string &text,
                         const std::map<std::string, std::string> &values) {
    std::string result;
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t open = text.find('@', position);
        std::size_t close = open == std::string::npos ? open : text.find('@', open + 1);
        if (close == std::string::npos) {
            result += text.substr(position);
            break;
        }
        auto value = values.find(text.substr(open + 1, close - open - 1));
        if (value == values.end()) {
            result += text.substr(position, close - position); // keep the first '@'
            position = close;
            continue;
        }
        result += text.substr(position, open - position) + value->second;
        position = close + 1;
    }
    return result;
}

std::string assemblerString(const std::string &path) {
    std::string result = "\"";
    for (char c : path) {
        if (c == '\\' || c == '"') {
            result += '\\';
        }
        result += c;
    }
    return result + "\"";
}

void buildLauncher(const LauncherRuntime &runtime, const LauncherBuild &build,
                   const std::filesystem::path &workDirectory) {
    const BuildConstants &c = build.constants;
    std::string constants =
        fillTemplate(readText(runtime.file("buildinfo/build_constants.cpp.in")),
                     {{"TALLIX_DIRECTORY_TEMPLATE", wideStringLiteral(c.directoryTemplate)},
                      {"TALLIX_COMPANY", wideStringLiteral(c.company)},
                      {"TALLIX_PRODUCT", wideStringLiteral(c.product)},
                      {"TALLIX_VERSION", wideStringLiteral(c.version)},
                      {"TALLIX_FILE_VERSION", wideStringLiteral(c.fileVersion)},
                      {"TALLIX_PRODUCT_VERSION", wideStringLiteral(c.productVersion)}});
    writeText(workDirectory / "build_constants.cpp", constants);

    // The template quotes the path itself: substitute the text between the quotes.
    std::string quoted = assemblerString(BLOCK_FILE);
    std::string quotedIndex = assemblerString(INDEX_FILE);
    writeText(workDirectory / "attached_data.S",
              fillTemplate(readText(runtime.file("buildinfo/attached_data.S.in")),
                           {{"TALLIX_BLOCK_PATH", quoted.substr(1, quoted.size() - 2)},
                            {"TALLIX_INDEX_PATH", quotedIndex.substr(1, quotedIndex.size() - 2)}}));

    Bytes icon = iconFile(build.iconImages);
    writeFile(workDirectory / "icon.ico", icon.data(), icon.size());
    writeText(workDirectory / "manifest.xml", manifestText(build.resources.manifestName));
    writeText(workDirectory / "resources.rc",
              resourceScript(build.resources, "icon.ico", "manifest.xml"));

    const std::filesystem::path log = workDirectory / LOG_FILE;
    runTool({MINGW_CXX, "-c", "-O2", "-fno-exceptions", "-fno-rtti", "-DUNICODE", "-D_UNICODE",
             "-I" + runtime.file("include").string(), "-o", "build_constants.o",
             "build_constants.cpp"},
            workDirectory, log);
    runTool({MINGW_CC, "-c", "-o", "attached_data.o", "attached_data.S"}, workDirectory, log);
    runTool({MINGW_WINDRES, "--preprocessor=" + std::string(MINGW_CC), "--preprocessor-arg=-E",
             "--preprocessor-arg=-xc", "--preprocessor-arg=-DRC_INVOKED", "--input-format=rc",
             "--output-format=coff", "-i", "resources.rc", "-o", "resources.o"},
            workDirectory, log);

    std::vector<std::string> link = {
        MINGW_CXX, "-o", LAUNCHER_FILE, "build_constants.o", "attached_data.o", "resources.o"};
    for (const std::filesystem::path &library : runtime.libraries()) {
        link.push_back(library.string());
    }
    const auto &mode = build.console ? runtime.linkConsole : runtime.linkGui;
    for (const auto *group :
         {&runtime.linkAll, &runtime.linkRelease, &mode, &runtime.linkLibraries}) {
        link.insert(link.end(), group->begin(), group->end());
    }
    runTool(link, workDirectory, log);
    std::filesystem::remove(log);
}

} // namespace tallix
