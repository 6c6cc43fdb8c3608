// tallix-pack: packs an application directory into one Windows executable.
#include "packer/commands/command_line.h"
#include "packer/commands/commands.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#ifndef TALLIX_VERSION
#error "TALLIX_VERSION must be defined by the build"
#endif

namespace {

struct Subcommand {
    const char *name;
    int (*run)(const tallix::Arguments &);
    const char *summary;
};

// Each subcommand registers itself here.
const Subcommand subcommands[] = {
    {"pack", tallix::runPackCommand, "pack an application directory into one Windows executable"},
    {"inspect", tallix::runInspectCommand,
     "list, verify or unpack the payload of a built launcher"},
    {"block", tallix::runBlockCommand, "write only the attached data block of an application"},
    {nullptr, nullptr, nullptr},
};

void printUsage(std::FILE *stream) {
    std::fprintf(stream, "usage: tallix-pack <command> [options]\n"
                         "       tallix-pack --help | --version\n\ncommands:\n");
    for (const Subcommand &command : subcommands) {
        if (command.name != nullptr) {
            std::fprintf(stream, "  %-10s %s\n", command.name, command.summary);
        }
    }
    std::fprintf(stream, "\nRun 'tallix-pack <command> --help' for the options of a command.\n");
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        printUsage(stderr);
        return tallix::STATUS_BAD_INPUT;
    }
    std::string first = argv[1];
    if (first == "--help" || first == "-h") {
        printUsage(stdout);
        return tallix::STATUS_SUCCESS;
    }
    if (first == "--version") {
        std::printf("tallix-pack %s\n", TALLIX_VERSION);
        return tallix::STATUS_SUCCESS;
    }
    for (const Subcommand &command : subcommands) {
        if (command.name != nullptr && first == command.name) {
            return command.run(tallix::Arguments(argv + 2, argv + argc));
        }
    }
    std::vector<std::string> names;
    for (const Subcommand &command : subcommands) {
        if (command.name != nullptr) {
            names.push_back(command.name);
        }
    }
    std::string message = "unknown command '" + first + "'";
    if (std::optional<std::string> suggestion = tallix::closestName(first, names)) {
        message += ", did you mean '" + *suggestion + "'?";
    }
    std::fprintf(stderr, "tallix-pack: %s (see tallix-pack --help)\n", message.c_str());
    return tallix::STATUS_BAD_INPUT;
}
