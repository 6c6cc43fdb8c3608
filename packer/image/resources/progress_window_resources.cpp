#include "packer/image/resources/progress_window_resources.h"

#include "format/progress_window.h"
#include "packer/image/icon/icon_builder.h"
#include "packer/support/byte_writing.h"
#include "packer/support/pack_errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <zstd.h>

namespace tallix {

namespace {

constexpr std::uint16_t NEUTRAL_LANGUAGE = 0;
constexpr int RGBA = 4;
// What transparent pixels are flattened onto: the window's own background
// is the system's (usually white), which the packer cannot know.
constexpr unsigned BACKGROUND = 255;
// A splash file is read whole: even uncompressed, its pixels take under
// 2 MB, so a larger file is mostly something else.
constexpr std::uintmax_t SPLASH_FILE_LIMIT = 16 << 20;
// At most 1.9 MB of pixels: zstd's strongest regular level takes a fraction
// of a second on them, and every copy of the launcher carries the result.
constexpr int SPLASH_LEVEL = 19;

std::uint8_t flatten(unsigned channel, unsigned alpha) {
    return static_cast<std::uint8_t>((channel * alpha + BACKGROUND * (255 - alpha) + 127) / 255);
}

// `dib` with its pixels in one zstd frame (format/progress_window.h): a
// splash of flat colours takes a few kilobytes instead of 4 bytes a pixel.
pe::Bytes compressedSplash(const pe::Bytes &dib) {
    const std::size_t pixels = dib.size() - SPLASH_HEADER_SIZE;
    pe::Bytes out(SPLASH_HEADER_SIZE + ZSTD_compressBound(pixels));
    std::size_t frame =
        ZSTD_compress(out.data() + SPLASH_HEADER_SIZE, out.size() - SPLASH_HEADER_SIZE,
                      dib.data() + SPLASH_HEADER_SIZE, pixels, SPLASH_LEVEL);
    if (ZSTD_isError(frame)) {
        throw PackFailure(std::string("compressing the splash failed: ") +
                          ZSTD_getErrorName(frame));
    }
    std::copy_n(dib.begin(), SPLASH_HEADER_SIZE, out.begin());
    writeLe32(out.data() + DIB_COMPRESSION_FIELD, SPLASH_COMPRESSION_ZSTD);
    writeLe32(out.data() + DIB_IMAGE_SIZE_FIELD, frame);
    out.resize(SPLASH_HEADER_SIZE + frame);
    return out.size() < dib.size() ? out : dib; // a tiny splash gains nothing
}

} // namespace

pe::Bytes stringTableBlock(unsigned index, const std::u16string &text) {
    pe::Bytes block;
    for (unsigned i = 0; i < STRING_TABLE_BLOCK_STRINGS; ++i) {
        if (i != index) {
            appendLittleEndian(block, 0, 2);
            continue;
        }
        appendLittleEndian(block, text.size(), 2);
        for (char16_t unit : text) {
            appendLittleEndian(block, unit, 2);
        }
    }
    return block;
}

pe::Bytes splashFromPng(const pe::Bytes &png, const std::string &origin) {
    // From the header, before the pixels are decoded.
    const ImageSize declared = pngSize(png, origin);
    if (declared.width > SPLASH_MAX_WIDTH || declared.height > SPLASH_MAX_HEIGHT) {
        throw BadInput(origin + ": the splash is " + std::to_string(declared.width) + "x" +
                       std::to_string(declared.height) + " pixels; at most " +
                       std::to_string(SPLASH_MAX_WIDTH) + "x" + std::to_string(SPLASH_MAX_HEIGHT) +
                       " fit the window");
    }
    RgbaImage image = decodePng(png, origin);
    const int width = image.width, height = image.height;
    const std::size_t pixelBytes = std::size_t(width) * height * 4;
    pe::Bytes dib;
    dib.reserve(SPLASH_HEADER_SIZE + pixelBytes);
    for (std::uint64_t field :
         {std::uint64_t(SPLASH_HEADER_SIZE), std::uint64_t(width), std::uint64_t(height)}) {
        appendLittleEndian(dib, field, 4);
    }
    appendLittleEndian(dib, 1, 2);
    appendLittleEndian(dib, SPLASH_BITS_PER_PIXEL, 2);
    appendLittleEndian(dib, 0, 4); // BI_RGB
    appendLittleEndian(dib, pixelBytes, 4);
    dib.resize(SPLASH_HEADER_SIZE, 0); // no resolution, no palette
    // Bottom-up rows of B, G, R, 255.
    for (int y = height - 1; y >= 0; --y) {
        const std::uint8_t *row = image.pixels.data() + std::size_t(y) * width * RGBA;
        for (int x = 0; x < width; ++x) {
            const std::uint8_t *p = row + std::size_t(x) * RGBA;
            dib.insert(dib.end(), {flatten(p[2], p[3]), flatten(p[1], p[3]), flatten(p[0], p[3]),
                                   std::uint8_t(255)});
        }
    }
    return compressedSplash(dib);
}

pe::Bytes loadSplash(const std::filesystem::path &file) {
    std::error_code error;
    if (std::uintmax_t size = std::filesystem::file_size(file, error);
        !error && size > SPLASH_FILE_LIMIT) {
        throw BadInput("--splash " + file.string() + ": " + std::to_string(size) +
                       " bytes, more than a PNG of " + std::to_string(SPLASH_MAX_WIDTH) + "x" +
                       std::to_string(SPLASH_MAX_HEIGHT) + " pixels needs (at most " +
                       std::to_string(SPLASH_FILE_LIMIT) + ")");
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw BadInput("--splash " + file.string() + ": cannot open (" + std::strerror(errno) +
                       ")");
    }
    pe::Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw BadInput("--splash " + file.string() + ": cannot read");
    }
    return splashFromPng(data, "--splash " + file.string());
}

std::vector<pe::Resource> progressWindowResources(const ProgressWindowResources &wanted) {
    std::vector<pe::Resource> resources;
    if (wanted.text) {
        resources.push_back(
            {pe::RESOURCE_STRING,
             static_cast<std::uint16_t>(PROGRESS_TEXT_STRING_ID / STRING_TABLE_BLOCK_STRINGS + 1),
             NEUTRAL_LANGUAGE,
             stringTableBlock(PROGRESS_TEXT_STRING_ID % STRING_TABLE_BLOCK_STRINGS,
                              PROGRESS_TEXT_DEFAULT)});
    }
    if (wanted.splash) {
        resources.push_back(
            {pe::RESOURCE_BITMAP, PROGRESS_SPLASH_ID, NEUTRAL_LANGUAGE, *wanted.splash});
    }
    return resources;
}

} // namespace tallix
