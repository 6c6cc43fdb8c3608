#include "packer/image/pe_image.h"

#include <algorithm>
#include <cstring>
#include <istream>
#include <ostream>

namespace tallix::pe {

namespace {

constexpr std::size_t DOS_NEW_HEADER_OFFSET = 0x3C; // e_lfanew
constexpr std::uint32_t PE_SIGNATURE = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t MACHINE_AMD64 = 0x8664;
constexpr std::uint16_t PE32_PLUS_MAGIC = 0x20B;
constexpr std::size_t COFF_HEADER_SIZE = 20;
constexpr std::size_t SECTION_HEADER_SIZE = 40;
constexpr std::size_t DIRECTORY_ENTRY_SIZE = 8;
// Field offsets in the COFF header and the PE32+ optional header.
constexpr std::size_t COFF_SECTION_COUNT = 2;
constexpr std::size_t COFF_SYMBOL_TABLE = 8;
constexpr std::size_t COFF_OPTIONAL_SIZE = 16;
constexpr std::size_t OPT_INITIALIZED_DATA = 8;
constexpr std::size_t OPT_SECTION_ALIGNMENT = 32;
constexpr std::size_t OPT_FILE_ALIGNMENT = 36;
constexpr std::size_t OPT_SIZE_OF_IMAGE = 56;
constexpr std::size_t OPT_SIZE_OF_HEADERS = 60;
constexpr std::size_t OPT_CHECKSUM = 64;
constexpr std::size_t OPT_SUBSYSTEM = 68;
constexpr std::size_t OPT_DIRECTORY_COUNT = 108;
constexpr std::size_t OPT_DIRECTORIES = 112;
// Reads for the checksum go through a buffer of this size.
constexpr std::size_t CHECKSUM_PIECE = 1 << 20;

std::uint32_t get(const Bytes &bytes, std::size_t offset, int count) {
    if (offset + static_cast<std::size_t>(count) > bytes.size()) {
        throw ImageError("the headers are cut short");
    }
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = (value << 8) | bytes[offset + static_cast<std::size_t>(i)];
    }
    return value;
}

void put(Bytes &bytes, std::size_t offset, std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i) {
        bytes[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint64_t alignUp(std::uint64_t value, std::uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

} // namespace

Image Image::parse(Bytes file) {
    Image image;
    image.bytes_ = std::move(file);
    const Bytes &b = image.bytes_;
    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') {
        throw ImageError("not a Windows executable (no MZ header)");
    }
    std::size_t peOffset = get(b, DOS_NEW_HEADER_OFFSET, 4);
    if (get(b, peOffset, 4) != PE_SIGNATURE) {
        throw ImageError("not a PE image (no PE signature)");
    }
    image.coffOffset_ = peOffset + 4;
    image.optionalOffset_ = image.coffOffset_ + COFF_HEADER_SIZE;
    if (get(b, image.coffOffset_, 2) != MACHINE_AMD64 ||
        get(b, image.optionalOffset_, 2) != PE32_PLUS_MAGIC) {
        throw ImageError("not an x86-64 (PE32+) image");
    }
    if (get(b, image.coffOffset_ + COFF_SYMBOL_TABLE, 4) != 0) {
        throw ImageError("the image carries a symbol table; link it stripped");
    }
    std::size_t o = image.optionalOffset_;
    image.sectionAlignment_ = get(b, o + OPT_SECTION_ALIGNMENT, 4);
    image.fileAlignment_ = get(b, o + OPT_FILE_ALIGNMENT, 4);
    image.sizeOfHeaders_ = get(b, o + OPT_SIZE_OF_HEADERS, 4);
    image.directoryCount_ = get(b, o + OPT_DIRECTORY_COUNT, 4);
    if (image.fileAlignment_ == 0 || image.sectionAlignment_ < image.fileAlignment_ ||
        image.directoryCount_ <= DIRECTORY_SECURITY) {
        throw ImageError("unusual optional header (alignment or data directories)");
    }
    if (get(b, o + OPT_DIRECTORIES + DIRECTORY_SECURITY * DIRECTORY_ENTRY_SIZE + 4, 4) != 0) {
        throw ImageError("the image is signed; sign only the finished launcher");
    }
    image.tableOffset_ = o + get(b, image.coffOffset_ + COFF_OPTIONAL_SIZE, 2);
    std::size_t count = get(b, image.coffOffset_ + COFF_SECTION_COUNT, 2);
    std::uint64_t rawEnd = image.sizeOfHeaders_;
    std::uint64_t lastVirtualEnd = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t h = image.tableOffset_ + i * SECTION_HEADER_SIZE;
        Section section;
        get(b, h + SECTION_HEADER_SIZE - 1, 1); // the whole entry is there
        section.name.assign(reinterpret_cast<const char *>(&b[h]),
                            strnlen(reinterpret_cast<const char *>(&b[h]), 8));
        section.virtualSize = get(b, h + 8, 4);
        section.virtualAddress = get(b, h + 12, 4);
        section.rawSize = get(b, h + 16, 4);
        section.rawOffset = get(b, h + 20, 4);
        section.characteristics = get(b, h + 36, 4);
        if (section.virtualAddress < lastVirtualEnd ||
            (section.rawSize != 0 &&
             (section.rawOffset < image.sizeOfHeaders_ ||
              std::uint64_t(section.rawOffset) + section.rawSize > b.size()))) {
            throw ImageError("section " + section.name + " lies outside the image or out of order");
        }
        lastVirtualEnd =
            std::uint64_t(section.virtualAddress) + std::max(section.virtualSize, section.rawSize);
        if (section.rawSize != 0) {
            rawEnd =
                std::max<std::uint64_t>(rawEnd, std::uint64_t(section.rawOffset) + section.rawSize);
        }
        image.sections_.push_back(section);
    }
    if (image.tableOffset_ + count * SECTION_HEADER_SIZE > image.sizeOfHeaders_ ||
        image.sections_.empty()) {
        throw ImageError("the section table is malformed");
    }
    if (rawEnd != b.size()) {
        throw ImageError("data follows the last section (" + std::to_string(b.size() - rawEnd) +
                         " bytes)");
    }
    return image;
}

std::optional<Section> Image::section(const std::string &name) const {
    for (const Section &section : sections_) {
        if (section.name == name) {
            return section;
        }
    }
    return std::nullopt;
}

std::uint16_t Image::subsystem() const {
    return static_cast<std::uint16_t>(get(bytes_, optionalOffset_ + OPT_SUBSYSTEM, 2));
}

std::pair<std::uint32_t, std::uint32_t> Image::dataDirectory(int index) const {
    if (index < 0 || static_cast<std::uint32_t>(index) >= directoryCount_) {
        return {0, 0};
    }
    std::size_t d = optionalOffset_ + OPT_DIRECTORIES + std::size_t(index) * DIRECTORY_ENTRY_SIZE;
    return {get(bytes_, d, 4), get(bytes_, d + 4, 4)};
}

std::size_t Image::freeSectionSlots() const {
    std::size_t used = tableOffset_ + sections_.size() * SECTION_HEADER_SIZE;
    std::size_t limit = sizeOfHeaders_;
    for (const Section &section : sections_) {
        if (section.rawSize != 0) {
            limit = std::min<std::size_t>(limit, section.rawOffset);
        }
    }
    // Only zero bytes may be taken over.
    std::size_t end = used;
    while (end < limit && bytes_[end] == 0) {
        ++end;
    }
    return (end - used) / SECTION_HEADER_SIZE;
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
    const Section &last = image_.sections_.back();
    Section section;
    section.name = name;
    section.characteristics = characteristics;
    section.virtualAddress = static_cast<std::uint32_t>(
        alignUp(std::uint64_t(last.virtualAddress) + std::max(last.virtualSize, last.rawSize),
                image_.sectionAlignment_));
    file_.seekp(0, std::ios::end);
    std::uint64_t start = alignUp(position(), image_.fileAlignment_);
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
    std::uint64_t rawSize = alignUp(size, image_.fileAlignment_);
    if (size == 0 || std::uint64_t(open_->rawOffset) + rawSize > UINT32_MAX ||
        open_->virtualAddress + alignUp(size, image_.sectionAlignment_) > UINT32_MAX) {
        throw ImageError("section " + open_->name + " is empty or beyond 4 GiB");
    }
    pad(open_->rawOffset + rawSize);
    if (!file_) {
        throw ImageError("cannot write section " + open_->name);
    }
    open_->virtualSize = static_cast<std::uint32_t>(size);
    open_->rawSize = static_cast<std::uint32_t>(rawSize);

    Bytes &b = image_.bytes_;
    std::size_t h = image_.tableOffset_ + image_.sections_.size() * SECTION_HEADER_SIZE;
    std::fill(b.begin() + static_cast<std::ptrdiff_t>(h),
              b.begin() + static_cast<std::ptrdiff_t>(h + SECTION_HEADER_SIZE), 0);
    std::memcpy(&b[h], open_->name.data(), open_->name.size());
    put(b, h + 8, open_->virtualSize, 4);
    put(b, h + 12, open_->virtualAddress, 4);
    put(b, h + 16, open_->rawSize, 4);
    put(b, h + 20, open_->rawOffset, 4);
    put(b, h + 36, open_->characteristics, 4);
    image_.sections_.push_back(*open_);
    put(b, image_.coffOffset_ + COFF_SECTION_COUNT,
        static_cast<std::uint32_t>(image_.sections_.size()), 2);
    std::size_t o = image_.optionalOffset_;
    put(b, o + OPT_SIZE_OF_IMAGE,
        static_cast<std::uint32_t>(
            alignUp(std::uint64_t(open_->virtualAddress) + size, image_.sectionAlignment_)),
        4);
    if (open_->characteristics & SECTION_INITIALIZED_DATA) {
        put(b, o + OPT_INITIALIZED_DATA, get(b, o + OPT_INITIALIZED_DATA, 4) + open_->rawSize, 4);
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
    if (index < 0 || static_cast<std::uint32_t>(index) >= image_.directoryCount_) {
        throw ImageError("no data directory " + std::to_string(index));
    }
    std::size_t d =
        image_.optionalOffset_ + OPT_DIRECTORIES + std::size_t(index) * DIRECTORY_ENTRY_SIZE;
    put(image_.bytes_, d, rva, 4);
    put(image_.bytes_, d + 4, size, 4);
}

void ImageWriter::writeAt(std::uint64_t offset, const void *data, std::size_t size) {
    file_.seekp(static_cast<std::streamoff>(offset));
    file_.write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
}

void ImageWriter::finish() {
    if (open_) {
        throw ImageError("section " + open_->name + " is still open");
    }
    std::size_t checksumOffset = image_.optionalOffset_ + OPT_CHECKSUM;
    put(image_.bytes_, checksumOffset, 0, 4);
    writeAt(0, image_.bytes_.data(), image_.sizeOfHeaders_);
    file_.flush();
    std::uint32_t checksum = imageChecksum(file_, checksumOffset);
    put(image_.bytes_, checksumOffset, checksum, 4);
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
            std::uint64_t at = length + i;
            std::uint32_t word = 0;
            for (int k = 3; k >= 0; --k) {
                word = (word << 8) | static_cast<unsigned char>(buffer[i + std::size_t(k)]);
            }
            if (at == checksumOffset) {
                word = 0;
            }
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
