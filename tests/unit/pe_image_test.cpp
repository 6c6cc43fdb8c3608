// The PE writer: an image extended with a data and a resource section, read
// back by pefile (Debian's python3-pefile), by the launcher's own lookup of
// its constants and by the packer's reader; images it must refuse, headers
// it must call damaged.
#include "format/constants_section.h"
#include "packer/block/block_writer.h"
#include "packer/commands/pack/pack_plan.h"
#include "packer/image/launcher_info.h"
#include "packer/image/launcher_writer.h"
#include "packer/image/pe_image.h"
#include "packer/image/resources/launcher_resources.h"
#include "packer/image/resources/resource_tree.h"
#include "packer/support/pack_errors.h"
#include "test_launcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
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
    writeLittleEndian(&b[offset], value, static_cast<std::size_t>(count));
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

std::vector<pe::Resource> sampleResources() {
    ResourceInfo info;
    info.company = u"Ørsted";
    info.product = u"Tool";
    info.description = u"d";
    info.originalFilename = u"tool.exe";
    info.internalName = u"tool";
    info.fileVersion = *parseVersion("1.2.3.4");
    info.productVersion = *parseVersion("2");
    info.manifestName = "Tool";
    return launcherResources(info, {Bytes{1, 2, 3}, Bytes{4}});
}

TEST_F(PeWriter, LauncherSectionsReadBackByPefileAndByTheLaunchersLookup) {
    std::vector<pe::Resource> resources = sampleResources();
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
    const unsigned char *tableEntry = nullptr;
    ASSERT_TRUE(findMappedSection(mapped.data(), BUILD_CONSTANTS_SECTION_NAME, &section,
                                  &sectionSize, &tableEntry));
    EXPECT_EQ(section, mapped.data() + 8192);
    EXPECT_EQ(tableEntry, mapped.data() + 0x188 + 40);
    // The checksum the writer stored holds on the image as the launcher sees it.
    ConstantsReader inMemory = [](void *context, uint64_t offset, size_t) {
        return *static_cast<const unsigned char **>(context) + offset;
    };
    uint32_t crc = 0;
    EXPECT_EQ(checkBuildConstants(tableEntry, sectionSize, inMemory, &section, &crc),
              CONSTANTS_INTACT);
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
    EXPECT_FALSE(
        findMappedSection(mapped.data(), ".nope\0\0", &section, &sectionSize, &tableEntry));
    // A section the loader maps inaccessible is not read.
    mapped[0x188 + 40 + 39] &= 0xBF;
    EXPECT_FALSE(findMappedSection(mapped.data(), BUILD_CONSTANTS_SECTION_NAME, &section,
                                   &sectionSize, &tableEntry));
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
        {"cut short", [](Bytes &b) { b.resize(0x500); }, "runs past the end of the file"},
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

// The room frameRoom leaves for the frame fills a launcher up to the limit,
// within one section alignment, and never past it.
TEST(PeImage, FrameRoomKeepsTheLauncherWithinTheLimit) {
    const BuildConstants constants{u"{TEMP}\\x", u"C", u"P", u"1", u"2", u"3"};
    const std::vector<pe::Resource> resources = sampleResources();
    auto sizeOfImage = [&](std::uint64_t block, std::size_t index) {
        const std::string launcher =
            testLauncher(std::string(block, 'b'), constants, resources, std::string(index, 'i'));
        return std::uint64_t{pe::readHeaders(Bytes(launcher.begin(), launcher.end())).sizeOfImage};
    };
    const std::string emptyLauncher = testLauncher("", constants, resources);
    const pe::Headers empty = pe::readHeaders(Bytes(emptyLauncher.begin(), emptyLauncher.end()));
    ASSERT_EQ(empty.sizeOfImage, sizeOfImage(0, 0));
    const std::uint64_t unit = empty.sectionAlignment;
    for (std::uint64_t limit : {empty.sizeOfImage + 3 * unit, empty.sizeOfImage + 5 * unit + 99}) {
        for (std::size_t index : {0, 300}) {
            std::optional<std::uint64_t> room = frameRoom(empty, index, limit);
            ASSERT_TRUE(room) << limit << " " << index;
            // The largest block a frame of that size can make.
            std::uint64_t block = *room + BLOCK_FRAMING_BYTES;
            EXPECT_LE(sizeOfImage(block, index), limit) << limit << " " << index;
            EXPECT_GT(sizeOfImage(block + unit, index), limit) << limit << " " << index;
        }
    }
    EXPECT_FALSE(frameRoom(empty, 0, empty.sizeOfImage + BLOCK_FRAMING_BYTES));
    EXPECT_FALSE(frameRoom(empty, 0, empty.sizeOfImage - 1));
}

// The reader on a launcher as the packer writes it and on damaged copies:
// how far the headers go, what is wrong with their layout, and whether
// inspection calls the file no launcher (BadInput) or a damaged one.
TEST(PeHeaders, ReadWrittenAndDamagedImages) {
    BuildConstants constants{u"{TEMP}\\x", u"C", u"P", u"1", u"2", u"3", {u"-a", u""}, 3};
    const std::string written = testLauncher("QVZ-block", constants, sampleResources(), "index");
    const Bytes launcher(written.begin(), written.end());
    const std::size_t optional = 0x98, table = 0x188, tallix = table + 40, rsrc = table + 80;
    enum Outcome { LAUNCHER, NOT_A_LAUNCHER, DAMAGED };
    using Extent = pe::HeaderExtent;
    struct Case {
        const char *what;
        std::function<void(Bytes &)> damage;
        Extent extent;
        const char *problem; // in layoutProblem(); "" for none
        Outcome outcome;
    };
    auto cut = [](std::size_t size) { return [size](Bytes &b) { b.resize(size); }; };
    const Case cases[] = {
        {"as written", [](Bytes &) {}, Extent::Complete, "", LAUNCHER},
        {"no MZ", [](Bytes &b) { b[1] = 'X'; }, Extent::NoDosHeader, "", NOT_A_LAUNCHER},
        {"cut inside the DOS header", cut(0x30), Extent::NoDosHeader, "", NOT_A_LAUNCHER},
        {"e_lfanew past the end", [](Bytes &b) { put(b, 0x3C, 1 << 20, 4); }, Extent::NoPeSignature,
         "", NOT_A_LAUNCHER},
        {"cut inside the COFF header", cut(0x90), Extent::NoPeSignature, "", NOT_A_LAUNCHER},
        {"cut before the subsystem", cut(optional + 60), Extent::FileHeader, "", DAMAGED},
        {"cut inside the directories", cut(optional + 200), Extent::OptionalHeader, "", DAMAGED},
        {"cut inside the section table", cut(table + 100), Extent::OptionalHeader, "", DAMAGED},
        {"section table outside the headers", [&](Bytes &b) { put(b, optional + 60, 0x100, 4); },
         Extent::Complete, "the section table runs past the end of the headers", DAMAGED},
        {"sections out of order", [&](Bytes &b) { put(b, tallix + 12, 0x1000, 4); },
         Extent::Complete, "section .tallix starts inside the one before (out of order)", DAMAGED},
        {"raw data inside the headers", [&](Bytes &b) { put(b, rsrc + 20, 0x200, 4); },
         Extent::Complete, "section .rsrc lies inside the headers", DAMAGED},
        {"a gap before the last section",
         [&](Bytes &b) { put(b, rsrc + 12, 0x4000, 4), put(b, optional + 56, 0x5000, 4); },
         Extent::Complete, "", DAMAGED},
        {"sections past SizeOfImage", [&](Bytes &b) { put(b, optional + 56, 0x3000, 4); },
         Extent::Complete, "", DAMAGED},
        {"cut inside the last section", cut(launcher.size() - 1), Extent::Complete,
         "section .rsrc runs past the end of the file", DAMAGED},
        {"constants section renamed", [&](Bytes &b) { b[tallix + 1] = 'x'; }, Extent::Complete, "",
         DAMAGED},
        {"no constants section", [&](Bytes &b) { b[tallix + 1] = 'x', b[0x600] ^= 1; },
         Extent::Complete, "", NOT_A_LAUNCHER},
        {"constants not ours", [](Bytes &b) { b[0x600] ^= 1; }, Extent::Complete, "", DAMAGED},
    };
    for (const Case &c : cases) {
        Bytes bytes = launcher;
        c.damage(bytes);
        std::istringstream in(std::string(bytes.begin(), bytes.end()));
        const pe::Headers headers = pe::readHeaders(in);
        EXPECT_EQ(headers.extent, c.extent) << c.what;
        EXPECT_EQ(pe::readHeaders(bytes).extent, c.extent) << c.what << ", from bytes";
        if (c.extent == Extent::Complete) {
            EXPECT_EQ(pe::layoutProblem(headers, bytes.size()).value_or(""), c.problem) << c.what;
        }
        Outcome outcome = LAUNCHER;
        try {
            readLauncherInfo(in, "l.exe");
        } catch (const BadInput &) {
            outcome = NOT_A_LAUNCHER;
        } catch (const PackFailure &) {
            outcome = DAMAGED;
        }
        EXPECT_EQ(outcome, c.outcome) << c.what;
    }

    const pe::Headers headers = pe::readHeaders(launcher);
    ASSERT_EQ(headers.sections.size(), 3u);
    const pe::Section &resources = headers.sections[2];
    EXPECT_EQ(resources.name, ".rsrc");
    EXPECT_EQ(headers.subsystem, pe::SUBSYSTEM_WINDOWS_CONSOLE);
    EXPECT_EQ(headers.directory(pe::DIRECTORY_RESOURCE).address, resources.virtualAddress);
    EXPECT_EQ(headers.fileOffset(resources.virtualAddress + 8, 8), resources.rawOffset + 8);
    EXPECT_FALSE(headers.fileOffset(resources.virtualAddress + resources.rawSize - 4, 8));

    std::istringstream in(written);
    const LauncherInfo info = readLauncherInfo(in, "l.exe");
    EXPECT_EQ(info.directoryTemplate, "{TEMP}\\x");
    EXPECT_EQ(info.productVersion, "3");
    EXPECT_EQ(info.leadingArguments, (std::vector<std::string>{"-a", ""}));
    EXPECT_EQ(info.launchOptions, 3u);
    EXPECT_EQ(written.substr(info.attachedDataOffset, info.attachedDataBytes), "QVZ-block");
    EXPECT_EQ(written.substr(info.indexOffset, info.indexBytes), "index");
    EXPECT_EQ(info.iconSizes.size(), 2u);
    EXPECT_NE(info.manifest.find("name=\"Tool\""), std::string::npos) << info.manifest;
    EXPECT_NE(std::find(info.versionResource.begin(), info.versionResource.end(),
                        std::pair<std::string, std::string>{"CompanyName", "Ørsted"}),
              info.versionResource.end());
}

// The checksum covers every byte the launcher reads of its image before it
// writes: one flipped bit in the constants section's table entry, its
// header and entry table, a string, the leading arguments, the launch
// options, the index, or the block's head and trailer makes the launcher a
// damaged one. The alignment padding and the middle of the frame, which
// has checks of its own, are not covered.
TEST(ConstantsChecksum, CoversWhatTheLauncherReads) {
    BuildConstants constants{u"{CACHE_DIR}\\x", u"C", u"P", u"1", u"2", u"3", {u"-a"}, 1};
    const std::string block = "QVZ" + std::string(53, 'z') + std::string(8, '\x08');
    const std::string written = testLauncher(block, constants, {}, "index-bytes");
    std::istringstream clean(written);
    const LauncherInfo info = readLauncherInfo(clean, "l.exe");
    const std::size_t tableEntry = 0x188 + 40, section = 0x600;
    const std::size_t blockStart = info.attachedDataOffset;
    const std::size_t blockEnd = blockStart + block.size();
    pe::Bytes head = constantsSectionHead(constants, 0, 0);
    std::uint64_t options = 0, optionsSize = 0;
    ASSERT_TRUE(findBuildConstantOffset(head.data(), head.size(), head.size(),
                                        CONSTANT_LAUNCH_OPTIONS, &options, &optionsSize));
    const std::size_t paddingStart = section + options + optionsSize;
    ASSERT_LT(paddingStart, blockStart);
    auto covered = [&](std::size_t at) {
        return !(at >= paddingStart && at < blockStart) &&
               !(at >= blockStart + ATTACHED_DATA_CHECKED_HEAD &&
                 at < blockEnd - ATTACHED_DATA_TRAILER_SIZE);
    };
    std::vector<std::size_t> offsets;
    for (std::size_t at = tableEntry; at < tableEntry + 40; ++at) {
        offsets.push_back(at);
    }
    for (std::size_t at = section; at < info.indexOffset + info.indexBytes; ++at) {
        offsets.push_back(at);
    }
    for (std::size_t at : offsets) {
        std::string damaged = written;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x01);
        std::istringstream in(damaged);
        bool refused = false;
        try {
            readLauncherInfo(in, "l.exe");
        } catch (const PackFailure &) {
            refused = true;
        }
        EXPECT_EQ(refused, covered(at)) << "flipped byte at " << at;
    }
}

} // namespace
} // namespace tallix
