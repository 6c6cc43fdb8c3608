// The launcher's icon: seven PNG images (8-bit RGBA) of 16 to 256 pixels,
// stored as an .ico whose directory gives 32 bits per pixel and 0 for 256.
// Made from any PNG or .ico: the sizes the source lacks are resized from
// its largest image.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tallix {

inline constexpr std::array<int, 7> ICON_SIZES = {16, 24, 32, 48, 64, 128, 256};

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

// One image an icon is made from: its pixels, the bits per pixel its
// source stored (of several images of one size the deepest is taken), and
// the PNG itself when it is already 8-bit RGBA, then kept byte for byte.
struct IconSource {
    RgbaImage image;
    int bitsPerPixel = 32;
    Bytes png;
};

// A PNG decoded as decodePng does, kept when it is 8-bit RGBA.
IconSource pngIconSource(const Bytes &png, const std::string &origin);

// The seven images in size order: each size `sources` holds square, and
// the others resized from the largest source (centred on a transparent
// square when it is not one; enlarged when it is smaller than 256 pixels).
std::vector<Bytes> standardIconImages(const std::vector<IconSource> &sources,
                                      const std::string &origin);

// From a PNG of any size. Throws BadInput naming `origin` and the cause
// when it cannot be read.
std::vector<Bytes> iconImagesFromPng(const Bytes &png, const std::string &origin);

// From an .ico of any sizes and kinds of images (packer/image/icon/ico_reader.h).
// Throws BadInput naming `origin` and the cause when it cannot be read.
std::vector<Bytes> iconImagesFromIco(const Bytes &ico, const std::string &origin);

struct IconImages {
    std::vector<Bytes> images; // in ICON_SIZES order
    // "FILE: the icon's largest image is N pixels; ... may look blurred"
    // when sizes had to be enlarged.
    std::optional<std::string> warning;
};

// Reads `file` and dispatches on its content (PNG or .ico signature).
IconImages loadIconImages(const std::filesystem::path &file);

// The .ico file for ICON_SIZES-ordered images.
Bytes iconFile(const std::vector<Bytes> &images);

// The RT_GROUP_ICON resource for the same images, identifiers 1 on.
Bytes iconGroup(const std::vector<Bytes> &images);

} // namespace tallix
