// The launcher's icon from a PNG (resized) or from an .ico (taken over).
#include "packer/image/icon_builder.h"
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

TEST(Icon, PngMustBeSquareAndLargeEnough) {
    EXPECT_THROW(iconImagesFromPng(makePng(255, 255), "small.png"), BadInput);
    EXPECT_THROW(iconImagesFromPng(makePng(300, 256), "wide.png"), BadInput);
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

TEST(Icon, IcoMustHoldExactlyTheSevenRgbaPngs) {
    std::vector<Bytes> images = iconImagesFromPng(makePng(256, 256), "icon.png");
    std::vector<Bytes> six(images.begin(), images.end() - 1);
    EXPECT_THROW(iconImagesFromIco(iconFile(six), "six.ico"), BadInput);
    std::vector<Bytes> duplicate = images;
    duplicate[1] = duplicate[0]; // two 16-pixel images, no 24
    EXPECT_THROW(iconImagesFromIco(iconFile(duplicate), "dup.ico"), BadInput);
    std::vector<Bytes> rgb = images;
    rgb[0] = iconImagesFromPng(makePng(256, 256, 3), "rgb.png")[0];
    rgb[0][25] = 2; // an RGB PNG without alpha
    EXPECT_THROW(iconImagesFromIco(iconFile(rgb), "rgb.ico"), BadInput);
    std::vector<Bytes> bitmap = images;
    bitmap[3] = Bytes(40, 0); // a BMP-style entry
    EXPECT_THROW(iconImagesFromIco(iconFile(bitmap), "bmp.ico"), BadInput);
    Bytes outside = iconFile(images);
    outside[6 + 12] = 0xFF; // offset of the first image beyond the file
    outside[6 + 15] = 0x7F;
    EXPECT_THROW(iconImagesFromIco(outside, "outside.ico"), BadInput);
    EXPECT_THROW(iconImagesFromIco(Bytes{0, 0, 1}, "short.ico"), BadInput);
}

} // namespace
} // namespace tallix
