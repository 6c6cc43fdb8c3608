// PE32+ images: reading a linked image and writing it out again with new
// sections appended. Nothing here knows what the sections hold.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tallix::pe {

using Bytes = std::vector<std::uint8_t>;

// An image this module cannot read or extend; the message says why.
struct ImageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline constexpr std::uint32_t SECTION_INITIALIZED_DATA = 0x00000040;
inline constexpr std::uint32_t SECTION_READ = 0x40000000;
// Data directory indices.
inline constexpr int DIRECTORY_RESOURCE = 2;
inline constexpr int DIRECTORY_SECURITY = 4;

struct Section {
    std::string name;                                  // at most 8 bytes
    std::uint32_t virtualAddress = 0, virtualSize = 0; // in memory
    std::uint32_t rawOffset = 0, rawSize = 0;          // in the file
    std::uint32_t characteristics = 0;
};

// A linked x86-64 image: its headers and sections, with nothing after the
// last section's raw data (no symbols, no signature).
class Image {
  public:
    // Throws ImageError for anything but such an image.
    static Image parse(Bytes file);

    const Bytes &bytes() const { return bytes_; }
    const std::vector<Section> &sections() const { return sections_; }
    std::optional<Section> section(const std::string &name) const;
    std::uint16_t subsystem() const;
    // Address and size of data directory `index`; zeros when there is none.
    std::pair<std::uint32_t, std::uint32_t> dataDirectory(int index) const;
    std::uint32_t fileAlignment() const { return fileAlignment_; }
    std::uint32_t sectionAlignment() const { return sectionAlignment_; }
    // Room in the headers for this many more section table entries.
    std::size_t freeSectionSlots() const;

  private:
    friend class ImageWriter;
    Bytes bytes_;
    std::vector<Section> sections_;
    std::size_t coffOffset_ = 0;     // the COFF header, after "PE\0\0"
    std::size_t optionalOffset_ = 0; // the optional header
    std::size_t tableOffset_ = 0;    // the section table
    std::uint32_t fileAlignment_ = 0;
    std::uint32_t sectionAlignment_ = 0;
    std::uint32_t sizeOfHeaders_ = 0;
    std::uint32_t directoryCount_ = 0;
};

// Writes `base` and then new sections, one at a time, into `file` (opened
// for reading and writing, empty). Each section starts at the next aligned
// offset and address; finish() rewrites the headers (section table,
// SizeOfImage, SizeOfInitializedData, data directories) and the checksum.
// Throws ImageError when the headers have no room for another section or
// writing fails.
class ImageWriter {
  public:
    ImageWriter(const Image &base, std::iostream &file);

    // Starts a section; returns its relative virtual address.
    std::uint32_t beginSection(const std::string &name, std::uint32_t characteristics);
    // The open section's content goes here.
    std::ostream &content();
    // Closes the section: its size is what was written since beginSection.
    void endSection();
    // Overwrites bytes of the open section already written, `offset` from its
    // start; later content still goes to the end.
    void rewrite(std::uint64_t offset, const Bytes &bytes);
    void setDataDirectory(int index, std::uint32_t rva, std::uint32_t size);
    void finish();

  private:
    void writeAt(std::uint64_t offset, const void *data, std::size_t size);
    void pad(std::uint64_t to);
    std::uint64_t position();

    Image image_; // headers kept up to date here, written by finish()
    std::iostream &file_;
    std::optional<Section> open_;
};

// The PE checksum of a whole file whose checksum field lies at
// `checksumOffset` (the field itself counts as zero).
std::uint32_t imageChecksum(std::istream &file, std::uint64_t checksumOffset);

} // namespace tallix::pe
