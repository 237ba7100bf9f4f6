#include "ui/FontMeasures.h"
#include "ui/TgaImage.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A TGA image as the resources hold it: header, pixels, footer.
std::vector<uint8_t> Tga(uint16_t width, uint16_t height, uint8_t depth = 32, size_t pixelBytes = SIZE_MAX)
{
    std::vector<uint8_t> bytes(18, 0);
    bytes[2] = 2;
    bytes[12] = static_cast<uint8_t>(width);
    bytes[13] = static_cast<uint8_t>(width >> 8);
    bytes[14] = static_cast<uint8_t>(height);
    bytes[15] = static_cast<uint8_t>(height >> 8);
    bytes[16] = depth;
    bytes[17] = 0x08;
    if (pixelBytes == SIZE_MAX)
        pixelBytes = static_cast<size_t>(width) * height * 4;
    for (size_t i = 0; i < pixelBytes; ++i)
        bytes.push_back(static_cast<uint8_t>(i));
    return bytes;
}

bool Accepts(const std::vector<uint8_t>& bytes, uint32_t* width = nullptr, uint32_t* height = nullptr)
{
    uint32_t w = 0xDEAD;
    uint32_t h = 0xBEEF;
    const bool ok = CTgaImage::ReadHeader(bytes.data(), bytes.size(), &w, &h);
    if (width)
        *width = w;
    if (height)
        *height = h;
    return ok;
}

}  // namespace

TEST(TgaImage, AcceptsTheShippedLayoutWithAndWithoutFooter)
{
    std::vector<uint8_t> image = Tga(32, 32);
    const char footer[26] = {0, 0, 0, 0, 0, 0, 0, 0, 'T', 'R', 'U', 'E', 'V', 'I', 'S', 'I', 'O',
                             'N', '-', 'X', 'F', 'I', 'L', 'E', '.', 0};
    image.insert(image.end(), footer, footer + sizeof footer);
    ASSERT_EQ(image.size(), 4140u);
    uint32_t width = 0;
    uint32_t height = 0;
    EXPECT_TRUE(Accepts(image, &width, &height));
    EXPECT_EQ(width, 32u);
    EXPECT_EQ(height, 32u);

    // The footer is not needed; neither are the origin fields or the descriptor.
    std::vector<uint8_t> bare = Tga(3, 2);
    bare[8] = 7;
    bare[17] = 0x28;
    EXPECT_TRUE(Accepts(bare, &width, &height));
    EXPECT_EQ(width, 3u);
    EXPECT_EQ(height, 2u);
}

TEST(TgaImage, RefusesWrongHeadersAndLeavesTheSizeAlone)
{
    std::vector<uint8_t> depth24 = Tga(32, 32, 24);
    uint32_t width = 0;
    EXPECT_FALSE(Accepts(depth24, &width));
    EXPECT_EQ(width, 0xDEADu);

    for (size_t index : {0u, 1u, 2u}) {
        std::vector<uint8_t> image = Tga(4, 4);
        image[index] = index == 2 ? 10 : 1;  // 10: run-length encoded true colour
        EXPECT_FALSE(Accepts(image)) << "header byte " << index;
    }
    EXPECT_FALSE(Accepts(Tga(0, 4)));
    EXPECT_FALSE(Accepts(Tga(4, 0)));
}

TEST(TgaImage, RefusesDataShorterThanItsPixels)
{
    EXPECT_FALSE(Accepts(Tga(32, 32, 32, 4095)));
    EXPECT_TRUE(Accepts(Tga(32, 32, 32, 4096)));
    // The largest size the header can state, with hardly any pixels behind it.
    EXPECT_FALSE(Accepts(Tga(65535, 65535, 32, 64)));

    const std::vector<uint8_t> header = Tga(1, 1);
    uint32_t width = 0;
    uint32_t height = 0;
    EXPECT_FALSE(CTgaImage::ReadHeader(header.data(), 17, &width, &height));
    EXPECT_FALSE(CTgaImage::ReadHeader(nullptr, 4140, &width, &height));
}

TEST(TgaImage, PremultipliesColourByAlphaTruncating)
{
    // Blue, green, red, alpha as stored.
    const std::vector<uint8_t> pixels = {
        50, 100, 200, 128,  // red 200, green 100, blue 50 at half alpha
        255, 255, 255, 255, // opaque white stays
        90, 80, 70, 0,      // fully transparent: black
        255, 1, 254, 1,
    };
    std::vector<uint8_t> out(pixels.size(), 0xCC);
    CTgaImage::CopyPremultiplied(pixels.data(), 4, out.data());
    const std::vector<uint8_t> expected = {
        25, 50, 100, 128,
        255, 255, 255, 255,
        0, 0, 0, 0,
        1, 0, 0, 1,
    };
    EXPECT_EQ(out, expected);
}

TEST(FontMeasures, ScaleWithTheDotsPerInch)
{
    EXPECT_EQ(HeaderFontHeight(96), 14);
    EXPECT_EQ(HeaderFontHeight(120), 17);
    EXPECT_EQ(HeaderFontHeight(144), 21);

    EXPECT_EQ(TitleFontHeight(-11), -16);
    EXPECT_EQ(TitleFontHeight(-13), -19);
    EXPECT_EQ(TitleFontHeight(12), 18);

    EXPECT_EQ(WelcomeBodyFontHeight(96), 16);
    EXPECT_EQ(WelcomeBodyFontHeight(120), 20);
    EXPECT_EQ(WelcomeBodyFontHeight(144), 24);

    EXPECT_EQ(SidePictureWidth(205, 96), 205);
    EXPECT_EQ(SidePictureWidth(205, 120), 256);
    EXPECT_EQ(SidePictureWidth(205, 144), 307);
}
