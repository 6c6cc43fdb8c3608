#include "packer/image/pe_image.h"

#include "format/little_endian.h"
#include "format/pe_layout.h"
#include "packer/support/byte_reading.h"

#include <algorithm>
#include <cstring>
#include <istream>
#include <ostream>

namespace tallix::pe {

namespace {

// Reads for the checksum go through a buffer of this size.
constexpr std::size_t CHECKSUM_PIECE = 1 << 20;

std::uint64_t alignUp(std::uint64_t value, std::uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

Section readSectionHeader(const unsigned char *header) {
    Section section;
    const char *name = reinterpret_cast<const char *>(header + PE_SECTION_NAME);
    section.name.assign(name, strnlen(name, PE_SECTION_NAME_SIZE));
    section.virtualSize = readLe32(header + PE_SECTION_VIRTUAL_SIZE);
    section.virtualAddress = readLe32(header + PE_SECTION_VIRTUAL_ADDRESS);
    section.rawSize = readLe32(header + PE_SECTION_RAW_SIZE);
    section.rawOffset = readLe32(header + PE_SECTION_RAW_OFFSET);
    section.characteristics = readLe32(header + PE_SECTION_CHARACTERISTICS);
    return section;
}

void writeSectionHeader(unsigned char *header, const Section &section) {
    std::fill(header, header + PE_SECTION_HEADER_SIZE, 0);
    std::memcpy(header + PE_SECTION_NAME, section.name.data(), section.name.size());
    writeLittleEndian(header + PE_SECTION_VIRTUAL_SIZE, section.virtualSize, 4);
    writeLittleEndian(header + PE_SECTION_VIRTUAL_ADDRESS, section.virtualAddress, 4);
    writeLittleEndian(header + PE_SECTION_RAW_SIZE, section.rawSize, 4);
    writeLittleEndian(header + PE_SECTION_RAW_OFFSET, section.rawOffset, 4);
    writeLittleEndian(header + PE_SECTION_CHARACTERISTICS, section.characteristics, 4);
}

// The signature and the COFF header; false when they are not there.
bool readFileHeader(const ByteSource &source, Headers &headers) {
    unsigned char dos[PE_DOS_HEADER_SIZE];
    if (!source(0, dos, sizeof dos) || readLe16(dos) != PE_DOS_MAGIC) {
        return false;
    }
    headers.extent = HeaderExtent::NoPeSignature;
    headers.peOffset = readLe32(dos + PE_DOS_NEW_HEADER);
    unsigned char file[PE_SIGNATURE_SIZE + PE_COFF_HEADER_SIZE];
    if (!source(headers.peOffset, file, sizeof file) || readLe32(file) != PE_SIGNATURE) {
        return false;
    }
    const unsigned char *coff = file + PE_SIGNATURE_SIZE;
    headers.machine = readLe16(coff + PE_COFF_MACHINE);
    headers.sections.resize(readLe16(coff + PE_COFF_SECTION_COUNT));
    headers.symbolTable = readLe32(coff + PE_COFF_SYMBOL_TABLE);
    headers.optionalHeaderSize = readLe16(coff + PE_COFF_OPTIONAL_HEADER_SIZE);
    headers.characteristics = readLe16(coff + PE_COFF_CHARACTERISTICS);
    headers.extent = HeaderExtent::FileHeader;
    return true;
}

// The optional header's fields through the subsystem, then its data
// directories; false when the file or the header stops before either.
bool readOptionalHeader(const ByteSource &source, Headers &headers) {
    std::vector<unsigned char> optional(headers.optionalHeaderSize);
    if (optional.size() < PE_OPTIONAL_SHARED_SIZE ||
        !source(headers.optionalOffset(), optional.data(), PE_OPTIONAL_SHARED_SIZE)) {
        return false;
    }
    const unsigned char *o = optional.data();
    headers.magic = readLe16(o + PE_OPTIONAL_MAGIC);
    headers.sectionAlignment = readLe32(o + PE_OPTIONAL_SECTION_ALIGNMENT);
    headers.fileAlignment = readLe32(o + PE_OPTIONAL_FILE_ALIGNMENT);
    headers.sizeOfImage = readLe32(o + PE_OPTIONAL_SIZE_OF_IMAGE);
    headers.sizeOfHeaders = readLe32(o + PE_OPTIONAL_SIZE_OF_HEADERS);
    headers.subsystem = readLe16(o + PE_OPTIONAL_SUBSYSTEM);
    headers.extent = HeaderExtent::OptionalHeader;
    if (!source(headers.optionalOffset(), optional.data(), optional.size())) {
        return false;
    }
    headers.directoriesOffset = headers.magic == PE32_PLUS_MAGIC ? PE32_PLUS_DIRECTORIES
                                : headers.magic == PE32_MAGIC    ? PE32_DIRECTORIES
                                                                 : 0;
    if (headers.directoriesOffset == 0 || optional.size() < headers.directoriesOffset) {
        return true;
    }
    std::uint64_t declared =
        readLe32(o + headers.directoriesOffset - PE_DIRECTORY_COUNT_BEFORE_DIRECTORIES);
    std::uint64_t room = (optional.size() - headers.directoriesOffset) / PE_DIRECTORY_ENTRY_SIZE;
    headers.directories.resize(std::min(declared, room));
    for (std::size_t i = 0; i < headers.directories.size(); ++i) {
        const unsigned char *entry = o + headers.directoriesOffset + i * PE_DIRECTORY_ENTRY_SIZE;
        headers.directories[i] = {readLe32(entry + PE_DIRECTORY_ADDRESS),
                                  readLe32(entry + PE_DIRECTORY_SIZE)};
    }
    return true;
}

bool readSectionTable(const ByteSource &source, Headers &headers) {
    std::vector<unsigned char> table(headers.sections.size() * PE_SECTION_HEADER_SIZE);
    if (!source(headers.sectionTableOffset(), table.data(), table.size())) {
        return false;
    }
    for (std::size_t i = 0; i < headers.sections.size(); ++i) {
        headers.sections[i] = readSectionHeader(&table[i * PE_SECTION_HEADER_SIZE]);
    }
    return true;
}

} // namespace

std::uint64_t Headers::coffOffset() const {
    return peOffset + PE_SIGNATURE_SIZE;
}

std::uint64_t Headers::optionalOffset() const {
    return coffOffset() + PE_COFF_HEADER_SIZE;
}

std::uint64_t Headers::sectionTableOffset() const {
    return optionalOffset() + optionalHeaderSize;
}

std::optional<Section> Headers::section(const std::string &name) const {
    for (const Section &candidate : sections) {
        if (candidate.name == name) {
            return candidate;
        }
    }
    return std::nullopt;
}

DataDirectory Headers::directory(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= directories.size()) {
        return {};
    }
    return directories[static_cast<std::size_t>(index)];
}

std::optional<std::uint64_t> Headers::fileOffset(std::uint32_t rva, std::uint32_t size) const {
    for (const Section &s : sections) {
        std::uint32_t span = std::max(s.virtualSize, s.rawSize);
        if (rva >= s.virtualAddress && rva - s.virtualAddress < span &&
            std::uint64_t{rva - s.virtualAddress} + size <= s.rawSize) {
            return std::uint64_t{s.rawOffset} + (rva - s.virtualAddress);
        }
    }
    return std::nullopt;
}

Headers readHeaders(const ByteSource &source) {
    Headers headers;
    if (readFileHeader(source, headers) && readOptionalHeader(source, headers) &&
        readSectionTable(source, headers)) {
        headers.extent = HeaderExtent::Complete;
    } else {
        headers.sections.clear();
    }
    return headers;
}

Headers readHeaders(std::istream &in) {
    return readHeaders([&in](std::uint64_t offset, unsigned char *out, std::size_t count) {
        return readAt(in, offset, out, count);
    });
}

Headers readHeaders(const Bytes &bytes) {
    return readHeaders([&bytes](std::uint64_t offset, unsigned char *out, std::size_t count) {
        if (offset > bytes.size() || count > bytes.size() - offset) {
            return false;
        }
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), count, out);
        return true;
    });
}

std::optional<std::string> layoutProblem(const Headers &headers, std::uint64_t fileSize) {
    if (headers.sectionTableOffset() + headers.sections.size() * PE_SECTION_HEADER_SIZE >
        headers.sizeOfHeaders) {
        return "the section table runs past the end of the headers";
    }
    std::uint64_t virtualEnd = 0;
    for (const Section &section : headers.sections) {
        if (section.virtualAddress < virtualEnd) {
            return "section " + section.name + " starts inside the one before (out of order)";
        }
        virtualEnd =
            std::uint64_t{section.virtualAddress} + std::max(section.virtualSize, section.rawSize);
        if (section.rawSize == 0) {
            continue;
        }
        if (section.rawOffset < headers.sizeOfHeaders) {
            return "section " + section.name + " lies inside the headers";
        }
        if (std::uint64_t{section.rawOffset} + section.rawSize > fileSize) {
            return "section " + section.name + " runs past the end of the file";
        }
    }
    return std::nullopt;
}

Image Image::parse(Bytes file) {
    Image image;
    image.bytes_ = std::move(file);
    Headers &h = image.headers_;
    h = readHeaders(image.bytes_);
    switch (h.extent) {
    case HeaderExtent::NoDosHeader:
        throw ImageError("not a Windows executable (no MZ header)");
    case HeaderExtent::NoPeSignature:
        throw ImageError("not a PE image (no PE signature)");
    case HeaderExtent::FileHeader:
    case HeaderExtent::OptionalHeader:
        throw ImageError("the headers are cut short");
    case HeaderExtent::Complete:
        break;
    }
    if (h.machine != MACHINE_AMD64 || h.magic != PE32_PLUS_MAGIC) {
        throw ImageError("not an x86-64 (PE32+) image");
    }
    if (h.symbolTable != 0) {
        throw ImageError("the image carries a symbol table; link it stripped");
    }
    if (h.fileAlignment == 0 || h.sectionAlignment < h.fileAlignment ||
        h.directories.size() <= DIRECTORY_SECURITY) {
        throw ImageError("unusual optional header (alignment or data directories)");
    }
    if (h.directory(DIRECTORY_SECURITY).size != 0) {
        throw ImageError("the image is signed; sign only the finished launcher");
    }
    if (std::optional<std::string> problem = layoutProblem(h, image.bytes_.size())) {
        throw ImageError(*problem);
    }
    if (h.sections.empty()) {
        throw ImageError("the image has no sections");
    }
    std::uint64_t rawEnd = h.sizeOfHeaders;
    for (const Section &section : h.sections) {
        if (section.rawSize != 0) {
            rawEnd =
                std::max<std::uint64_t>(rawEnd, std::uint64_t{section.rawOffset} + section.rawSize);
        }
    }
    if (rawEnd != image.bytes_.size()) {
        throw ImageError("data follows the last section (" +
                         std::to_string(image.bytes_.size() - rawEnd) + " bytes)");
    }
    return image;
}

std::size_t Image::freeSectionSlots() const {
    std::size_t used = headers_.sectionTableOffset() + sections().size() * PE_SECTION_HEADER_SIZE;
    std::size_t limit = headers_.sizeOfHeaders;
    for (const Section &section : sections()) {
        if (section.rawSize != 0) {
            limit = std::min<std::size_t>(limit, section.rawOffset);
        }
    }
    // Only zero bytes may be taken over.
    std::size_t end = used;
    while (end < limit && bytes_[end] == 0) {
        ++end;
    }
    return (end - used) / PE_SECTION_HEADER_SIZE;
}

ImageWriter::ImageWriter(const Image &base, std::iostream &file) : image_(base), file_(file) {
    file_.seekp(0);
    file_.write(reinterpret_cast<const char *>(image_.bytes_.data()),
                static_cast<std::streamsize>(image_.bytes_.size()));
    if (!file_) {
        throw ImageError("cannot write the image");
    }
}

std::uint64_t ImageWriter::position() {
    std::streamoff at = file_.tellp();
    if (at < 0) {
        throw ImageError("cannot write the image");
    }
    return static_cast<std::uint64_t>(at);
}

void ImageWriter::pad(std::uint64_t to) {
    static const char zeros[4096] = {};
    for (std::uint64_t at = position(); at < to;) {
        std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(to - at, sizeof zeros));
        file_.write(zeros, static_cast<std::streamsize>(piece));
        at += piece;
    }
}

std::uint32_t ImageWriter::beginSection(const std::string &name, std::uint32_t characteristics) {
    if (open_) {
        throw ImageError("section " + open_->name + " is still open");
    }
    if (name.empty() || name.size() > 8) {
        throw ImageError("section name '" + name + "' must have 1 to 8 bytes");
    }
    if (image_.freeSectionSlots() == 0) {
        throw ImageError("no room in the headers for section " + name);
    }
    const Section &last = image_.sections().back();
    Section section;
    section.name = name;
    section.characteristics = characteristics;
    section.virtualAddress = static_cast<std::uint32_t>(
        alignUp(std::uint64_t(last.virtualAddress) + std::max(last.virtualSize, last.rawSize),
                image_.sectionAlignment()));
    file_.seekp(0, std::ios::end);
    std::uint64_t start = alignUp(position(), image_.fileAlignment());
    pad(start);
    section.rawOffset = static_cast<std::uint32_t>(start);
    open_ = section;
    return section.virtualAddress;
}

std::ostream &ImageWriter::content() {
    if (!open_) {
        throw ImageError("no section is open");
    }
    return file_;
}

void ImageWriter::endSection() {
    if (!open_) {
        throw ImageError("no section is open");
    }
    std::uint64_t size = position() - open_->rawOffset;
    std::uint64_t rawSize = alignUp(size, image_.fileAlignment());
    if (size == 0 || std::uint64_t(open_->rawOffset) + rawSize > UINT32_MAX ||
        open_->virtualAddress + alignUp(size, image_.sectionAlignment()) > UINT32_MAX) {
        throw ImageError("section " + open_->name + " is empty or beyond 4 GiB");
    }
    pad(open_->rawOffset + rawSize);
    if (!file_) {
        throw ImageError("cannot write section " + open_->name);
    }
    open_->virtualSize = static_cast<std::uint32_t>(size);
    open_->rawSize = static_cast<std::uint32_t>(rawSize);

    Bytes &b = image_.bytes_;
    Headers &headers = image_.headers_;
    writeSectionHeader(
        &b[headers.sectionTableOffset() + headers.sections.size() * PE_SECTION_HEADER_SIZE],
        *open_);
    headers.sections.push_back(*open_);
    writeLittleEndian(&b[headers.coffOffset() + PE_COFF_SECTION_COUNT], headers.sections.size(), 2);
    unsigned char *optional = &b[headers.optionalOffset()];
    headers.sizeOfImage = static_cast<std::uint32_t>(
        alignUp(std::uint64_t(open_->virtualAddress) + size, headers.sectionAlignment));
    writeLittleEndian(optional + PE_OPTIONAL_SIZE_OF_IMAGE, headers.sizeOfImage, 4);
    if (open_->characteristics & SECTION_INITIALIZED_DATA) {
        unsigned char *initialized = optional + PE_OPTIONAL_INITIALIZED_DATA;
        writeLittleEndian(initialized, readLe32(initialized) + open_->rawSize, 4);
    }
    open_.reset();
}

void ImageWriter::rewrite(std::uint64_t offset, const Bytes &bytes) {
    if (!open_) {
        throw ImageError("no section is open");
    }
    std::uint64_t end = position();
    if (open_->rawOffset + offset + bytes.size() > end) {
        throw ImageError("rewrite beyond what section " + open_->name + " holds");
    }
    writeAt(open_->rawOffset + offset, bytes.data(), bytes.size());
    file_.seekp(static_cast<std::streamoff>(end));
}

void ImageWriter::setDataDirectory(int index, std::uint32_t rva, std::uint32_t size) {
    Headers &headers = image_.headers_;
    if (index < 0 || static_cast<std::size_t>(index) >= headers.directories.size()) {
        throw ImageError("no data directory " + std::to_string(index));
    }
    unsigned char *entry = &image_.bytes_[headers.optionalOffset() + headers.directoriesOffset +
                                          std::size_t(index) * PE_DIRECTORY_ENTRY_SIZE];
    writeLittleEndian(entry + PE_DIRECTORY_ADDRESS, rva, 4);
    writeLittleEndian(entry + PE_DIRECTORY_SIZE, size, 4);
    headers.directories[static_cast<std::size_t>(index)] = {rva, size};
}

void ImageWriter::writeAt(std::uint64_t offset, const void *data, std::size_t size) {
    file_.seekp(static_cast<std::streamoff>(offset));
    file_.write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
}

void ImageWriter::finish() {
    if (open_) {
        throw ImageError("section " + open_->name + " is still open");
    }
    std::size_t checksumOffset = image_.headers_.optionalOffset() + PE_OPTIONAL_CHECKSUM;
    writeLittleEndian(&image_.bytes_[checksumOffset], 0, 4);
    writeAt(0, image_.bytes_.data(), image_.headers_.sizeOfHeaders);
    file_.flush();
    std::uint32_t checksum = imageChecksum(file_, checksumOffset);
    writeLittleEndian(&image_.bytes_[checksumOffset], checksum, 4);
    writeAt(checksumOffset, &image_.bytes_[checksumOffset], 4);
    file_.flush();
    if (!file_) {
        throw ImageError("cannot write the image headers");
    }
}

std::uint32_t imageChecksum(std::istream &file, std::uint64_t checksumOffset) {
    file.clear();
    file.seekg(0);
    std::vector<char> buffer(CHECKSUM_PIECE);
    std::uint64_t sum = 0;
    std::uint64_t length = 0;
    while (file) {
        file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        std::size_t got = static_cast<std::size_t>(file.gcount());
        if (got == 0) {
            break;
        }
        // Pieces are a multiple of 4 bytes, so only the file's last is padded.
        std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(got),
                  buffer.begin() + static_cast<std::ptrdiff_t>(alignUp(got, 4)), 0);
        for (std::size_t i = 0; i < got; i += 4) {
            std::uint32_t word =
                length + i == checksumOffset
                    ? 0
                    : readLe32(reinterpret_cast<const unsigned char *>(&buffer[i]));
            sum = (sum & 0xFFFFFFFF) + word + (sum >> 32);
        }
        length += got;
    }
    file.clear();
    sum = (sum & 0xFFFFFFFF) + (sum >> 32);
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = sum + (sum >> 16);
    sum &= 0xFFFF;
    return static_cast<std::uint32_t>(sum + length);
}

} // namespace tallix::pe
