#include "packer/image/icon/ico_reader.h"

#include "format/little_endian.h"
#include "packer/support/pack_errors.h"

#include <cstring>

namespace tallix {

namespace {

constexpr std::size_t ICO_HEADER_SIZE = 6;
constexpr std::size_t ICO_ENTRY_SIZE = 16;
constexpr std::uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// BITMAPINFOHEADER; the V4 and V5 headers extend it.
constexpr std::uint32_t DIB_HEADER_MIN = 40;
constexpr std::size_t DIB_WIDTH = 4, DIB_HEIGHT = 8, DIB_BIT_COUNT = 14, DIB_COMPRESSION = 16,
                      DIB_COLORS_USED = 32, DIB_MASKS = 40;
constexpr std::uint32_t DIB_RGB = 0, DIB_BITFIELDS = 3;
constexpr std::size_t DIB_MASK_COUNT = 3; // red, green, blue; alpha is the rest

struct Masks {
    std::uint32_t red = 0, green = 0, blue = 0, alpha = 0;
};

// `value`'s bits under `mask`, scaled to 0..255.
std::uint8_t channel(std::uint32_t value, std::uint32_t mask) {
    if (mask == 0) {
        return 0;
    }
    int shift = 0;
    while (((mask >> shift) & 1) == 0) {
        ++shift;
    }
    std::uint32_t top = mask >> shift;
    return static_cast<std::uint8_t>(((value & mask) >> shift) * 255 / top);
}

class Bitmap {
  public:
    Bitmap(const std::uint8_t *data, std::size_t size, std::string where)
        : data_(data), size_(size), where_(std::move(where)) {}

    IconSource decode() {
        std::uint32_t header = size_ >= DIB_HEADER_MIN ? readLe32(data_) : 0;
        if (header < DIB_HEADER_MIN || header > size_) {
            refuse("is neither a PNG image nor a bitmap");
        }
        std::int32_t width = static_cast<std::int32_t>(readLe32(data_ + DIB_WIDTH));
        std::int32_t height = static_cast<std::int32_t>(readLe32(data_ + DIB_HEIGHT));
        bits_ = readLe16(data_ + DIB_BIT_COUNT);
        // The height counts the colour rows and the mask rows.
        bool topDown = height < 0;
        std::int64_t rows = (topDown ? -std::int64_t{height} : height) / 2;
        if (width <= 0 || rows <= 0 || width > ICO_BITMAP_MAX_SIDE || rows > ICO_BITMAP_MAX_SIDE) {
            refuse("is a bitmap of " + std::to_string(width) + "x" + std::to_string(rows) +
                   " pixels; an icon's bitmaps have 1 to " + std::to_string(ICO_BITMAP_MAX_SIDE));
        }
        width_ = width;
        height_ = static_cast<int>(rows);
        std::size_t at = header;
        readFormat(header, at);
        const std::size_t rowBytes = (std::size_t(width_) * bits_ + 31) / 32 * 4;
        const std::size_t maskRowBytes = (std::size_t(width_) + 31) / 32 * 4;
        if (at > size_ || rowBytes * height_ > size_ - at) {
            refuse("is cut short: its pixels end past the image");
        }
        const std::uint8_t *mask = nullptr;
        if (maskRowBytes * height_ <= size_ - at - rowBytes * height_) {
            mask = data_ + at + rowBytes * height_;
        }
        IconSource source;
        source.bitsPerPixel = bits_;
        source.image.width = width_;
        source.image.height = height_;
        source.image.pixels.resize(std::size_t(width_) * height_ * 4);
        bool anyAlpha = false;
        for (int y = 0; y < height_; ++y) {
            int row = topDown ? y : height_ - 1 - y;
            const std::uint8_t *colours = data_ + at + rowBytes * row;
            std::uint8_t *out = &source.image.pixels[std::size_t(y) * width_ * 4];
            for (int x = 0; x < width_; ++x, out += 4) {
                pixel(colours, x, out);
                anyAlpha = anyAlpha || out[3] != 0;
                bool transparent =
                    mask != nullptr && (mask[maskRowBytes * row + x / 8] >> (7 - x % 8) & 1) != 0;
                if (bits_ != 32) {
                    out[3] = transparent ? 0 : 255;
                }
            }
        }
        if (bits_ == 32 && !anyAlpha) {
            applyMaskAsAlpha(source.image, mask, maskRowBytes, topDown);
        }
        return source;
    }

  private:
    [[noreturn]] void refuse(const std::string &cause) const {
        throw BadInput(where_ + " " + cause);
    }

    // Checks the bit count and compression; reads the palette or the
    // colour masks, moving `at` past them to the pixels.
    void readFormat(std::uint32_t header, std::size_t &at) {
        std::uint32_t compression = readLe32(data_ + DIB_COMPRESSION);
        if (bits_ != 1 && bits_ != 4 && bits_ != 8 && bits_ != 16 && bits_ != 24 && bits_ != 32) {
            refuse("is a bitmap of " + std::to_string(bits_) +
                   " bits per pixel; icons use 1, 4, 8, 16, 24 or 32");
        }
        bool bitfields = compression == DIB_BITFIELDS && (bits_ == 16 || bits_ == 32);
        if (compression != DIB_RGB && !bitfields) {
            refuse("is a compressed bitmap (compression " + std::to_string(compression) +
                   "), which icons do not use");
        }
        if (bits_ <= 8) {
            std::uint32_t used = readLe32(data_ + DIB_COLORS_USED);
            std::uint32_t colours = used != 0 ? used : 1u << bits_;
            if (colours > (1u << bits_) || at > size_ || colours * 4 > size_ - at) {
                refuse("is cut short or has more colours than its bits can index");
            }
            palette_ = data_ + at;
            paletteSize_ = colours;
            at += colours * 4;
            return;
        }
        masks_ = bits_ == 16 ? Masks{0x7C00, 0x03E0, 0x001F, 0}
                             : Masks{0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
        if (bitfields) {
            // The masks follow a plain header; a longer header holds them.
            std::size_t from = header == DIB_HEADER_MIN ? at : DIB_MASKS;
            if (from + DIB_MASK_COUNT * 4 > size_) {
                refuse("is cut short: its colour masks end past the image");
            }
            masks_.red = readLe32(data_ + from);
            masks_.green = readLe32(data_ + from + 4);
            masks_.blue = readLe32(data_ + from + 8);
            masks_.alpha = bits_ == 32 ? ~(masks_.red | masks_.green | masks_.blue) : 0;
            if (header == DIB_HEADER_MIN) {
                at += DIB_MASK_COUNT * 4;
            }
        }
    }

    // Pixel `x` of a row as RGBA; the alpha only for 32 bits.
    void pixel(const std::uint8_t *row, int x, std::uint8_t *out) const {
        if (bits_ <= 8) {
            std::size_t bit = std::size_t(x) * bits_;
            unsigned index = (row[bit / 8] >> (8 - bits_ - bit % 8)) & ((1u << bits_) - 1);
            const std::uint8_t *colour = palette_ + 4 * (index < paletteSize_ ? index : 0);
            out[0] = colour[2], out[1] = colour[1], out[2] = colour[0], out[3] = 0;
            return;
        }
        if (bits_ == 24) {
            const std::uint8_t *p = row + std::size_t(x) * 3;
            out[0] = p[2], out[1] = p[1], out[2] = p[0], out[3] = 0;
            return;
        }
        std::uint32_t value =
            bits_ == 16 ? readLe16(row + std::size_t(x) * 2) : readLe32(row + std::size_t(x) * 4);
        out[0] = channel(value, masks_.red);
        out[1] = channel(value, masks_.green);
        out[2] = channel(value, masks_.blue);
        out[3] = channel(value, masks_.alpha);
    }

    // A 32-bit bitmap whose alpha is zero everywhere predates alpha: its
    // mask says what is transparent, as for fewer bits.
    void applyMaskAsAlpha(RgbaImage &image, const std::uint8_t *mask, std::size_t maskRowBytes,
                          bool topDown) const {
        for (int y = 0; y < height_; ++y) {
            int row = topDown ? y : height_ - 1 - y;
            for (int x = 0; x < width_; ++x) {
                bool transparent =
                    mask != nullptr && (mask[maskRowBytes * row + x / 8] >> (7 - x % 8) & 1) != 0;
                image.pixels[(std::size_t(y) * width_ + x) * 4 + 3] = transparent ? 0 : 255;
            }
        }
    }

    const std::uint8_t *data_;
    std::size_t size_;
    std::string where_;
    int width_ = 0, height_ = 0;
    unsigned bits_ = 0;
    const std::uint8_t *palette_ = nullptr;
    std::uint32_t paletteSize_ = 0;
    Masks masks_;
};

bool isPng(const std::uint8_t *data, std::size_t size) {
    return size >= sizeof PNG_SIGNATURE && std::memcmp(data, PNG_SIGNATURE, 8) == 0;
}

} // namespace

std::vector<IconSource> readIcoImages(const Bytes &ico, const std::string &origin) {
    if (ico.size() < ICO_HEADER_SIZE || readLe16(ico.data()) != 0 ||
        readLe16(ico.data() + 2) != 1) {
        throw BadInput(origin + ": not an .ico file");
    }
    std::size_t count = readLe16(ico.data() + 4);
    if (count == 0) {
        throw BadInput(origin + ": the .ico file holds no image");
    }
    if (ico.size() < ICO_HEADER_SIZE + count * ICO_ENTRY_SIZE) {
        throw BadInput(origin + ": the .ico file is cut short: its directory lists " +
                       std::to_string(count) + " images");
    }
    std::vector<IconSource> sources;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t *entry = ico.data() + ICO_HEADER_SIZE + i * ICO_ENTRY_SIZE;
        std::uint32_t length = readLe32(entry + 8);
        std::uint32_t offset = readLe32(entry + 12);
        const std::string where = origin + ": image " + std::to_string(i + 1);
        if (offset > ico.size() || length > ico.size() - offset) {
            throw BadInput(where + " lies outside the file");
        }
        const std::uint8_t *data = ico.data() + offset;
        if (!isPng(data, length)) {
            sources.push_back(Bitmap(data, length, where).decode());
            continue;
        }
        sources.push_back(pngIconSource(Bytes(data, data + length), where));
    }
    return sources;
}

} // namespace tallix
