#include "packer/image/resources/resource_tree.h"

#include "format/little_endian.h"
#include "packer/support/byte_reading.h"

#include <algorithm>
#include <map>
#include <string>
#include <tuple>

namespace tallix::pe {

namespace {

// A directory: a header, then its named entries, then its identifier
// entries.
constexpr std::size_t DIRECTORY_SIZE = 16;
constexpr std::size_t DIRECTORY_NAMED_COUNT = 12;
constexpr std::size_t DIRECTORY_ID_COUNT = 14;
// An entry: a name or identifier, then a data entry's or, with
// SUBDIRECTORY_FLAG, a subdirectory's offset in the section.
constexpr std::size_t DIRECTORY_ENTRY_SIZE = 8;
constexpr std::size_t ENTRY_ID = 0;
constexpr std::size_t ENTRY_TARGET = 4;
constexpr std::uint32_t SUBDIRECTORY_FLAG = 0x80000000;
// A data entry: the data's RVA and size.
constexpr std::size_t DATA_ENTRY_SIZE = 16;
constexpr std::size_t DATA_RVA = 0;
constexpr std::size_t DATA_SIZE = 4;
constexpr std::size_t DATA_ALIGNMENT = 8;

void put(Bytes &bytes, std::size_t offset, std::uint64_t value, std::size_t count) {
    writeLittleEndian(&bytes[offset], value, count);
}

// Writes a directory header with `entries` identifier entries at `offset`.
void directory(Bytes &out, std::size_t offset, std::size_t entries) {
    put(out, offset + DIRECTORY_ID_COUNT, entries, 2);
}

void entry(Bytes &out, std::size_t directoryOffset, std::size_t index, std::uint16_t id,
           std::uint32_t target) {
    std::size_t at = directoryOffset + DIRECTORY_SIZE + index * DIRECTORY_ENTRY_SIZE;
    put(out, at + ENTRY_ID, id, 4);
    put(out, at + ENTRY_TARGET, target, 4);
}

// Follows one level of the tree at `directory` (an offset from `base`): the
// target of the entry with `id`, or of the first entry when `id` is 0.
std::optional<std::uint32_t> findEntry(std::istream &in, std::uint64_t base,
                                       std::uint32_t directory, std::uint32_t id) {
    unsigned char header[DIRECTORY_SIZE];
    if (!readAt(in, base + directory, header, sizeof header)) {
        return std::nullopt;
    }
    std::uint32_t count =
        readLe16(header + DIRECTORY_NAMED_COUNT) + readLe16(header + DIRECTORY_ID_COUNT);
    for (std::uint32_t i = 0; i < count; ++i) {
        unsigned char entry[DIRECTORY_ENTRY_SIZE];
        if (!readAt(in, base + directory + DIRECTORY_SIZE + DIRECTORY_ENTRY_SIZE * i, entry,
                    sizeof entry)) {
            return std::nullopt;
        }
        if (id == 0 || readLe32(entry + ENTRY_ID) == id) {
            return readLe32(entry + ENTRY_TARGET);
        }
    }
    return std::nullopt;
}

} // namespace

Bytes buildResourceSection(std::vector<Resource> resources, std::uint32_t sectionRva) {
    auto key = [](const Resource &r) { return std::tuple(r.type, r.id, r.language); };
    std::sort(resources.begin(), resources.end(),
              [&](const Resource &a, const Resource &b) { return key(a) < key(b); });
    for (std::size_t i = 1; i < resources.size(); ++i) {
        if (key(resources[i - 1]) == key(resources[i])) {
            throw ImageError("two resources of type " + std::to_string(resources[i].type) +
                             " with identifier " + std::to_string(resources[i].id));
        }
    }
    // type -> id -> indices into `resources`, in sorted order.
    std::map<std::uint16_t, std::map<std::uint16_t, std::vector<std::size_t>>> tree;
    for (std::size_t i = 0; i < resources.size(); ++i) {
        tree[resources[i].type][resources[i].id].push_back(i);
    }
    auto directoryBytes = [](std::size_t entries) {
        return DIRECTORY_SIZE + entries * DIRECTORY_ENTRY_SIZE;
    };
    // Layout: all directories (root, types, identifiers), then the data
    // entries, then the data.
    std::size_t directoriesEnd = directoryBytes(tree.size());
    for (const auto &[type, ids] : tree) {
        directoriesEnd += directoryBytes(ids.size());
        for (const auto &[id, languages] : ids) {
            directoriesEnd += directoryBytes(languages.size());
        }
    }
    std::size_t dataEntries = directoriesEnd;
    std::size_t dataOffset = dataEntries + resources.size() * DATA_ENTRY_SIZE;
    std::vector<std::size_t> placed;
    for (const Resource &resource : resources) {
        dataOffset = (dataOffset + DATA_ALIGNMENT - 1) / DATA_ALIGNMENT * DATA_ALIGNMENT;
        placed.push_back(dataOffset);
        dataOffset += resource.data.size();
    }
    Bytes out(dataOffset, 0);

    std::size_t next = directoryBytes(tree.size());
    directory(out, 0, tree.size());
    std::size_t typeIndex = 0;
    for (const auto &[type, ids] : tree) {
        std::size_t typeDirectory = next;
        entry(out, 0, typeIndex++, type,
              SUBDIRECTORY_FLAG | static_cast<std::uint32_t>(typeDirectory));
        directory(out, typeDirectory, ids.size());
        next += directoryBytes(ids.size());
        std::size_t idIndex = 0;
        for (const auto &[id, languages] : ids) {
            std::size_t idDirectory = next;
            entry(out, typeDirectory, idIndex++, id,
                  SUBDIRECTORY_FLAG | static_cast<std::uint32_t>(idDirectory));
            directory(out, idDirectory, languages.size());
            next += directoryBytes(languages.size());
            for (std::size_t l = 0; l < languages.size(); ++l) {
                std::size_t r = languages[l];
                std::size_t dataEntry = dataEntries + r * DATA_ENTRY_SIZE;
                entry(out, idDirectory, l, resources[r].language,
                      static_cast<std::uint32_t>(dataEntry));
                put(out, dataEntry + DATA_RVA, sectionRva + placed[r], 4);
                put(out, dataEntry + DATA_SIZE, resources[r].data.size(), 4);
                std::copy(resources[r].data.begin(), resources[r].data.end(),
                          out.begin() + static_cast<std::ptrdiff_t>(placed[r]));
            }
        }
    }
    return out;
}

std::optional<Bytes> readFirstResource(std::istream &in, const Headers &headers, std::uint16_t type,
                                       std::uint32_t limit) {
    DataDirectory tree = headers.directory(DIRECTORY_RESOURCE);
    std::optional<std::uint64_t> base = headers.fileOffset(tree.address, DIRECTORY_SIZE);
    if (tree.address == 0 || !base) {
        return std::nullopt;
    }
    // Type, identifier and language: two subdirectories, then a data entry.
    std::uint32_t target = 0;
    std::uint32_t id = type;
    for (int level = 0; level < 3; ++level) {
        std::optional<std::uint32_t> found = findEntry(in, *base, target, id);
        bool subdirectory = found && (*found & SUBDIRECTORY_FLAG) != 0;
        if (!found || subdirectory != (level < 2)) {
            return std::nullopt;
        }
        target = *found & ~SUBDIRECTORY_FLAG;
        id = 0;
    }
    unsigned char dataEntry[DATA_ENTRY_SIZE];
    if (!readAt(in, *base + target, dataEntry, sizeof dataEntry)) {
        return std::nullopt;
    }
    std::uint32_t size = readLe32(dataEntry + DATA_SIZE);
    std::optional<std::uint64_t> where = headers.fileOffset(readLe32(dataEntry + DATA_RVA), size);
    Bytes data(size <= limit ? size : 0);
    if (!where || size > limit || !readAt(in, *where, data.data(), size)) {
        return std::nullopt;
    }
    return data;
}

} // namespace tallix::pe
