#include "packer/image/launcher_info.h"

#include "format/constants_section.h"
#include "format/pe_layout.h"
#include "format/progress_window.h"
#include "packer/image/pe_image.h"
#include "packer/image/resources/resource_tree.h"
#include "packer/support/byte_reading.h"
#include "packer/support/pack_errors.h"
#include "packer/support/text/text_encoding.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <tuple>

namespace tallix {
namespace {

// A version resource, a manifest or an icon directory is a few KiB; anything
// far larger is not one.
constexpr std::uint32_t RESOURCE_LIMIT = 1 << 20;
// The largest splash the packer writes, with room to spare: what the
// launcher would show may carry bytes past its pixels.
constexpr std::uint32_t SPLASH_LIMIT =
    2 * (SPLASH_HEADER_SIZE + 4 * SPLASH_MAX_WIDTH * SPLASH_MAX_HEIGHT);
// Build strings and leading arguments are a few KiB as well; a larger entry
// is damage, not text.
constexpr std::uint64_t CONSTANT_TEXT_LIMIT = 1 << 20;
// A VS_VERSIONINFO node: length, value length, type (1: text), then its key.
constexpr std::size_t NODE_LENGTH = 0;
constexpr std::size_t NODE_VALUE_LENGTH = 2;
constexpr std::size_t NODE_TYPE = 4;
constexpr std::size_t NODE_KEY = 6;
constexpr std::uint32_t NODE_TEXT = 1;
// An icon group: a 6-byte header whose count is at 4, then 14-byte entries
// whose first byte is the width (0 meaning 256).
constexpr std::size_t ICON_GROUP_HEADER = 6;
constexpr std::size_t ICON_GROUP_COUNT = 4;
constexpr std::size_t ICON_GROUP_ENTRY = 14;

using Bytes = std::vector<unsigned char>;

std::string constantsSectionName() {
    return std::string(BUILD_CONSTANTS_SECTION_NAME,
                       strnlen(BUILD_CONSTANTS_SECTION_NAME, sizeof BUILD_CONSTANTS_SECTION_NAME));
}

std::uint64_t fileSize(std::istream &in, const std::string &name) {
    in.clear();
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    in.clear();
    if (size < 0) {
        throw PackFailure(name + ": cannot read the file");
    }
    return static_cast<std::uint64_t>(size);
}

// A section name as text, bytes outside printable ASCII as \xNN: a damaged
// name may hold any byte.
std::string shownName(const std::string &raw) {
    std::string shown;
    for (unsigned char c : raw) {
        if (c >= 0x20 && c < 0x7F) {
            shown += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        }
    }
    return shown;
}

// Why the loader would not map the sections of headers that pass
// pe::layoutProblem, or nullopt: the sections follow one another without
// gaps from the end of the headers, each at the end of the one before, and
// end within SizeOfImage, as the packer writes them.
std::optional<std::string> mappingProblem(std::istream &in, const pe::Headers &headers) {
    unsigned char field[4];
    if (headers.sectionAlignment == 0 ||
        !readAt(in, headers.optionalOffset() + PE_OPTIONAL_SIZE_OF_IMAGE, field, sizeof field)) {
        return "its optional header has no section alignment or image size";
    }
    auto aligned = [&headers](std::uint64_t value) {
        return (value + headers.sectionAlignment - 1) / headers.sectionAlignment *
               headers.sectionAlignment;
    };
    std::uint64_t next = aligned(headers.sizeOfHeaders);
    for (const pe::Section &section : headers.sections) {
        if (section.virtualAddress != next) {
            return "section " + shownName(section.name) +
                   " does not start where the one before ends";
        }
        next = aligned(std::uint64_t{section.virtualAddress} +
                       (section.virtualSize != 0 ? section.virtualSize : section.rawSize));
    }
    if (next > readLe32(field)) {
        return "its sections reach past the image's size (SizeOfImage)";
    }
    return std::nullopt;
}

// The index in the section table of the constants section of a launcher
// whose headers are `headers`, after the checks that tell a launcher, a
// damaged one and any other file apart. A section under another name that
// starts with the constants' magic is the constants section of a launcher
// whose section table is damaged: the launcher would not find it.
std::size_t constantsSectionIndex(std::istream &in, const pe::Headers &headers, std::uint64_t size,
                                  const std::string &name) {
    if (headers.extent < pe::HeaderExtent::FileHeader) {
        throw BadInput(name + ": not a tallix-onefile launcher (no PE header)");
    }
    if (headers.extent < pe::HeaderExtent::Complete) {
        throw PackFailure(name + ": damaged PE headers: the file ends inside them");
    }
    const std::vector<pe::Section> &sections = headers.sections;
    auto named = std::find_if(sections.begin(), sections.end(), [](const pe::Section &s) {
        return s.name == constantsSectionName();
    });
    if (named == sections.end()) {
        for (const pe::Section &s : sections) {
            unsigned char magic[sizeof BUILD_CONSTANTS_MAGIC];
            if (s.rawSize >= sizeof magic && readAt(in, s.rawOffset, magic, sizeof magic) &&
                std::memcmp(magic, BUILD_CONSTANTS_MAGIC, sizeof magic) == 0) {
                throw PackFailure(name +
                                  ": damaged launcher: the section holding its constants "
                                  "is called '" +
                                  shownName(s.name) + "', not " + constantsSectionName());
            }
        }
        throw BadInput(name + ": not a tallix-onefile launcher (no " + constantsSectionName() +
                       " section)");
    }
    std::uint64_t rawEnd = 0;
    for (const pe::Section &s : sections) {
        rawEnd = std::max(rawEnd, s.rawSize == 0 ? 0 : std::uint64_t{s.rawOffset} + s.rawSize);
    }
    if (rawEnd > size) {
        throw PackFailure(name + ": damaged launcher: it is cut short (the file ends inside its "
                                 "sections)");
    }
    std::optional<std::string> problem = pe::layoutProblem(headers, size);
    if (!problem) {
        problem = mappingProblem(in, headers);
    }
    if (problem) {
        throw PackFailure(name + ": damaged launcher: " + *problem);
    }
    return static_cast<std::size_t>(named - sections.begin());
}

// The reader checkBuildConstants takes, over a section in a file.
struct FileSection {
    std::istream &in;
    std::uint64_t start;
    Bytes buffer;
};

const unsigned char *readFileSection(void *context, std::uint64_t offset, std::size_t count) {
    FileSection &section = *static_cast<FileSection *>(context);
    section.buffer.resize(count);
    return readAt(section.in, section.start + offset, section.buffer.data(), count)
               ? section.buffer.data()
               : nullptr;
}

// The constants section read piecewise: its header and entry table, then
// the entries asked for.
class Constants {
  public:
    Constants(std::istream &in, const pe::Headers &headers, std::size_t index,
              const std::string &name)
        : in_(in), name_(name), start_(headers.sections[index].rawOffset),
          size_(std::min(headers.sections[index].virtualSize, headers.sections[index].rawSize)) {
        unsigned char tableEntry[PE_SECTION_HEADER_SIZE];
        if (!readAt(in_, headers.sectionTableOffset() + index * PE_SECTION_HEADER_SIZE, tableEntry,
                    sizeof tableEntry)) {
            damaged("its section table cannot be read");
        }
        std::uint32_t computed = 0;
        BuildConstantsState state = checkConstantsInFile(in_, start_, size_, tableEntry, &computed);
        checkState(state, computed);
        head_.resize(BUILD_CONSTANTS_HEADER_SIZE);
        if (!readAt(in_, start_, head_.data(), head_.size())) {
            damaged("its constants cannot be read");
        }
        head_.resize(buildConstantsTableEnd(head_.data()));
        if (!readAt(in_, start_, head_.data(), head_.size())) {
            damaged("its constants cannot be read");
        }
    }

    [[noreturn]] void damaged(const std::string &what) const {
        throw PackFailure(name_ + ": damaged launcher: " + what);
    }

    bool read(std::uint64_t offset, unsigned char *out, std::size_t count) const {
        return readAt(in_, offset, out, count);
    }

    // Entry `id`: its offset from the start of the file and its size.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> find(std::uint32_t id) const {
        std::uint64_t offset = 0, size = 0;
        if (!findBuildConstantOffset(head_.data(), head_.size(), size_, id, &offset, &size)) {
            return std::nullopt;
        }
        return std::pair{start_ + offset, size};
    }

    // Entry `id` as the UTF-16 strings it holds one after the other, as the
    // launcher requires them: at an even offset, the last one terminated.
    std::optional<std::vector<std::u16string>> strings(std::uint32_t id) const {
        std::optional<std::pair<std::uint64_t, std::uint64_t>> where = find(id);
        if (!where) {
            return std::nullopt;
        }
        Bytes bytes(static_cast<std::size_t>(std::min(where->second, CONSTANT_TEXT_LIMIT)));
        if ((where->first - start_) % 2 != 0 || where->second > CONSTANT_TEXT_LIMIT ||
            !readAt(in_, where->first, bytes.data(), bytes.size()) ||
            !isTerminatedWideString(bytes.data(), bytes.size())) {
            damaged("its constant " + std::to_string(id) + " is not UTF-16 text");
        }
        std::vector<std::u16string> out(1);
        for (std::size_t at = 0; at + 2 < bytes.size(); at += 2) {
            char16_t unit = static_cast<char16_t>(readLe16(&bytes[at]));
            if (unit == 0) {
                out.emplace_back();
            } else {
                out.back().push_back(unit);
            }
        }
        return out;
    }

  private:
    void checkState(BuildConstantsState state, std::uint32_t computed) const {
        unsigned char header[BUILD_CONSTANTS_HEADER_SIZE];
        bool headerRead = readAt(in_, start_, header, sizeof header);
        char text[96];
        switch (state) {
        case CONSTANTS_INTACT:
            return;
        case CONSTANTS_NOT_OURS:
            damaged("its " + constantsSectionName() + " section holds no constants table");
        case CONSTANTS_OTHER_FORMAT:
            std::snprintf(text, sizeof text,
                          "its constants are of format %" PRIu32
                          ", not %d: a launcher of another tallix-pack",
                          headerRead ? readLe32(header + BUILD_CONSTANTS_FORMAT_FIELD) : 0,
                          BUILD_CONSTANTS_FORMAT);
            damaged(text);
        case CONSTANTS_MALFORMED:
            damaged("its constants table or one of its entries reaches past its section");
        case CONSTANTS_CHECKSUM_MISMATCH:
            std::snprintf(text, sizeof text,
                          "its constants fail their checksum (stored %08" PRIx32
                          ", computed %08" PRIx32 ")",
                          headerRead ? readLe32(header + BUILD_CONSTANTS_CRC_FIELD) : 0, computed);
            damaged(text);
        case CONSTANTS_UNREADABLE:
            break;
        }
        damaged("its constants cannot be read");
    }

    std::istream &in_;
    const std::string &name_;
    std::uint64_t start_; // of the section, in the file
    std::uint64_t size_;  // of the section's content
    Bytes head_;          // the header and the entry table
};

void readConstants(const Constants &constants, LauncherInfo &info) {
    const struct {
        std::uint32_t id;
        const char *what;
        std::string *target;
    } strings[] = {{CONSTANT_DIRECTORY_TEMPLATE, "directory template", &info.directoryTemplate},
                   {CONSTANT_COMPANY, "company", &info.company},
                   {CONSTANT_PRODUCT, "product", &info.product},
                   {CONSTANT_VERSION, "version", &info.version},
                   {CONSTANT_FILE_VERSION, "file version", &info.fileVersion},
                   {CONSTANT_PRODUCT_VERSION, "product version", &info.productVersion}};
    for (const auto &string : strings) {
        std::optional<std::vector<std::u16string>> text = constants.strings(string.id);
        if (!text) {
            constants.damaged(std::string("its constants lack the ") + string.what);
        }
        // The launcher reads up to the first terminator.
        *string.target = utf16ToUtf8(text->front());
    }
    if (auto arguments = constants.strings(CONSTANT_LEADING_ARGUMENTS)) {
        for (const std::u16string &argument : *arguments) {
            info.leadingArguments.push_back(utf16ToUtf8(argument));
        }
    }
    if (auto options = constants.find(CONSTANT_LAUNCH_OPTIONS)) {
        unsigned char bits[4];
        if (options->second != sizeof bits || !constants.read(options->first, bits, sizeof bits)) {
            constants.damaged("the launch options are not 4 bytes");
        }
        info.launchOptions = readLe32(bits);
    }
    auto block = constants.find(CONSTANT_ATTACHED_DATA);
    if (!block) {
        constants.damaged("its constants lack the attached data");
    }
    std::tie(info.attachedDataOffset, info.attachedDataBytes) = *block;
    if (auto index = constants.find(CONSTANT_PAYLOAD_INDEX)) {
        std::tie(info.indexOffset, info.indexBytes) = *index;
    }
}

// Walks a VS_VERSIONINFO tree and collects the String nodes (text values
// below a StringTable).
void collectStrings(const Bytes &data, std::size_t at, std::size_t limit, int depth,
                    std::vector<std::pair<std::string, std::string>> &out) {
    while (at + NODE_KEY <= limit && depth < 4) {
        std::size_t length = readLe16(&data[at + NODE_LENGTH]);
        std::size_t valueLength = readLe16(&data[at + NODE_VALUE_LENGTH]);
        std::uint32_t type = readLe16(&data[at + NODE_TYPE]);
        if (length < NODE_KEY || at + length > limit) {
            return;
        }
        std::size_t end = at + length;
        std::u16string key;
        std::size_t p = at + NODE_KEY;
        for (; p + 2 <= end && readLe16(&data[p]) != 0; p += 2) {
            key.push_back(static_cast<char16_t>(readLe16(&data[p])));
        }
        p = (p + 2 + 3) & ~std::size_t{3};
        std::size_t valueBytes = type == NODE_TEXT ? valueLength * 2 : valueLength;
        if (depth == 3) {
            std::u16string value;
            for (std::size_t q = p; q + 2 <= std::min(end, p + valueBytes); q += 2) {
                char16_t unit = static_cast<char16_t>(readLe16(&data[q]));
                if (unit == 0) {
                    break;
                }
                value.push_back(unit);
            }
            out.emplace_back(utf16ToUtf8(key), utf16ToUtf8(value));
        } else {
            bool descend = depth != 1 || key == u"StringFileInfo";
            std::size_t children = (p + valueBytes + 3) & ~std::size_t{3};
            if (descend && children < end) {
                collectStrings(data, children, end, depth + 1, out);
            }
        }
        at = (end + 3) & ~std::size_t{3};
    }
}

std::vector<int> iconSizes(const Bytes &group) {
    std::vector<int> sizes;
    if (group.size() < ICON_GROUP_HEADER) {
        return sizes;
    }
    std::size_t count = readLe16(&group[ICON_GROUP_COUNT]);
    for (std::size_t i = 0;
         i < count && ICON_GROUP_HEADER + ICON_GROUP_ENTRY * (i + 1) <= group.size(); ++i) {
        int width = group[ICON_GROUP_HEADER + ICON_GROUP_ENTRY * i];
        sizes.push_back(width == 0 ? 256 : width);
    }
    return sizes;
}

void readResources(std::istream &in, const pe::Headers &headers, LauncherInfo &info) {
    info.subsystem = headers.subsystem;
    // The certificate table's "address" is a file offset, not an RVA.
    pe::DataDirectory security = headers.directory(pe::DIRECTORY_SECURITY);
    info.signature = security.address != 0 && security.size != 0;
    if (auto version = pe::readFirstResource(in, headers, pe::RESOURCE_VERSION, RESOURCE_LIMIT)) {
        collectStrings(*version, 0, version->size(), 0, info.versionResource);
    }
    if (auto group = pe::readFirstResource(in, headers, pe::RESOURCE_GROUP_ICON, RESOURCE_LIMIT)) {
        info.iconSizes = iconSizes(*group);
    }
    if (auto manifest = pe::readFirstResource(in, headers, pe::RESOURCE_MANIFEST, RESOURCE_LIMIT)) {
        info.manifest.assign(manifest->begin(), manifest->end());
    }
    if (auto splash = pe::readFirstResource(in, headers, pe::RESOURCE_BITMAP, SPLASH_LIMIT)) {
        info.splashBytes = splash->size();
        // Decoded as the launcher decodes it, so a damaged frame shows too.
        std::vector<unsigned char> drawn(SPLASH_DRAWN_CAPACITY);
        if (!decodeSplash(splash->data(), splash->size(), drawn.data(), &info.splashWidth,
                          &info.splashHeight)) {
            info.splashWidth = info.splashHeight = 0;
        }
    }
}

} // namespace

BuildConstantsState checkConstantsInFile(std::istream &in, std::uint64_t sectionOffset,
                                         std::uint64_t sectionSize, const unsigned char *tableEntry,
                                         std::uint32_t *computed) {
    FileSection section{in, sectionOffset, {}};
    return checkBuildConstants(tableEntry, sectionSize, readFileSection, &section, computed);
}

LauncherInfo readLauncherInfo(std::istream &in, const std::string &name) {
    std::uint64_t size = fileSize(in, name);
    pe::Headers headers = pe::readHeaders(in);
    Constants constants(in, headers, constantsSectionIndex(in, headers, size, name), name);
    LauncherInfo info;
    readConstants(constants, info);
    readResources(in, headers, info);
    return info;
}

} // namespace tallix
