// The launcher's icon from a PNG (resized) or from an .ico (taken over).
#include "packer/image/icon/icon_builder.h"
#include "packer/support/pack_errors.h"

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace tallix {
namespace {

void append(void *context, void *data, int size) {
    auto *out = static_cast<Bytes *>(context);
    out->insert(out->end(), static_cast<std::uint8_t *>(data),
                static_cast<std::uint8_t *>(data) + size);
}

// A square of `width` x `height`, opaque red on the left half, transparent
// on the right, in `channels` channels.
Bytes makePng(int width, int height, int channels = 4) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * channels, 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width / 2; ++x) {
            std::uint8_t *p = &pixels[(static_cast<std::size_t>(y) * width + x) * channels];
            p[0] = 255;
            p[channels - 1] = 255;
        }
    }
    Bytes png;
    EXPECT_TRUE(stbi_write_png_to_func(append, &png, width, height, channels, pixels.data(),
                                       width * channels));
    return png;
}

struct Decoded {
    int width = 0, height = 0, channels = 0;
    std::vector<std::uint8_t> rgba;
};

Decoded decode(const Bytes &png) {
    Decoded d;
    stbi_uc *pixels = stbi_load_from_memory(png.data(), static_cast<int>(png.size()), &d.width,
                                            &d.height, &d.channels, 4);
    EXPECT_NE(pixels, nullptr);
    if (pixels) {
        d.rgba.assign(pixels, pixels + static_cast<std::size_t>(d.width) * d.height * 4);
        stbi_image_free(pixels);
    }
    return d;
}

TEST(Icon, PngIsResizedToTheSevenSizesAsRgba) {
    std::vector<Bytes> images = iconImagesFromPng(makePng(300, 300, 3 + 1), "icon.png");
    ASSERT_EQ(images.size(), ICON_SIZES.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        Decoded d = decode(images[i]);
        EXPECT_EQ(d.width, ICON_SIZES[i]);
        EXPECT_EQ(d.height, ICON_SIZES[i]);
        EXPECT_EQ(d.channels, 4) << "stored as RGBA";
        EXPECT_EQ(images[i][24], 8) << "bit depth";
        EXPECT_EQ(images[i][25], 6) << "colour type RGBA";
        // Left edge stays opaque red, right edge transparent: nothing mirrored or lost.
        const std::uint8_t *left = &d.rgba[(static_cast<std::size_t>(d.height / 2) * d.width) * 4];
        const std::uint8_t *right =
            &d.rgba[(static_cast<std::size_t>(d.height / 2) * d.width + d.width - 1) * 4];
        EXPECT_EQ(left[0], 255);
        EXPECT_EQ(left[3], 255);
        EXPECT_EQ(right[3], 0);
    }
    // A greyscale or RGB source works too.
    EXPECT_EQ(iconImagesFromPng(makePng(256, 256, 3), "rgb.png").size(), 7u);
    EXPECT_EQ(iconImagesFromPng(makePng(256, 256, 1), "grey.png").size(), 7u);
}

TEST(Icon, AnyReadablePngMakesTheSevenSizes) {
    // Smaller than the largest size: enlarged; not square: centred on a
    // transparent square.
    for (auto [width, height] : {std::pair{32, 32}, std::pair{300, 100}}) {
        std::vector<Bytes> images = iconImagesFromPng(makePng(width, height), "any.png");
        ASSERT_EQ(images.size(), ICON_SIZES.size());
        Decoded big = decode(images.back());
        EXPECT_EQ(big.width, 256);
        EXPECT_EQ(big.rgba[3] == 0, width != height) << "top-left corner outside the image";
        EXPECT_EQ(big.rgba[(128 * 256 + 2) * 4 + 3], 255) << "opaque left half";
    }
    Bytes broken = makePng(256, 256);
    broken.resize(broken.size() / 2);
    EXPECT_THROW(iconImagesFromPng(broken, "broken.png"), BadInput);
}

TEST(Icon, IcoRoundTripsInSizeOrderWhateverTheStoredOrder) {
    std::vector<Bytes> images = iconImagesFromPng(makePng(256, 256), "icon.png");
    Bytes ico = iconFile(images);
    // Directory: 32 bits per pixel each, 0 for 256.
    EXPECT_EQ(ico[6 + 16 * 6], 0);
    EXPECT_EQ(ico[6], 16);
    EXPECT_EQ(ico[6 + 6], 32);
    EXPECT_EQ(iconImagesFromIco(ico, "a.ico"), images);
    // Swap the first two directory entries: same images back, in size order.
    std::swap_ranges(ico.begin() + 6, ico.begin() + 22, ico.begin() + 22);
    EXPECT_EQ(iconImagesFromIco(ico, "b.ico"), images);
}

// A bitmap .ico entry of `size` pixels square and `bits` per pixel:
// colour index or colour 1 (opaque blue) in the left half, index 0 or
// black on the right, which the mask makes transparent (for 32 bits the
// alpha channel does, and the mask is left empty).
Bytes bitmapEntry(int size, int bits) {
    Bytes dib(40, 0);
    auto put = [&dib](std::size_t at, std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            dib[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    };
    put(0, 40, 4);
    put(4, size, 4);
    put(8, 2 * size, 4); // colour rows and mask rows
    put(12, 1, 2);
    put(14, bits, 2);
    if (bits <= 8) {
        for (std::uint32_t i = 0; i < (1u << bits); ++i) {
            dib.insert(dib.end(), {0, 0, 0, 0});
        }
        dib[40 + 4] = 255; // colour 1: blue, stored BGR0
    }
    const std::size_t row = (std::size_t(size) * bits + 31) / 32 * 4;
    const std::size_t maskRow = (std::size_t(size) + 31) / 32 * 4;
    const std::size_t pixels = dib.size();
    dib.resize(pixels + row * size + maskRow * size, 0);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            std::uint8_t *p = &dib[pixels + row * y];
            bool left = x < size / 2;
            if (bits == 32) {
                put(pixels + row * y + x * 4, left ? 0xFF0000FFu : 0, 4);
            } else if (bits == 24) {
                p[x * 3] = left ? 255 : 0;
            } else if (left) {
                p[x * bits / 8] |= static_cast<std::uint8_t>(1u << (8 - bits - x * bits % 8));
            }
            if (!left && bits != 32) {
                dib[pixels + row * size + maskRow * y + x / 8] |= 0x80 >> (x % 8);
            }
        }
    }
    return dib;
}

// An .ico of the given entries, whatever they are.
Bytes icoOf(const std::vector<Bytes> &entries) {
    Bytes ico = iconFile(std::vector<Bytes>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::size_t offset = ico.size();
        for (int b = 0; b < 4; ++b) {
            ico[6 + 16 * i + 8 + b] = static_cast<std::uint8_t>(entries[i].size() >> (8 * b));
            ico[6 + 16 * i + 12 + b] = static_cast<std::uint8_t>(offset >> (8 * b));
        }
        ico.insert(ico.end(), entries[i].begin(), entries[i].end());
    }
    return ico;
}

TEST(Icon, IcoOfAnyImagesMakesTheSevenSizes) {
    Bytes png16 = iconImagesFromPng(makePng(16, 16), "p.png")[0];
    for (int bits : {1, 4, 8, 24, 32}) {
        SCOPED_TRACE(bits);
        // Four images: a PNG kept as it is, bitmaps of 24 and 48 pixels,
        // an RGB PNG of 32; the rest is resized from the 48.
        std::vector<Bytes> images = iconImagesFromIco(
            icoOf({bitmapEntry(48, bits), png16, bitmapEntry(24, bits), makePng(32, 32, 3)}),
            "four.ico");
        ASSERT_EQ(images.size(), ICON_SIZES.size());
        EXPECT_EQ(images[0], png16);
        for (std::size_t i = 1; i < images.size(); ++i) {
            Decoded d = decode(images[i]);
            ASSERT_EQ(d.width, ICON_SIZES[i]);
            EXPECT_EQ(images[i][25], 6) << "stored as RGBA";
            const std::uint8_t *left = &d.rgba[(std::size_t(d.height / 2) * d.width) * 4];
            const std::uint8_t *right = left + (d.width - 1) * 4;
            EXPECT_EQ(left[3], 255);
            if (ICON_SIZES[i] != 32) { // the bitmaps' blue, and their mask (the RGB PNG is opaque)
                EXPECT_EQ(left[2], 255);
                EXPECT_EQ(left[0], 0);
                EXPECT_EQ(right[3], 0);
            }
        }
    }
}

TEST(Icon, IcoThatCannotBeReadIsRefusedWithTheCause) {
    Bytes twoBits = bitmapEntry(16, 8);
    twoBits[14] = 2;
    Bytes compressed = bitmapEntry(16, 8);
    compressed[16] = 1;
    Bytes cut = bitmapEntry(16, 24);
    cut.resize(40 + 16 * 48 - 1);
    Bytes huge = bitmapEntry(16, 24);
    huge[5] = 0x40; // 16384 pixels wide
    Bytes outside = icoOf({makePng(16, 16)});
    outside[6 + 15] = 0x7F;
    Bytes shortDirectory = icoOf({makePng(16, 16)});
    shortDirectory.resize(12);
    Bytes brokenPng = makePng(16, 16);
    brokenPng.resize(40);
    const struct {
        Bytes ico;
        const char *cause;
    } cases[] = {
        {Bytes{0, 0, 1}, "bad.ico: not an .ico file"},
        {icoOf({}), "bad.ico: the .ico file holds no image"},
        {shortDirectory, "the .ico file is cut short"},
        {outside, "image 1 lies outside the file"},
        {icoOf({makePng(16, 16), twoBits}), "image 2 is a bitmap of 2 bits per pixel"},
        {icoOf({compressed}), "image 1 is a compressed bitmap (compression 1)"},
        {icoOf({cut}), "image 1 is cut short"},
        {icoOf({huge}), "image 1 is a bitmap of 16400x16 pixels"},
        {icoOf({Bytes(40, 7)}), "image 1 is neither a PNG image nor a bitmap"},
        {icoOf({brokenPng}), "image 1: not a readable PNG image"},
    };
    for (const auto &c : cases) {
        try {
            iconImagesFromIco(c.ico, "bad.ico");
            ADD_FAILURE() << "accepted: " << c.cause;
        } catch (const BadInput &refusal) {
            EXPECT_NE(std::string(refusal.what()).find(c.cause), std::string::npos)
                << refusal.what();
        }
    }
}

} // namespace
} // namespace tallix
