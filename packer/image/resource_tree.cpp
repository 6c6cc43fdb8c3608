#include "packer/image/resource_tree.h"

#include <algorithm>
#include <map>
#include <string>
#include <tuple>

namespace tallix::pe {

namespace {

constexpr std::size_t DIRECTORY_SIZE = 16;
constexpr std::size_t DIRECTORY_ENTRY_SIZE = 8;
constexpr std::size_t DATA_ENTRY_SIZE = 16;
constexpr std::size_t DATA_ALIGNMENT = 8;
// Marks an entry that points to a subdirectory rather than a data entry.
constexpr std::uint32_t SUBDIRECTORY_FLAG = 0x80000000;

void put(Bytes &bytes, std::size_t offset, std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i) {
        bytes[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// Writes a directory header with `entries` identifier entries at `offset`.
void directory(Bytes &out, std::size_t offset, std::size_t entries) {
    put(out, offset + 14, static_cast<std::uint32_t>(entries), 2);
}

void entry(Bytes &out, std::size_t directoryOffset, std::size_t index, std::uint16_t id,
           std::uint32_t target) {
    std::size_t at = directoryOffset + DIRECTORY_SIZE + index * DIRECTORY_ENTRY_SIZE;
    put(out, at, id, 4);
    put(out, at + 4, target, 4);
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
                put(out, dataEntry, static_cast<std::uint32_t>(sectionRva + placed[r]), 4);
                put(out, dataEntry + 4, static_cast<std::uint32_t>(resources[r].data.size()), 4);
                std::copy(resources[r].data.begin(), resources[r].data.end(),
                          out.begin() + static_cast<std::ptrdiff_t>(placed[r]));
            }
        }
    }
    return out;
}

} // namespace tallix::pe
