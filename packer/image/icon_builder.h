// The launcher's icon: seven PNG images (8-bit RGBA) of 16 to 256 pixels,
// stored as an .ico whose directory gives 32 bits per pixel and 0 for 256.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tallix {

inline constexpr std::array<int, 7> ICON_SIZES = {16, 24, 32, 48, 64, 128, 256};
constexpr int ICON_SOURCE_MINIMUM = 256; // the largest image is never enlarged

using Bytes = std::vector<std::uint8_t>;

// A PNG decoded to 8-bit RGBA pixels, rows top-down.
struct RgbaImage {
    int width = 0, height = 0;
    Bytes pixels; // width * height * 4 bytes
};

struct ImageSize {
    int width = 0, height = 0;
};

// The dimensions `png`'s header declares, read without decoding; throws
// BadInput naming `origin` when it is no PNG.
ImageSize pngSize(const Bytes &png, const std::string &origin);

// Decodes `png`; throws BadInput naming `origin` when it is no readable PNG
// or declares more pixels than the packer decodes (checked from the header
// first).
RgbaImage decodePng(const Bytes &png, const std::string &origin);

// From a square PNG of at least ICON_SOURCE_MINIMUM pixels: the seven
// images, resized. Throws BadInput naming `origin` and the cause.
std::vector<Bytes> iconImagesFromPng(const Bytes &png, const std::string &origin);

// From an .ico that holds exactly the seven sizes, each an 8-bit RGBA PNG:
// the images in size order. Throws BadInput otherwise.
std::vector<Bytes> iconImagesFromIco(const Bytes &ico, const std::string &origin);

// Reads `file` and dispatches on its content (PNG or .ico signature).
std::vector<Bytes> loadIconImages(const std::filesystem::path &file);

// The .ico file for ICON_SIZES-ordered images.
Bytes iconFile(const std::vector<Bytes> &images);

// The RT_GROUP_ICON resource for the same images, identifiers 1 on.
Bytes iconGroup(const std::vector<Bytes> &images);

} // namespace tallix
