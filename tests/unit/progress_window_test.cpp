// The progress window's resources: what the packer writes (string table,
// splash DIB, which launchers get them) read back the way the launcher
// reads them, and the line the launcher makes of its format.
#include "format/constants_section.h"
#include "format/little_endian.h"
#include "format/progress_window.h"
#include "launcher/window/progress_text.h"
#include "packer/commands/pack/launcher_settings.h"
#include "packer/commands/pack/progress_window_settings.h"
#include "packer/image/resources/progress_window_resources.h"
#include "packer/support/pack_errors.h"

#include <stb/stb_image_write.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace tallix {
namespace {

std::u16string expanded(const std::u16string &format, const std::u16string &product) {
    WideUnit out[PROGRESS_TEXT_CAPACITY];
    expandProgressText(format.c_str(), product.c_str(), u"1.2.3", out);
    return out;
}

TEST(ProgressWindow, LineFromItsFormat) {
    struct Case {
        std::u16string format, expected;
    } cases[] = {
        {PROGRESS_TEXT_DEFAULT, u"Preparing Probe 1.2.3 for its first start\u2026"},
        {u"{product} v{Version}!", u"Probe v1.2.3!"},
        {u"{COMPANY} {} } {PRODUCT}", u"{COMPANY} {} } Probe"},
        {u"a{b{PRODUCT}", u"a{bProbe"},
        {u"{PRODUCT} {VERSION", u"Probe {VERSION"},
        {u"", u""},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(expanded(c.format, u"Probe"), c.expected);
    }
    // A product name longer than the line is cut, the buffer never overrun.
    std::u16string longName(3 * PROGRESS_TEXT_CAPACITY, u'x');
    std::u16string line = expanded(u"<{PRODUCT}>", longName);
    EXPECT_EQ(line, u"<" + longName.substr(0, PROGRESS_TEXT_CAPACITY - 2));
}

TEST(ProgressWindow, StringTableReadsBackAsTheLauncherReadsIt) {
    pe::Bytes block = stringTableBlock(PROGRESS_TEXT_STRING_ID, u"Pr\u00e9paration {PRODUCT}");
    const unsigned char *units = nullptr;
    size_t length = 0;
    ASSERT_TRUE(
        findBlockString(block.data(), block.size(), PROGRESS_TEXT_STRING_ID, &units, &length));
    std::u16string text;
    for (size_t i = 0; i < length; ++i) {
        text += static_cast<char16_t>(units[2 * i] | units[2 * i + 1] << 8);
    }
    EXPECT_EQ(text, u"Pr\u00e9paration {PRODUCT}");
    ASSERT_TRUE(findBlockString(block.data(), block.size(), 15, &units, &length));
    EXPECT_EQ(length, 0u);
    // A block cut inside the string, or before its length, holds no string.
    EXPECT_FALSE(
        findBlockString(block.data(), 2 + 2 + 10, PROGRESS_TEXT_STRING_ID, &units, &length));
    EXPECT_FALSE(findBlockString(block.data(), 3, PROGRESS_TEXT_STRING_ID, &units, &length));
    EXPECT_FALSE(findBlockString(block.data(), block.size(), 16, &units, &length));
}

void appendPng(void *context, void *data, int size) {
    auto *out = static_cast<pe::Bytes *>(context);
    out->insert(out->end(), static_cast<std::uint8_t *>(data),
                static_cast<std::uint8_t *>(data) + size);
}

pe::Bytes pngOf(int width, int height, const std::vector<std::uint8_t> &rgba) {
    pe::Bytes png;
    EXPECT_TRUE(stbi_write_png_to_func(appendPng, &png, width, height, 4, rgba.data(), width * 4));
    return png;
}

TEST(ProgressWindow, SplashBecomesABottomUpOpaqueDib) {
    // Top row: opaque red, half-transparent blue, transparent green;
    // bottom row: opaque white, black, a grey of alpha 0x40.
    std::vector<std::uint8_t> rgba = {255, 0,   0,   255, 0, 0, 255, 128, 0,   255, 0,   0,
                                      255, 255, 255, 255, 0, 0, 0,   255, 100, 100, 100, 0x40};
    pe::Bytes stored = splashFromPng(pngOf(3, 2, rgba), "s.png");
    std::uint32_t width = 0, height = 0;
    ASSERT_TRUE(readSplashHeader(stored.data(), stored.size(), &width, &height));
    EXPECT_EQ(width, 3u);
    EXPECT_EQ(height, 2u);
    std::vector<std::uint8_t> drawn(SPLASH_DRAWN_CAPACITY);
    ASSERT_TRUE(decodeSplash(stored.data(), stored.size(), drawn.data(), &width, &height));
    EXPECT_EQ(readLe32(drawn.data() + DIB_COMPRESSION_FIELD), 0u);
    // B, G, R, 255; the bottom row first; flattened onto white:
    // 100 * 0x40 / 255 + 255 * (255 - 0x40) / 255 = 216.
    const std::vector<std::uint8_t> expected = {255, 255, 255, 255, 0,   0,   0,   255,
                                                216, 216, 216, 255, 0,   0,   255, 255,
                                                255, 127, 127, 255, 255, 255, 255, 255};
    EXPECT_EQ(std::vector<std::uint8_t>(drawn.begin() + SPLASH_HEADER_SIZE,
                                        drawn.begin() + SPLASH_HEADER_SIZE + 24),
              expected);
    pe::Bytes rawCut(drawn.begin(), drawn.begin() + SPLASH_HEADER_SIZE + 23);
    EXPECT_FALSE(readSplashHeader(rawCut.data(), rawCut.size(), &width, &height));

    for (auto [w, h] : {std::pair{SPLASH_MAX_WIDTH + 1, 1}, std::pair{1, SPLASH_MAX_HEIGHT + 1}}) {
        std::vector<std::uint8_t> big(std::size_t(w) * h * 4, 255);
        EXPECT_THROW(splashFromPng(pngOf(w, h, big), "big.png"), BadInput) << w << "x" << h;
    }
    EXPECT_THROW(splashFromPng(pe::Bytes{'G', 'I', 'F', '8'}, "x.gif"), BadInput);
}

// A splash larger than a few pixels is stored as one zstd frame, which the
// launcher decodes into its buffer; what does not decode to exactly the
// pixels is not drawn.
TEST(ProgressWindow, SplashIsStoredCompressedAndDecodedWithinItsBuffer) {
    std::vector<std::uint8_t> largest(std::size_t(SPLASH_MAX_WIDTH) * SPLASH_MAX_HEIGHT * 4, 9);
    const pe::Bytes stored =
        splashFromPng(pngOf(SPLASH_MAX_WIDTH, SPLASH_MAX_HEIGHT, largest), "l.png");
    EXPECT_EQ(readLe32(stored.data() + DIB_COMPRESSION_FIELD), SPLASH_COMPRESSION_ZSTD);
    EXPECT_LT(stored.size(), 4096u); // one colour: not 1.9 MB
    std::vector<std::uint8_t> drawn(SPLASH_DRAWN_CAPACITY);
    std::uint32_t width = 0, height = 0;
    ASSERT_TRUE(decodeSplash(stored.data(), stored.size(), drawn.data(), &width, &height));
    EXPECT_EQ(readLe32(drawn.data() + DIB_IMAGE_SIZE_FIELD),
              std::uint32_t(SPLASH_DRAWN_CAPACITY - SPLASH_HEADER_SIZE));
    // 9, 9, 9 flattened onto white with alpha 9.
    EXPECT_EQ(drawn[SPLASH_HEADER_SIZE], (9 * 9 + 255 * (255 - 9) + 127) / 255);
    EXPECT_EQ(drawn.back(), 255);

    auto damaged = [&](std::size_t at, std::uint8_t value) {
        pe::Bytes copy = stored;
        copy[at] = value;
        return copy;
    };
    const std::size_t frame = stored.size() - SPLASH_HEADER_SIZE;
    const pe::Bytes refused[] = {
        pe::Bytes(stored.begin(), stored.end() - 1),                  // frame cut short
        damaged(DIB_BIT_COUNT_FIELD, 8),                              // 8 bits a pixel
        damaged(DIB_HEIGHT_FIELD + 3, 0xFF),                          // top-down rows
        damaged(DIB_WIDTH_FIELD, 0x1F),                               // fewer pixels than the frame
        damaged(DIB_HEIGHT_FIELD, 0x59),                              // fewer rows
        damaged(DIB_COMPRESSION_FIELD, 1),                            // RLE, not ours
        damaged(DIB_IMAGE_SIZE_FIELD, 0),                             // no frame
        damaged(DIB_IMAGE_SIZE_FIELD, std::uint8_t(frame + 1)),       // past the end
        damaged(stored.size() - 5, stored[stored.size() - 5] ^ 0x55), // a damaged frame
    };
    for (const pe::Bytes &bad : refused) {
        EXPECT_FALSE(decodeSplash(bad.data(), bad.size(), drawn.data(), &width, &height))
            << &bad - refused;
    }
}

// Which launchers get which resources and launch option, from the options.
TEST(ProgressWindow, ResourcesAndOptionFollowTheOptions) {
    std::filesystem::path splash = std::filesystem::temp_directory_path() / "tallix-splash.png";
    {
        pe::Bytes png = pngOf(1, 1, {1, 2, 3, 255});
        std::ofstream(splash, std::ios::binary)
            .write(reinterpret_cast<const char *>(png.data()), std::streamsize(png.size()));
    }
    struct Case {
        Arguments args;
        Subsystem subsystem;
        bool text, hasSplash, noWindowBit, refused;
    } cases[] = {
        {{}, Subsystem::Gui, true, false, false, false},
        {{}, Subsystem::Console, false, false, false, false},
        {{"--no-progress-window"}, Subsystem::Gui, false, false, true, false},
        {{"--splash", splash.string()}, Subsystem::Gui, true, true, false, false},
        {{"--splash", splash.string()}, Subsystem::Console, false, false, false, true},
        {{"--splash", splash.string(), "--no-progress-window"},
         Subsystem::Gui,
         false,
         false,
         true,
         true},
        {{"--splash", (splash.parent_path() / "tallix-no-such.png").string()},
         Subsystem::Gui,
         false,
         false,
         false,
         true},
    };
    for (Case &c : cases) {
        c.args.insert(c.args.begin(), {"app", "-o", "x.exe"});
        PackOptions options = parsePackOptions(c.args);
        std::string label = c.args.back() + (c.subsystem == Subsystem::Gui ? " gui" : " console");
        EXPECT_EQ((launcherSettings(options).constants.launchOptions & LAUNCH_NO_PROGRESS_WINDOW) !=
                      0,
                  c.noWindowBit)
            << label;
        if (c.refused) {
            EXPECT_THROW(progressWindowFor(options, c.subsystem), BadInput) << label;
            continue;
        }
        std::vector<pe::Resource> resources =
            progressWindowResources(progressWindowFor(options, c.subsystem));
        ASSERT_EQ(resources.size(), size_t(c.text) + size_t(c.hasSplash)) << label;
        if (c.text) {
            EXPECT_EQ(resources[0].type, pe::RESOURCE_STRING);
            EXPECT_EQ(resources[0].id, 1); // block 1: identifiers 0 to 15
            EXPECT_EQ(resources[0].data, stringTableBlock(1, PROGRESS_TEXT_DEFAULT));
        }
        if (c.hasSplash) {
            EXPECT_EQ(resources[1].type, pe::RESOURCE_BITMAP);
            EXPECT_EQ(resources[1].data.size(), size_t{SPLASH_HEADER_SIZE + 4});
        }
    }
    std::filesystem::remove(splash);
}

} // namespace
} // namespace tallix
