// make-test-launcher IMAGE BLOCK TEMPLATE OUTPUT: a launcher for the Windows
// tests, written by the packer's own writer from a prebuilt launcher image
// and a ready block. Unlike `tallix-pack pack` it takes blocks and templates
// the packer would refuse (wrong magic, no records, unknown placeholders),
// so that the launcher's handling of them can be tested. No resources.
#include "packer/image/launcher_writer.h"

#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>

int main(int argc, char **argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: make-test-launcher IMAGE BLOCK TEMPLATE OUTPUT\n");
        return 2;
    }
    try {
        std::ifstream imageFile(argv[1], std::ios::binary);
        tallix::pe::Image image = tallix::pe::Image::parse(tallix::pe::Bytes(
            (std::istreambuf_iterator<char>(imageFile)), std::istreambuf_iterator<char>()));
        std::ifstream block(argv[2], std::ios::binary);
        if (!block) {
            std::fprintf(stderr, "make-test-launcher: cannot read %s\n", argv[2]);
            return 1;
        }
        std::string templateText = argv[3];
        tallix::BuildConstants constants{std::u16string(templateText.begin(), templateText.end()),
                                         u"Tallix Tests",
                                         u"Launcher",
                                         u"0.1.0",
                                         u"0.1.0",
                                         u"0.1.0"};
        std::fstream out(argv[4],
                         std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
        tallix::writeLauncher(
            image, constants, {},
            [&](std::ostream &to) {
                to << block.rdbuf();
                return tallix::pe::Bytes();
            },
            out);
        out.close();
        if (!out) {
            std::fprintf(stderr, "make-test-launcher: cannot write %s\n", argv[4]);
            return 1;
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "make-test-launcher: %s\n", error.what());
        return 1;
    }
    return 0;
}
