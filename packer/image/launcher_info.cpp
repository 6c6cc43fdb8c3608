#include "packer/image/launcher_info.h"

#include "packer/support/byte_reading.h"
#include "packer/support/text_encoding.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

namespace tallix {
namespace {

const char16_t BUILD_INFO_MARKER[] = u"TALLIX-BUILD-INFO-1";
enum { BUILD_INFO_FIELDS = 6 };
// A field longer than this is not ours: the launcher's paths hold 4096 units.
constexpr std::size_t BUILD_INFO_FIELD_LIMIT = 4096;
constexpr std::size_t SCAN_CHUNK = 1 << 20;
// A version resource is a few KiB; anything far larger is not one.
constexpr std::uint32_t VERSION_RESOURCE_LIMIT = 1 << 20;
constexpr std::uint32_t RT_VERSION_ID = 16;
constexpr std::uint32_t RT_GROUP_ICON_ID = 14;
constexpr std::uint32_t RT_MANIFEST_ID = 24;
// A manifest or an icon directory is a few KiB as well.
constexpr std::uint32_t RESOURCE_LIMIT = 1 << 20;
constexpr std::size_t SUBSYSTEM_OFFSET = 68; // in the optional header, PE32 and PE32+
constexpr int SECURITY_DIRECTORY_INDEX = 4;
constexpr std::uint16_t PE32_PLUS_MAGIC = 0x20B;
constexpr std::uint16_t PE32_MAGIC = 0x10B;
constexpr int RESOURCE_DIRECTORY_INDEX = 2;

std::uint32_t le(const unsigned char *p, int count) {
    return static_cast<std::uint32_t>(readLittleEndian(p, count));
}

// Reads one 0x0000-terminated UTF-16LE string at `offset`; advances it.
std::optional<std::u16string> readWideString(std::istream &in, std::uint64_t &offset) {
    std::u16string text;
    for (;;) {
        unsigned char unit[2];
        if (!readAt(in, offset, unit, 2) || text.size() > BUILD_INFO_FIELD_LIMIT) {
            return std::nullopt;
        }
        offset += 2;
        char16_t value = static_cast<char16_t>(le(unit, 2));
        if (value == 0) {
            return text;
        }
        text.push_back(value);
    }
}

bool readBuildInfo(std::istream &in, LauncherInfo &info, std::uint64_t skipFrom,
                   std::uint64_t skipBytes) {
    std::vector<unsigned char> pattern;
    for (const char16_t *p = BUILD_INFO_MARKER;; ++p) {
        pattern.push_back(static_cast<unsigned char>(*p & 0xFF));
        pattern.push_back(static_cast<unsigned char>(*p >> 8));
        if (*p == 0) {
            break;
        }
    }
    std::vector<unsigned char> buffer(SCAN_CHUNK + pattern.size());
    std::uint64_t bufferStart = 0;
    std::size_t kept = 0;
    for (;;) {
        in.clear();
        in.seekg(static_cast<std::streamoff>(bufferStart + kept));
        in.read(reinterpret_cast<char *>(buffer.data() + kept), SCAN_CHUNK);
        std::size_t filled = kept + static_cast<std::size_t>(in.gcount());
        in.clear();
        auto end = buffer.begin() + static_cast<std::ptrdiff_t>(filled);
        for (auto hit = std::search(buffer.begin(), end, pattern.begin(), pattern.end());
             hit != end; hit = std::search(hit + 1, end, pattern.begin(), pattern.end())) {
            std::uint64_t offset = bufferStart + static_cast<std::uint64_t>(hit - buffer.begin());
            if (offset % 2 != 0) {
                continue; // the compiler aligns wide strings
            }
            if (offset >= skipFrom && offset - skipFrom < skipBytes) {
                continue;
            }
            offset += pattern.size();
            std::array<std::u16string, BUILD_INFO_FIELDS> fields;
            bool complete = true;
            for (std::u16string &field : fields) {
                std::optional<std::u16string> text = readWideString(in, offset);
                if (!text) {
                    complete = false;
                    break;
                }
                field = *text;
            }
            if (complete) {
                info.directoryTemplate = utf16ToUtf8(fields[0]);
                info.company = utf16ToUtf8(fields[1]);
                info.product = utf16ToUtf8(fields[2]);
                info.version = utf16ToUtf8(fields[3]);
                info.fileVersion = utf16ToUtf8(fields[4]);
                info.productVersion = utf16ToUtf8(fields[5]);
                return true;
            }
        }
        if (filled < kept + SCAN_CHUNK || filled < pattern.size()) {
            return false;
        }
        std::size_t overlap = pattern.size() - 1;
        std::memmove(buffer.data(), buffer.data() + filled - overlap, overlap);
        bufferStart += filled - overlap;
        kept = overlap;
    }
}

struct Section {
    std::uint32_t virtualAddress;
    std::uint32_t virtualSize;
    std::uint32_t rawSize;
    std::uint32_t rawOffset;
};

// The PE's sections and its resource directory's RVA, or nullopt when the
// file is no PE image.
struct PeLayout {
    std::vector<Section> sections;
    std::uint32_t resourceRva = 0;
    std::uint32_t resourceSize = 0;
    std::uint16_t subsystem = 0;
    bool certificateTable = false;

    std::optional<std::uint64_t> fileOffset(std::uint32_t rva, std::uint32_t size) const {
        for (const Section &s : sections) {
            std::uint32_t span = std::max(s.virtualSize, s.rawSize);
            if (rva >= s.virtualAddress && rva - s.virtualAddress < span &&
                std::uint64_t{rva - s.virtualAddress} + size <= s.rawSize) {
                return std::uint64_t{s.rawOffset} + (rva - s.virtualAddress);
            }
        }
        return std::nullopt;
    }
};

std::optional<PeLayout> readPeLayout(std::istream &in) {
    unsigned char dos[64];
    if (!readAt(in, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') {
        return std::nullopt;
    }
    std::uint32_t peOffset = le(dos + 0x3C, 4);
    unsigned char coff[24];
    if (!readAt(in, peOffset, coff, sizeof coff) || std::memcmp(coff, "PE\0\0", 4) != 0) {
        return std::nullopt;
    }
    std::uint32_t sectionCount = le(coff + 6, 2);
    std::uint32_t optionalSize = le(coff + 20, 2);
    std::vector<unsigned char> optional(optionalSize);
    if (optionalSize < 2 || !readAt(in, peOffset + 24, optional.data(), optionalSize)) {
        return std::nullopt;
    }
    std::uint32_t magic = le(optional.data(), 2);
    std::size_t directories = magic == PE32_PLUS_MAGIC ? 112 : magic == PE32_MAGIC ? 96 : 0;
    if (directories == 0 || optionalSize < directories) {
        return std::nullopt;
    }
    PeLayout layout;
    layout.subsystem = static_cast<std::uint16_t>(le(optional.data() + SUBSYSTEM_OFFSET, 2));
    std::uint32_t directoryCount = le(optional.data() + directories - 4, 4);
    std::size_t entry = directories + 8 * RESOURCE_DIRECTORY_INDEX;
    if (directoryCount > RESOURCE_DIRECTORY_INDEX && entry + 8 <= optionalSize) {
        layout.resourceRva = le(optional.data() + entry, 4);
        layout.resourceSize = le(optional.data() + entry + 4, 4);
    }
    // The certificate table's "address" is a file offset, not an RVA.
    std::size_t security = directories + 8 * SECURITY_DIRECTORY_INDEX;
    if (directoryCount > SECURITY_DIRECTORY_INDEX && security + 8 <= optionalSize) {
        layout.certificateTable =
            le(optional.data() + security, 4) != 0 && le(optional.data() + security + 4, 4) != 0;
    }
    std::uint64_t table = peOffset + 24 + optionalSize;
    for (std::uint32_t i = 0; i < sectionCount; ++i) {
        unsigned char header[40];
        if (!readAt(in, table + 40 * i, header, sizeof header)) {
            return std::nullopt;
        }
        layout.sections.push_back(
            {le(header + 12, 4), le(header + 8, 4), le(header + 16, 4), le(header + 20, 4)});
    }
    return layout;
}

// Follows one level of the resource tree: the entry with `id`, or the first
// entry when `id` is 0. Returns the entry's OffsetToData.
std::optional<std::uint32_t> resourceEntry(std::istream &in, std::uint64_t base,
                                           std::uint32_t directory, std::uint32_t id) {
    unsigned char header[16];
    if (!readAt(in, base + directory, header, sizeof header)) {
        return std::nullopt;
    }
    std::uint32_t count = le(header + 12, 2) + le(header + 14, 2);
    for (std::uint32_t i = 0; i < count; ++i) {
        unsigned char entry[8];
        if (!readAt(in, base + directory + 16 + 8 * i, entry, sizeof entry)) {
            return std::nullopt;
        }
        std::uint32_t name = le(entry, 4);
        if (id == 0 || name == id) {
            return le(entry + 4, 4);
        }
    }
    return std::nullopt;
}

// Walks a VS_VERSIONINFO tree and collects the String nodes (type 1 with a
// text value below a StringTable).
void collectStrings(const std::vector<unsigned char> &data, std::size_t at, std::size_t limit,
                    int depth, std::vector<std::pair<std::string, std::string>> &out) {
    while (at + 6 <= limit && depth < 4) {
        std::size_t length = le(data.data() + at, 2);
        std::size_t valueLength = le(data.data() + at + 2, 2);
        std::uint32_t type = le(data.data() + at + 4, 2);
        if (length < 6 || at + length > limit) {
            return;
        }
        std::size_t end = at + length;
        std::u16string key;
        std::size_t p = at + 6;
        while (p + 2 <= end && le(data.data() + p, 2) != 0) {
            key.push_back(static_cast<char16_t>(le(data.data() + p, 2)));
            p += 2;
        }
        p = (p + 2 + 3) & ~std::size_t{3};
        std::size_t valueBytes = type == 1 ? valueLength * 2 : valueLength;
        if (depth == 3) {
            std::u16string value;
            for (std::size_t q = p; q + 2 <= std::min(end, p + valueBytes); q += 2) {
                char16_t unit = static_cast<char16_t>(le(data.data() + q, 2));
                if (unit == 0) {
                    break;
                }
                value.push_back(unit);
            }
            out.emplace_back(utf16ToUtf8(key), utf16ToUtf8(value));
        } else {
            bool descend = depth == 0 || (depth == 1 && key == u"StringFileInfo") || depth == 2;
            std::size_t children = (p + valueBytes + 3) & ~std::size_t{3};
            if (descend && children < end) {
                collectStrings(data, children, end, depth + 1, out);
            }
        }
        at = (end + 3) & ~std::size_t{3};
    }
}

// The data of the first resource of `type` (first name, first language), or
// nullopt when there is none or it is larger than `limit`.
std::optional<std::vector<unsigned char>> readResource(std::istream &in, const PeLayout &layout,
                                                       std::uint32_t type, std::uint32_t limit) {
    if (layout.resourceRva == 0) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> base = layout.fileOffset(layout.resourceRva, 16);
    if (!base) {
        return std::nullopt;
    }
    constexpr std::uint32_t SUBDIRECTORY = 0x80000000u;
    std::optional<std::uint32_t> types = resourceEntry(in, *base, 0, type);
    if (!types || (*types & SUBDIRECTORY) == 0) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> names = resourceEntry(in, *base, *types & ~SUBDIRECTORY, 0);
    if (!names || (*names & SUBDIRECTORY) == 0) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> language = resourceEntry(in, *base, *names & ~SUBDIRECTORY, 0);
    if (!language || (*language & SUBDIRECTORY) != 0) {
        return std::nullopt;
    }
    unsigned char dataEntry[16];
    if (!readAt(in, *base + *language, dataEntry, sizeof dataEntry)) {
        return std::nullopt;
    }
    std::uint32_t rva = le(dataEntry, 4);
    std::uint32_t size = le(dataEntry + 4, 4);
    std::optional<std::uint64_t> where = layout.fileOffset(rva, size);
    if (!where || size > limit) {
        return std::nullopt;
    }
    std::vector<unsigned char> data(size);
    if (!readAt(in, *where, data.data(), size)) {
        return std::nullopt;
    }
    return data;
}

// The pixel sizes an icon group lists: a 6-byte header, then 14-byte
// entries whose first byte is the width (0 meaning 256).
std::vector<int> iconSizes(const std::vector<unsigned char> &group) {
    constexpr std::size_t HEADER = 6, ENTRY = 14;
    std::vector<int> sizes;
    if (group.size() < HEADER) {
        return sizes;
    }
    std::size_t count = le(group.data() + 4, 2);
    for (std::size_t i = 0; i < count && HEADER + ENTRY * (i + 1) <= group.size(); ++i) {
        int width = group[HEADER + ENTRY * i];
        sizes.push_back(width == 0 ? 256 : width);
    }
    return sizes;
}

} // namespace

std::vector<std::pair<std::string, std::string>> readVersionStrings(std::istream &in) {
    std::vector<std::pair<std::string, std::string>> strings;
    if (std::optional<PeLayout> layout = readPeLayout(in)) {
        if (std::optional<std::vector<unsigned char>> data =
                readResource(in, *layout, RT_VERSION_ID, VERSION_RESOURCE_LIMIT)) {
            collectStrings(*data, 0, data->size(), 0, strings);
        }
    }
    return strings;
}

LauncherInfo readLauncherInfo(std::istream &in, std::uint64_t payloadOffset,
                              std::uint64_t payloadBytes) {
    LauncherInfo info;
    readBuildInfo(in, info, payloadOffset, payloadBytes);
    info.versionResource = readVersionStrings(in);
    if (std::optional<PeLayout> layout = readPeLayout(in)) {
        info.subsystem = layout->subsystem;
        info.signature = layout->certificateTable;
        if (auto group = readResource(in, *layout, RT_GROUP_ICON_ID, RESOURCE_LIMIT)) {
            info.iconSizes = iconSizes(*group);
        }
        if (auto manifest = readResource(in, *layout, RT_MANIFEST_ID, RESOURCE_LIMIT)) {
            info.manifest.assign(manifest->begin(), manifest->end());
        }
    }
    return info;
}

} // namespace tallix
