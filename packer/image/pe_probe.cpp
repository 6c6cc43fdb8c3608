#include "packer/image/pe_probe.h"

#include "packer/support/byte_reading.h"
#include "packer/support/pack_errors.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace tallix {

namespace {

// Layout of the headers, as the Windows loader reads them.
constexpr std::uint64_t DOS_HEADER_SIZE = 64;
constexpr std::uint64_t PE_OFFSET_FIELD = 0x3C;
constexpr std::uint64_t COFF_HEADER_SIZE = 20;
constexpr std::uint64_t SUBSYSTEM_FIELD = 68; // in the optional header
constexpr std::uint16_t MACHINE_AMD64 = 0x8664;
constexpr std::uint16_t MACHINE_I386 = 0x014C;
constexpr std::uint16_t MACHINE_ARM64 = 0xAA64;
constexpr std::uint16_t MAGIC_PE32 = 0x10B;
constexpr std::uint16_t MAGIC_PE32_PLUS = 0x20B;
constexpr std::uint16_t CHARACTERISTIC_EXECUTABLE = 0x0002;
constexpr std::uint16_t CHARACTERISTIC_DLL = 0x2000;
constexpr std::uint16_t SUBSYSTEM_WINDOWS_GUI = 2;
constexpr std::uint16_t SUBSYSTEM_WINDOWS_CONSOLE = 3;

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
    if (std::filesystem::file_size(program, error) == 0 && !error) {
        refuse("the main program is empty (0 bytes)" + pickAnother);
    }
    unsigned char dos[DOS_HEADER_SIZE] = {};
    unsigned char coff[4 + COFF_HEADER_SIZE] = {};
    std::uint64_t peOffset = 0;
    bool headers = readAt(in, 0, dos, sizeof dos) && dos[0] == 'M' && dos[1] == 'Z';
    if (headers) {
        peOffset = readLittleEndian(dos + PE_OFFSET_FIELD, 4);
        headers = readAt(in, peOffset, coff, sizeof coff) && std::memcmp(coff, "PE\0\0", 4) == 0;
    }
    if (!headers) {
        refuse("the main program is not a Windows program (no PE header)" + pickAnother);
    }
    auto machine = static_cast<std::uint16_t>(readLittleEndian(coff + 4, 2));
    auto optionalSize = readLittleEndian(coff + 4 + 16, 2);
    auto characteristics = static_cast<std::uint16_t>(readLittleEndian(coff + 4 + 18, 2));
    if (characteristics & CHARACTERISTIC_DLL) {
        refuse("the main program is a DLL, not a program" + pickAnother);
    }
    if (!(characteristics & CHARACTERISTIC_EXECUTABLE)) {
        refuse("the main program is not marked as executable (an object file?)" + pickAnother);
    }
    unsigned char optional[SUBSYSTEM_FIELD + 2] = {};
    if (optionalSize < sizeof optional ||
        !readAt(in, peOffset + sizeof coff, optional, sizeof optional)) {
        refuse("the main program's PE header is cut short" + pickAnother);
    }
    auto magic = readLittleEndian(optional, 2);
    if (machine == MACHINE_I386 || magic == MAGIC_PE32) {
        refuse("the main program is a 32-bit x86 program; tallix-onefile packs x86-64 programs "
               "only; pack the application's 64-bit build");
    }
    if (machine != MACHINE_AMD64 || magic != MAGIC_PE32_PLUS) {
        refuse("the main program is built for " +
               (machine == MACHINE_ARM64 ? std::string("ARM64") : "machine " + hex(machine)) +
               "; tallix-onefile packs x86-64 programs only; pack the application's x86-64 "
               "build");
    }
    auto subsystem = readLittleEndian(optional + SUBSYSTEM_FIELD, 2);
    if (subsystem == SUBSYSTEM_WINDOWS_GUI) {
        return Subsystem::Gui;
    }
    if (subsystem != SUBSYSTEM_WINDOWS_CONSOLE) {
        refuse("the main program is for subsystem " + std::to_string(subsystem) +
               ", neither the Windows GUI nor the console; CreateProcess cannot start it" +
               pickAnother);
    }
    return Subsystem::Console;
}

} // namespace tallix
