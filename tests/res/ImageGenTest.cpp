// The image tool as the build runs it: the files it writes are the ones the
// resource scripts take in.
#include "ui/TgaImage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadAll(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

uint32_t Le16(const Bytes& b, size_t at)
{
    return b[at] | (b[at + 1] << 8);
}

uint32_t Le32(const Bytes& b, size_t at)
{
    return Le16(b, at) | (Le16(b, at + 2) << 16);
}

std::string ImageGenPath()
{
    const char* build = std::getenv("VELLORAN_BUILD_DIR");
    return std::string(build ? build : ".") + "/bin/imagegen";
}

// Runs the tool into a fresh folder and returns the folder.
std::string Generate()
{
    char pattern[] = "/tmp/velloran-imagegen.XXXXXX";
    const char* folder = mkdtemp(pattern);
    if (folder == nullptr)
        return std::string();
    const std::string command = ImageGenPath() + " " + folder;
    if (std::system(command.c_str()) != 0)
        return std::string();
    return folder;
}

void RemoveFolder(const std::string& folder)
{
    for (const char* name : {"side-picture.bmp", "header-logo.bmp", "destination.tga", "start-menu.tga", "setup.ico"})
        std::remove((folder + "/" + name).c_str());
    rmdir(folder.c_str());
}

class ImageGen : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_folder = Generate(); }
    static void TearDownTestSuite() { RemoveFolder(s_folder); }
    Bytes File(const char* name) { return ReadAll(s_folder + "/" + name); }
    static std::string s_folder;
};

std::string ImageGen::s_folder;

// Checks an 8-bit palette bitmap file and returns the palette indices used.
void ExpectBitmap8(const Bytes& bmp, int width, int height, std::set<int>* used)
{
    ASSERT_GE(bmp.size(), 54u);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    const size_t rowBytes = (static_cast<size_t>(width) + 3) / 4 * 4;
    const size_t pixelOffset = 14 + 40 + 256 * 4;
    EXPECT_EQ(Le32(bmp, 2), bmp.size());
    EXPECT_EQ(Le32(bmp, 10), pixelOffset);
    EXPECT_EQ(Le32(bmp, 14), 40u);
    EXPECT_EQ(Le32(bmp, 18), static_cast<uint32_t>(width));
    EXPECT_EQ(Le32(bmp, 22), static_cast<uint32_t>(height));  // bottom-up
    EXPECT_EQ(Le16(bmp, 28), 8u);
    EXPECT_EQ(Le32(bmp, 30), 0u);  // uncompressed
    EXPECT_EQ(Le32(bmp, 46), 256u);
    ASSERT_EQ(bmp.size(), pixelOffset + rowBytes * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            used->insert(bmp[pixelOffset + y * rowBytes + x]);
    }
}

}  // namespace

TEST_F(ImageGen, SidePictureAndHeaderLogoAreEightBitBitmaps)
{
    ASSERT_FALSE(s_folder.empty()) << "imagegen did not run: " << ImageGenPath();
    std::set<int> used;
    ExpectBitmap8(File("side-picture.bmp"), 205, 280, &used);
    // A gradient, not a handful of flat colours.
    EXPECT_GT(used.size(), 100u);
    used.clear();
    ExpectBitmap8(File("header-logo.bmp"), 51, 48, &used);
    EXPECT_GT(used.size(), 16u);
}

TEST_F(ImageGen, RawImagesAre4140ByteTgaFilesWithRealTransparency)
{
    ASSERT_FALSE(s_folder.empty());
    for (const char* name : {"destination.tga", "start-menu.tga"}) {
        SCOPED_TRACE(name);
        const Bytes tga = File(name);
        ASSERT_EQ(tga.size(), 4140u);
        const Bytes header(tga.begin(), tga.begin() + 18);
        const Bytes expectedHeader = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 32, 0, 32, 0x08};
        EXPECT_EQ(header, expectedHeader);
        const std::string footer(tga.end() - 26, tga.end());
        EXPECT_EQ(footer, std::string(8, '\0') + "TRUEVISION-XFILE." + std::string(1, '\0'));
        uint32_t width = 0;
        uint32_t height = 0;
        EXPECT_TRUE(CTgaImage::ReadHeader(tga.data(), tga.size(), &width, &height));

        int transparent = 0;
        int opaque = 0;
        for (size_t pixel = 0; pixel < 32 * 32; ++pixel) {
            const uint8_t alpha = tga[18 + pixel * 4 + 3];
            transparent += alpha == 0;
            opaque += alpha == 255;
        }
        EXPECT_GT(transparent, 100);
        EXPECT_GT(opaque, 100);
        // Bottom row first: the top-left corner (last row stored) is clear.
        EXPECT_EQ(tga[18 + 31 * 32 * 4 + 3], 0);
    }
}

TEST_F(ImageGen, IconHolds16And32And48PixelImages)
{
    ASSERT_FALSE(s_folder.empty());
    const Bytes ico = File("setup.ico");
    ASSERT_GE(ico.size(), 6u + 3 * 16);
    EXPECT_EQ(Le16(ico, 0), 0u);
    EXPECT_EQ(Le16(ico, 2), 1u);
    ASSERT_EQ(Le16(ico, 4), 3u);
    const uint32_t sizes[] = {16, 32, 48};
    for (int i = 0; i < 3; ++i) {
        const size_t entry = 6 + 16 * i;
        const uint32_t size = sizes[i];
        EXPECT_EQ(ico[entry], size);
        EXPECT_EQ(ico[entry + 1], size);
        EXPECT_EQ(Le16(ico, entry + 6), 32u);
        const uint32_t bytes = Le32(ico, entry + 8);
        const uint32_t offset = Le32(ico, entry + 12);
        const uint32_t maskRow = (size + 31) / 32 * 4;
        EXPECT_EQ(bytes, 40 + size * size * 4 + maskRow * size);
        ASSERT_LE(static_cast<size_t>(offset) + bytes, ico.size());
        EXPECT_EQ(Le32(ico, offset + 4), size);
        EXPECT_EQ(Le32(ico, offset + 8), size * 2);  // colour and mask
        EXPECT_EQ(Le16(ico, offset + 14), 32u);
    }
}

TEST_F(ImageGen, SameBytesOnEveryRunAndAUsageErrorWithoutFolder)
{
    ASSERT_FALSE(s_folder.empty());
    const std::string again = Generate();
    ASSERT_FALSE(again.empty());
    for (const char* name : {"side-picture.bmp", "header-logo.bmp", "destination.tga", "start-menu.tga", "setup.ico"})
        EXPECT_EQ(File(name), ReadAll(again + "/" + name)) << name;
    RemoveFolder(again);

    EXPECT_EQ(WEXITSTATUS(std::system((ImageGenPath() + " 2>/dev/null").c_str())), 1);
    EXPECT_EQ(WEXITSTATUS(std::system((ImageGenPath() + " /nonexistent/folder 2>/dev/null").c_str())), 2);
}
