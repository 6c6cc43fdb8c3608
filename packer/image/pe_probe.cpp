#include "packer/image/pe_probe.h"

#include "format/pe_layout.h"
#include "packer/image/pe_image.h"
#include "packer/support/pack_errors.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

namespace tallix {

namespace {

bool hasExtension(const std::filesystem::path &program, const char *extension) {
    std::string actual = program.extension().string();
    std::transform(actual.begin(), actual.end(), actual.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return actual == extension;
}

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

} // namespace

Subsystem probeMainProgram(const std::filesystem::path &program) {
    const std::string name = program.string();
    auto refuse = [&name](const std::string &cause) { throw BadInput(name + ": " + cause); };
    const std::string pickAnother = "; name the application's x86-64 program with --main";
    if (hasExtension(program, ".cmd") || hasExtension(program, ".bat")) {
        refuse("a batch file cannot be the main program: Windows runs it through cmd.exe with "
               "the launcher's own command line, so cmd.exe would start the launcher again, "
               "without end" +
               pickAnother);
    }
    std::ifstream in(program, std::ios::binary);
    if (!in) {
        refuse(std::strerror(errno));
    }
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(program, error);
    if (size == 0 && !error) {
        refuse("the main program is empty (0 bytes)" + pickAnother);
    }
    const pe::Headers headers = pe::readHeaders(in);
    if (headers.extent < pe::HeaderExtent::FileHeader) {
        refuse("the main program is not a Windows program (no PE header)" + pickAnother);
    }
    if (headers.characteristics & pe::FILE_DLL) {
        refuse("the main program is a DLL, not a program" + pickAnother);
    }
    if (!(headers.characteristics & pe::FILE_EXECUTABLE)) {
        refuse("the main program is not marked as executable (an object file?)" + pickAnother);
    }
    if (headers.extent < pe::HeaderExtent::OptionalHeader) {
        refuse("the main program's PE header is cut short" + pickAnother);
    }
    if (headers.machine == pe::MACHINE_I386 || headers.magic == PE32_MAGIC) {
        refuse("the main program is a 32-bit x86 program; tallix-onefile packs x86-64 programs "
               "only; pack the application's 64-bit build");
    }
    if (headers.machine != pe::MACHINE_AMD64 || headers.magic != PE32_PLUS_MAGIC) {
        refuse("the main program is built for " +
               (headers.machine == pe::MACHINE_ARM64 ? std::string("ARM64")
                                                     : "machine " + hex(headers.machine)) +
               "; tallix-onefile packs x86-64 programs only; pack the application's x86-64 "
               "build");
    }
    if (headers.subsystem != pe::SUBSYSTEM_WINDOWS_GUI &&
        headers.subsystem != pe::SUBSYSTEM_WINDOWS_CONSOLE) {
        refuse("the main program is for subsystem " + std::to_string(headers.subsystem) +
               ", neither the Windows GUI nor the console; CreateProcess cannot start it" +
               pickAnother);
    }
    // The right kind of program, but Windows would not load it as it is.
    const std::string copyAgain = "; copy it again from the application's build";
    if (headers.extent < pe::HeaderExtent::Complete) {
        refuse("the main program is cut short: the file ends inside its headers" + copyAgain);
    }
    // Headers without sections point at nothing in the file.
    if (!headers.sections.empty() && !error) {
        if (std::optional<std::string> problem = pe::layoutProblem(headers, size)) {
            refuse("the main program is cut short or damaged: " + *problem + copyAgain);
        }
    }
    return headers.subsystem == pe::SUBSYSTEM_WINDOWS_GUI ? Subsystem::Gui : Subsystem::Console;
}

} // namespace tallix
