#include "packer/image/icon/icon_builder.h"

#include "packer/image/icon/ico_reader.h"
#include "packer/support/byte_writing.h"
#include "packer/support/pack_errors.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>
#include <stb/stb_image_write.h>

namespace tallix {

namespace {

constexpr std::uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint8_t ICO_SIGNATURE[4] = {0, 0, 1, 0}; // reserved 0, type 1 (icon)
constexpr std::size_t ICO_HEADER_SIZE = 6;
constexpr std::size_t ICO_ENTRY_SIZE = 16;
constexpr int RGBA = 4;
constexpr int PNG_COLOR_RGBA = 6;
// Images are decoded whole, 4 bytes a pixel: 64 MiB at most, far more than
// any icon or splash needs, so that a small file declaring a vast image is
// refused from its header before the decoder allocates for it.
constexpr std::uint64_t DECODE_MAX_PIXELS = 4096 * 4096;

bool startsWith(const Bytes &data, const std::uint8_t *prefix, std::size_t length) {
    return data.size() >= length && std::memcmp(data.data(), prefix, length) == 0;
}

std::uint32_t readBig32(const std::uint8_t *p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// Width, height, bit depth and colour type from the IHDR chunk.
struct PngHeader {
    std::uint32_t width = 0, height = 0;
    int depth = 0, colorType = 0;
};

bool readPngHeader(const Bytes &png, PngHeader &header) {
    // signature, chunk length, "IHDR", width, height, depth, colour type
    if (png.size() < 8 + 8 + 10 || !startsWith(png, PNG_SIGNATURE, 8) ||
        std::memcmp(png.data() + 12, "IHDR", 4) != 0) {
        return false;
    }
    header.width = readBig32(png.data() + 16);
    header.height = readBig32(png.data() + 20);
    header.depth = png[24];
    header.colorType = png[25];
    return true;
}

// The image library's reason, which it does not always give.
std::string decodeFailure() {
    const char *reason = stbi_failure_reason();
    return reason != nullptr ? reason : "the decoder gave no reason";
}

void appendBytes(void *context, void *data, int size) {
    auto *out = static_cast<Bytes *>(context);
    auto *bytes = static_cast<std::uint8_t *>(data);
    out->insert(out->end(), bytes, bytes + size);
}

} // namespace

ImageSize pngSize(const Bytes &png, const std::string &origin) {
    ImageSize size;
    int channels = 0;
    if (png.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
        !stbi_info_from_memory(png.data(), static_cast<int>(png.size()), &size.width, &size.height,
                               &channels)) {
        throw BadInput(origin + ": not a readable PNG image (" + decodeFailure() + ")");
    }
    return size;
}

RgbaImage decodePng(const Bytes &png, const std::string &origin) {
    const ImageSize size = pngSize(png, origin);
    if (std::uint64_t(size.width) * std::uint64_t(size.height) > DECODE_MAX_PIXELS) {
        throw BadInput(origin + ": the image is " + std::to_string(size.width) + "x" +
                       std::to_string(size.height) + " pixels; at most " +
                       std::to_string(DECODE_MAX_PIXELS) + " pixels are read");
    }
    RgbaImage image;
    int channels = 0;
    std::unique_ptr<stbi_uc, void (*)(void *)> pixels(
        stbi_load_from_memory(png.data(), static_cast<int>(png.size()), &image.width, &image.height,
                              &channels, RGBA),
        stbi_image_free);
    if (!pixels) {
        throw BadInput(origin + ": not a readable PNG image (" + decodeFailure() + ")");
    }
    image.pixels.assign(pixels.get(),
                        pixels.get() + std::size_t(image.width) * image.height * RGBA);
    return image;
}

namespace {

// `image` centred on a transparent square, when it is not one already.
RgbaImage squared(const RgbaImage &image) {
    if (image.width == image.height) {
        return image;
    }
    RgbaImage square;
    square.width = square.height = std::max(image.width, image.height);
    square.pixels.assign(std::size_t(square.width) * square.height * RGBA, 0);
    const int left = (square.width - image.width) / 2, top = (square.height - image.height) / 2;
    for (int y = 0; y < image.height; ++y) {
        std::memcpy(&square.pixels[(std::size_t(top + y) * square.width + left) * RGBA],
                    &image.pixels[std::size_t(y) * image.width * RGBA],
                    std::size_t(image.width) * RGBA);
    }
    return square;
}

Bytes encodePng(const RgbaImage &image, const std::string &origin) {
    Bytes encoded;
    if (!stbi_write_png_to_func(appendBytes, &encoded, image.width, image.height, RGBA,
                                image.pixels.data(), image.width * RGBA)) {
        throw PackFailure(origin + ": encoding the icon failed");
    }
    return encoded;
}

// The source of exactly `size` pixels square with the most bits, if any.
const IconSource *exactSource(const std::vector<IconSource> &sources, int size) {
    const IconSource *best = nullptr;
    for (const IconSource &source : sources) {
        if (source.image.width == size && source.image.height == size &&
            (best == nullptr || source.bitsPerPixel > best->bitsPerPixel ||
             (source.bitsPerPixel == best->bitsPerPixel && best->png.empty()))) {
            best = &source;
        }
    }
    return best;
}

// The source with the longest side; of several, the one with the most bits.
const IconSource &largestSource(const std::vector<IconSource> &sources) {
    const IconSource *largest = &sources.front();
    auto side = [](const IconSource &source) {
        return std::max(source.image.width, source.image.height);
    };
    for (const IconSource &source : sources) {
        if (side(source) > side(*largest) ||
            (side(source) == side(*largest) && source.bitsPerPixel > largest->bitsPerPixel)) {
            largest = &source;
        }
    }
    return *largest;
}

} // namespace

std::vector<Bytes> standardIconImages(const std::vector<IconSource> &sources,
                                      const std::string &origin) {
    if (sources.empty()) {
        throw BadInput(origin + ": holds no image");
    }
    const RgbaImage square = squared(largestSource(sources).image);
    std::vector<Bytes> images;
    for (int size : ICON_SIZES) {
        if (const IconSource *exact = exactSource(sources, size)) {
            images.push_back(exact->png.empty() ? encodePng(exact->image, origin) : exact->png);
            continue;
        }
        RgbaImage resized;
        resized.width = resized.height = size;
        resized.pixels.assign(std::size_t(size) * size * RGBA, 0);
        if (!stbir_resize_uint8_srgb(square.pixels.data(), square.width, square.height, 0,
                                     resized.pixels.data(), size, size, 0, RGBA,
                                     3 /* alpha channel */, 0)) {
            throw PackFailure(origin + ": resizing the icon failed");
        }
        images.push_back(encodePng(resized, origin));
    }
    return images;
}

IconSource pngIconSource(const Bytes &png, const std::string &origin) {
    IconSource source;
    source.image = decodePng(png, origin);
    PngHeader header;
    if (readPngHeader(png, header) && header.depth == 8 && header.colorType == PNG_COLOR_RGBA) {
        source.png = png;
    }
    return source;
}

std::vector<Bytes> iconImagesFromPng(const Bytes &png, const std::string &origin) {
    return standardIconImages({pngIconSource(png, origin)}, origin);
}

std::vector<Bytes> iconImagesFromIco(const Bytes &ico, const std::string &origin) {
    return standardIconImages(readIcoImages(ico, origin), origin);
}

IconImages loadIconImages(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw BadInput(file.string() + ": cannot open the icon (" + std::strerror(errno) + ")");
    }
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw BadInput(file.string() + ": cannot read the icon");
    }
    std::vector<IconSource> sources;
    if (startsWith(data, PNG_SIGNATURE, 8)) {
        sources.push_back(pngIconSource(data, file.string()));
    } else if (startsWith(data, ICO_SIGNATURE, 4)) {
        sources = readIcoImages(data, file.string());
    } else {
        throw BadInput(file.string() + ": the icon must be a PNG image or an .ico file");
    }
    IconImages icon{standardIconImages(sources, file.string()), std::nullopt};
    const RgbaImage &largestImage = largestSource(sources).image;
    const int largest = std::max(largestImage.width, largestImage.height);
    if (largest < ICON_SIZES.back()) {
        icon.warning = file.string() + ": the icon's largest image is " + std::to_string(largest) +
                       " pixels; the larger sizes are enlarged from it and may look blurred "
                       "(an image of " +
                       std::to_string(ICON_SIZES.back()) + " pixels gives sharp ones)";
    }
    return icon;
}

namespace {

// The directory of an .ico file (each entry ends with the image's offset) or
// of an RT_GROUP_ICON resource (each ends with the image's identifier,
// 1 on): the same header and entries but for that last field.
Bytes iconDirectory(const std::vector<Bytes> &images, bool group) {
    Bytes out;
    appendLittleEndian(out, 0, 2);
    appendLittleEndian(out, 1, 2); // icons, not cursors
    appendLittleEndian(out, images.size(), 2);
    std::uint32_t offset =
        static_cast<std::uint32_t>(ICO_HEADER_SIZE + images.size() * ICO_ENTRY_SIZE);
    for (std::size_t i = 0; i < images.size(); ++i) {
        int size = ICON_SIZES[i];
        auto dimension = static_cast<std::uint8_t>(size >= 256 ? 0 : size); // 0 means 256
        out.push_back(dimension);
        out.push_back(dimension);
        out.push_back(0); // no palette
        out.push_back(0);
        appendLittleEndian(out, 1, 2);  // planes
        appendLittleEndian(out, 32, 2); // bits per pixel
        appendLittleEndian(out, images[i].size(), 4);
        if (group) {
            appendLittleEndian(out, i + 1, 2);
        } else {
            appendLittleEndian(out, offset, 4);
            offset += static_cast<std::uint32_t>(images[i].size());
        }
    }
    return out;
}

} // namespace

Bytes iconFile(const std::vector<Bytes> &images) {
    Bytes out = iconDirectory(images, false);
    for (const Bytes &image : images) {
        out.insert(out.end(), image.begin(), image.end());
    }
    return out;
}

Bytes iconGroup(const std::vector<Bytes> &images) {
    return iconDirectory(images, true);
}

} // namespace tallix
