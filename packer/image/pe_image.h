// PE images: reading the headers of any PE file (a program to pack, a
// launcher to inspect), and reading a linked launcher image to write it out
// again with new sections appended. Nothing here knows what the sections
// hold. Field offsets are those of format/pe_layout.h.
#pragma once

#include <cstdint>
#include <functional>
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

inline constexpr std::uint16_t MACHINE_I386 = 0x014C;
inline constexpr std::uint16_t MACHINE_AMD64 = 0x8664;
inline constexpr std::uint16_t MACHINE_ARM64 = 0xAA64;
// COFF characteristics.
inline constexpr std::uint16_t FILE_EXECUTABLE = 0x0002;
inline constexpr std::uint16_t FILE_DLL = 0x2000;
// The subsystems CreateProcess starts.
inline constexpr std::uint16_t SUBSYSTEM_WINDOWS_GUI = 2;
inline constexpr std::uint16_t SUBSYSTEM_WINDOWS_CONSOLE = 3;
inline constexpr std::uint32_t SECTION_INITIALIZED_DATA = 0x00000040;
inline constexpr std::uint32_t SECTION_READ = 0x40000000;
// Data directory indices.
inline constexpr int DIRECTORY_RESOURCE = 2;
inline constexpr int DIRECTORY_SECURITY = 4;

// Windows loads no executable image of 2 GiB or more: x64 code reaches its
// static data through 32-bit displacements, so the x64 image format caps an
// image's size at 2 GiB (Microsoft's x64 software conventions, "Image
// Format"). Wine loads larger images, so runs under it do not show this.
inline constexpr std::uint64_t WINDOWS_IMAGE_LIMIT = std::uint64_t(2) << 30;
// The largest SizeOfImage the packer writes: 1.5 GiB (1.61 GB). The
// loader's practical limit is not documented and lies below the format's:
// a measurement on Windows 7 found images failing from 1.8 GB on, so this
// keeps a tenth below the lowest failure reported.
inline constexpr std::uint64_t LOADABLE_IMAGE_SIZE = WINDOWS_IMAGE_LIMIT / 4 * 3;

struct Section {
    std::string name;                                  // at most 8 bytes
    std::uint32_t virtualAddress = 0, virtualSize = 0; // in memory
    std::uint32_t rawOffset = 0, rawSize = 0;          // in the file
    std::uint32_t characteristics = 0;
};

struct DataDirectory {
    std::uint32_t address = 0; // an RVA; a file offset for the security directory
    std::uint32_t size = 0;
};

// How far a file holds PE headers, in the order the loader reads them.
enum class HeaderExtent {
    NoDosHeader,    // no "MZ" header: no Windows program at all
    NoPeSignature,  // no "PE\0\0" and whole COFF header where e_lfanew points
    FileHeader,     // the optional header stops before the subsystem
    OptionalHeader, // the rest of the optional header or the section table is cut short
    Complete,
};

// The headers of a PE file. Fields beyond `extent` are 0 or empty.
struct Headers {
    HeaderExtent extent = HeaderExtent::NoDosHeader;
    std::uint64_t peOffset = 0; // of the signature
    // COFF file header
    std::uint16_t machine = 0;
    std::uint32_t symbolTable = 0;
    std::uint16_t optionalHeaderSize = 0;
    std::uint16_t characteristics = 0;
    // Optional header (PE32 or PE32+)
    std::uint16_t magic = 0;
    std::uint32_t sectionAlignment = 0, fileAlignment = 0;
    std::uint32_t sizeOfImage = 0, sizeOfHeaders = 0;
    std::uint16_t subsystem = 0;
    // As many as NumberOfRvaAndSizes says and the optional header holds;
    // none for a magic other than PE32's and PE32+'s.
    std::vector<DataDirectory> directories;
    std::uint64_t directoriesOffset = 0; // in the optional header
    std::vector<Section> sections;       // in table order

    std::uint64_t coffOffset() const;
    std::uint64_t optionalOffset() const;
    std::uint64_t sectionTableOffset() const;
    std::optional<Section> section(const std::string &name) const;
    // Zeros when there is no such directory.
    DataDirectory directory(int index) const;
    // The file offset of `size` bytes at `rva`, when one section's raw data
    // holds them all.
    std::optional<std::uint64_t> fileOffset(std::uint32_t rva, std::uint32_t size) const;
};

// Reads `count` bytes at file offset `offset` into `out`; false when the
// file is shorter.
using ByteSource = std::function<bool(std::uint64_t offset, unsigned char *out, std::size_t count)>;

// Reads the headers field by field, so that a file of any size costs a few
// small reads. Never throws for what the file holds: `extent` says how far
// it got.
Headers readHeaders(const ByteSource &source);
Headers readHeaders(std::istream &in);
// From the file's first bytes, the headers at least.
Headers readHeaders(const Bytes &bytes);

// Why complete headers cannot be those of a loadable image of `fileSize`
// bytes, or nullopt: the section table runs past SizeOfHeaders, a section
// starts inside the one before (out of order), or its raw data lies inside
// the headers or past the end of the file.
std::optional<std::string> layoutProblem(const Headers &headers, std::uint64_t fileSize);

// A linked x86-64 image: its headers and sections, with nothing after the
// last section's raw data (no symbols, no signature).
class Image {
  public:
    // Throws ImageError for anything but such an image.
    static Image parse(Bytes file);

    const Bytes &bytes() const { return bytes_; }
    const Headers &headers() const { return headers_; }
    const std::vector<Section> &sections() const { return headers_.sections; }
    std::optional<Section> section(const std::string &name) const { return headers_.section(name); }
    std::uint16_t subsystem() const { return headers_.subsystem; }
    // Address and size of data directory `index`; zeros when there is none.
    std::pair<std::uint32_t, std::uint32_t> dataDirectory(int index) const {
        DataDirectory directory = headers_.directory(index);
        return {directory.address, directory.size};
    }
    std::uint32_t fileAlignment() const { return headers_.fileAlignment; }
    std::uint32_t sectionAlignment() const { return headers_.sectionAlignment; }
    // Room in the headers for this many more section table entries.
    std::size_t freeSectionSlots() const;

  private:
    friend class ImageWriter;
    Bytes bytes_;
    Headers headers_; // kept in step with bytes_ by ImageWriter
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
