// The PE writer: an image extended with a data and a resource section, read
// back by pefile (Debian's python3-pefile) and by the launcher's own lookup
// of its constants; images it must refuse.
#include "format/constants_section.h"
#include "packer/image/launcher_resources.h"
#include "packer/image/launcher_writer.h"
#include "packer/image/pe_image.h"
#include "packer/image/resource_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

#ifndef TALLIX_PE_READBACK
#error "TALLIX_PE_READBACK must name pe_readback.py"
#endif

namespace tallix {
namespace {

using pe::Bytes;

void put(Bytes &b, std::size_t offset, std::uint64_t value, int count) {
    for (int i = 0; i < count; ++i) {
        b[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// A minimal x86-64 console image as a linker lays it out: headers up to
// 0x400, one .text section of 0x200 bytes at 0x1000.
Bytes minimalImage() {
    Bytes b(0x600, 0);
    b[0] = 'M';
    b[1] = 'Z';
    put(b, 0x3C, 0x80, 4);
    put(b, 0x80, 0x00004550, 4);
    put(b, 0x84, 0x8664, 2); // machine
    put(b, 0x86, 1, 2);      // sections
    put(b, 0x94, 240, 2);    // optional header size
    put(b, 0x96, 0x22, 2);   // executable, large-address aware
    const std::size_t o = 0x98;
    put(b, o, 0x20B, 2);
    put(b, o + 4, 0x200, 4);   // SizeOfCode
    put(b, o + 16, 0x1000, 4); // entry
    put(b, o + 24, 0x140000000, 8);
    put(b, o + 32, 0x1000, 4); // section alignment
    put(b, o + 36, 0x200, 4);  // file alignment
    put(b, o + 48, 5, 2);      // subsystem version
    put(b, o + 56, 0x2000, 4); // SizeOfImage
    put(b, o + 60, 0x400, 4);  // SizeOfHeaders
    put(b, o + 68, 3, 2);      // console
    put(b, o + 108, 16, 4);    // data directories
    const std::size_t s = o + 240;
    std::memcpy(&b[s], ".text", 5);
    put(b, s + 8, 0x10, 4);
    put(b, s + 12, 0x1000, 4);
    put(b, s + 16, 0x200, 4);
    put(b, s + 20, 0x400, 4);
    put(b, s + 36, 0x60000020, 4);
    b[0x400] = 0xC3; // ret
    return b;
}

std::string runReadback(const std::filesystem::path &file) {
    std::string command = "/usr/bin/python3 " TALLIX_PE_READBACK " '" + file.string() + "'";
    std::FILE *pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    for (std::size_t got; pipe && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, got);
    }
    EXPECT_TRUE(pipe && ::pclose(pipe) == 0) << command;
    return out;
}

class PeWriter : public testing::Test {
  protected:
    void SetUp() override {
        directory_ = std::filesystem::temp_directory_path() /
                     ("tallix-pe-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(directory_);
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }
    std::filesystem::path directory_;
};

TEST_F(PeWriter, LauncherSectionsReadBackByPefileAndByTheLaunchersLookup) {
    ResourceInfo info;
    info.company = u"Ørsted";
    info.product = u"Tool";
    info.description = u"d";
    info.originalFilename = u"tool.exe";
    info.internalName = u"tool";
    info.fileVersion = *parseVersion("1.2.3.4");
    info.productVersion = *parseVersion("2");
    info.manifestName = "Tool";
    std::vector<pe::Resource> resources = launcherResources(info, {Bytes{1, 2, 3}, Bytes{4}});
    BuildConstants constants{u"{TEMP}\\x", u"C", u"P", u"1", u"2", u"3"};
    const std::string block = "QVZ-block-bytes";
    const std::string index = "index-bytes";

    std::filesystem::path file = directory_ / "out.exe";
    {
        std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
        writeLauncher(
            pe::Image::parse(minimalImage()), constants, resources,
            [&](std::ostream &to) {
                to << block;
                return Bytes(index.begin(), index.end());
            },
            out);
    }
    std::ifstream in(file, std::ios::binary);
    Bytes written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    std::istringstream facts(runReadback(file));
    std::map<std::string, std::vector<std::string>> seen;
    for (std::string line; std::getline(facts, line);) {
        seen[line.substr(0, line.find(' '))].push_back(line);
    }
    const std::size_t head = constantsSectionHead(constants, block.size(), index.size()).size();
    const std::size_t content = head + block.size() + index.size();
    ASSERT_EQ(seen["resource_directory"].size(), 1u);
    const std::string resourceBytes = seen["resource_directory"][0].substr(25);
    EXPECT_EQ(seen["resource_directory"][0].substr(0, 25), "resource_directory 12288 ");
    EXPECT_EQ(seen["section"],
              (std::vector<std::string>{
                  "section .text 4096 16 512 1024 0x60000020",
                  "section .tallix 8192 " + std::to_string(content) + " 512 1536 0x40000040",
                  "section .rsrc 12288 " + resourceBytes + " 2560 2048 0x40000040"}));
    EXPECT_EQ(seen["checksum"], std::vector<std::string>{"checksum ok"});
    EXPECT_EQ(seen["size_of_image"], std::vector<std::string>{"size_of_image 16384"});
    EXPECT_EQ(seen["initialized_data"], std::vector<std::string>{"initialized_data 3072"});
    // Sorted by type, identifier and language, as the loader's search needs.
    ASSERT_EQ(seen["resource"].size(), 5u);
    EXPECT_EQ(seen["resource"][0], "resource 3 1 0 010203");
    EXPECT_EQ(seen["resource"][1], "resource 3 2 0 04");
    EXPECT_EQ(seen["resource"][2].substr(0, 22), "resource 14 1 0 000001");
    EXPECT_EQ(seen["resource"][3].substr(0, 16), "resource 16 1 0 ");
    EXPECT_EQ(seen["resource"][4].substr(0, 16), "resource 24 1 0 ");
    EXPECT_EQ(seen["fixed"],
              std::vector<std::string>{"fixed 0x10002 0x30004 0x20000 0x0 0x3f 4 1"});
    EXPECT_EQ(seen["translation"], std::vector<std::string>{"translation 0x0000 0x04b0"});
    std::vector<std::string> strings = seen["string"];
    EXPECT_EQ(strings.size(), 7u);
    EXPECT_NE(std::find(strings.begin(), strings.end(), "string 000004b0 CompanyName Ørsted"),
              strings.end());
    EXPECT_NE(std::find(strings.begin(), strings.end(), "string 000004b0 ProductVersion 2.0.0.0"),
              strings.end());

    // The launcher's lookup on the image as the loader maps it.
    Bytes mapped(16384, 0);
    std::copy_n(written.begin(), 0x400, mapped.begin());
    std::copy_n(written.begin() + 1536, content, mapped.begin() + 8192);
    const unsigned char *section = nullptr;
    uint32_t sectionSize = 0;
    ASSERT_TRUE(
        findMappedSection(mapped.data(), BUILD_CONSTANTS_SECTION_NAME, &section, &sectionSize));
    EXPECT_EQ(section, mapped.data() + 8192);
    const unsigned char *data = nullptr;
    uint64_t size = 0;
    ASSERT_TRUE(findBuildConstant(section, sectionSize, CONSTANT_ATTACHED_DATA, &data, &size));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(data), size), block);
    EXPECT_EQ((data - section) % 16, 0);
    ASSERT_TRUE(findBuildConstant(section, sectionSize, CONSTANT_PAYLOAD_INDEX, &data, &size));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(data), size), index);
    ASSERT_TRUE(findBuildConstant(section, sectionSize, CONSTANT_DIRECTORY_TEMPLATE, &data, &size));
    EXPECT_TRUE(isTerminatedWideString(data, size));
    EXPECT_EQ(Bytes(data, data + size),
              (Bytes{'{', 0, 'T', 0, 'E', 0, 'M', 0, 'P', 0, '}', 0, '\\', 0, 'x', 0, 0, 0}));
    // An entry reaching past the section, or another magic, is not taken.
    EXPECT_FALSE(findBuildConstant(section, head - 1, CONSTANT_ATTACHED_DATA, &data, &size));
    EXPECT_FALSE(findBuildConstant(section, sectionSize, 99, &data, &size));
    mapped[8192] ^= 1;
    EXPECT_FALSE(findBuildConstant(section, sectionSize, CONSTANT_COMPANY, &data, &size));
    EXPECT_FALSE(findMappedSection(mapped.data(), ".nope\0\0", &section, &sectionSize));
}

TEST(PeImage, RefusesWhatItCannotExtend) {
    struct Case {
        const char *what;
        void (*damage)(Bytes &);
        const char *message;
    };
    const Case cases[] = {
        {"not MZ", [](Bytes &b) { b[0] = 'X'; }, "no MZ header"},
        {"32-bit", [](Bytes &b) { put(b, 0x84, 0x14C, 2); }, "not an x86-64"},
        {"signed", [](Bytes &b) { put(b, 0x98 + 112 + 4 * 8 + 4, 8, 4); }, "is signed"},
        {"trailing data", [](Bytes &b) { b.push_back(0); }, "data follows the last section (1"},
        {"cut short", [](Bytes &b) { b.resize(0x500); }, "lies outside the image"},
        {"symbols", [](Bytes &b) { put(b, 0x8C, 0x600, 4); }, "symbol table"},
    };
    for (const Case &c : cases) {
        Bytes image = minimalImage();
        c.damage(image);
        try {
            pe::Image::parse(image);
            ADD_FAILURE() << c.what << " was accepted";
        } catch (const pe::ImageError &error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos)
                << c.what << ": " << error.what();
        }
    }
    // Headers full up to the first section's data: no new section fits.
    Bytes full = minimalImage();
    std::fill(full.begin() + 0x98 + 240 + 40, full.begin() + 0x400, 0xCC);
    std::stringstream out;
    pe::ImageWriter writer(pe::Image::parse(full), out);
    EXPECT_THROW(writer.beginSection(".x", pe::SECTION_READ), pe::ImageError);
}

} // namespace
} // namespace tallix
