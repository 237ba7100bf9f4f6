#include "tools/imagegen/ImageFiles.h"

#include "tools/imagegen/Quantizer.h"


namespace {

const size_t BITMAP_FILE_HEADER_SIZE = 14;
const size_t BITMAP_INFO_HEADER_SIZE = 40;
const size_t TGA_HEADER_SIZE = 18;
const char TGA_SIGNATURE[] = "TRUEVISION-XFILE.";

void Put16(std::vector<uint8_t>& out, uint32_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t value)
{
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

size_t RowBytes(size_t bitsPerRow)
{
    return (bitsPerRow + 31) / 32 * 4;
}

// BITMAPINFOHEADER; `height` as stored (icons store twice the height).
void PutInfoHeader(std::vector<uint8_t>& out, int width, int height, int bitCount, uint32_t imageSize,
                   uint32_t colorsUsed)
{
    Put32(out, BITMAP_INFO_HEADER_SIZE);
    Put32(out, static_cast<uint32_t>(width));
    Put32(out, static_cast<uint32_t>(height));
    Put16(out, 1);  // planes
    Put16(out, static_cast<uint32_t>(bitCount));
    Put32(out, 0);  // BI_RGB
    Put32(out, imageSize);
    Put32(out, 2835);  // 72 dots per inch, in dots per metre
    Put32(out, 2835);
    Put32(out, colorsUsed);
    Put32(out, 0);  // all colours important
}

uint32_t Flatten(const CCanvas& canvas, int x, int y, uint32_t background)
{
    uint8_t r, g, b, a;
    canvas.Pixel(x, y, &r, &g, &b, &a);
    const uint32_t channels[3] = {r, g, b};
    uint32_t rgb = 0;
    for (int channel = 0; channel < 3; ++channel) {
        const uint32_t under = (background >> (16 - 8 * channel)) & 0xFF;
        const uint32_t value = (channels[channel] * a + under * (255 - a) + 127) / 255;
        rgb = (rgb << 8) | value;
    }
    return rgb;
}

}  // namespace

std::vector<uint8_t> EncodeBmp8(const CCanvas& canvas, uint32_t background)
{
    const int width = canvas.Width();
    const int height = canvas.Height();
    std::vector<uint32_t> pixels;
    pixels.reserve(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            pixels.push_back(Flatten(canvas, x, y, background));
    }
    const std::vector<uint32_t> palette = CQuantizer::BuildPalette(pixels, 256);

    const size_t rowBytes = RowBytes(static_cast<size_t>(width) * 8);
    const uint32_t imageSize = static_cast<uint32_t>(rowBytes * height);
    const uint32_t paletteBytes = 256 * 4;
    const uint32_t pixelOffset = BITMAP_FILE_HEADER_SIZE + BITMAP_INFO_HEADER_SIZE + paletteBytes;

    std::vector<uint8_t> out;
    out.push_back('B');
    out.push_back('M');
    Put32(out, pixelOffset + imageSize);
    Put32(out, 0);  // reserved
    Put32(out, pixelOffset);
    PutInfoHeader(out, width, height, 8, imageSize, 256);
    // Unused entries stay black; the table always has 256 slots.
    for (size_t i = 0; i < 256; ++i) {
        const uint32_t rgb = i < palette.size() ? palette[i] : 0;
        out.push_back(static_cast<uint8_t>(rgb));        // blue
        out.push_back(static_cast<uint8_t>(rgb >> 8));   // green
        out.push_back(static_cast<uint8_t>(rgb >> 16));  // red
        out.push_back(0);
    }
    for (int y = height - 1; y >= 0; --y) {
        const size_t start = out.size();
        for (int x = 0; x < width; ++x)
            out.push_back(CQuantizer::Nearest(palette, pixels[static_cast<size_t>(y) * width + x]));
        out.resize(start + rowBytes, 0);
    }
    return out;
}

std::vector<uint8_t> EncodeTga32(const CCanvas& canvas)
{
    const int width = canvas.Width();
    const int height = canvas.Height();
    std::vector<uint8_t> out;
    out.push_back(0);  // no identification field
    out.push_back(0);  // no colour map
    out.push_back(2);  // uncompressed true colour
    for (int i = 0; i < 5; ++i)
        out.push_back(0);  // no colour map: its five bytes are zero
    Put16(out, 0);         // x origin
    Put16(out, 0);         // y origin
    Put16(out, static_cast<uint32_t>(width));
    Put16(out, static_cast<uint32_t>(height));
    out.push_back(32);
    out.push_back(0x08);
    for (int y = height - 1; y >= 0; --y) {
        for (int x = 0; x < width; ++x) {
            uint8_t r, g, b, a;
            canvas.Pixel(x, y, &r, &g, &b, &a);
            out.push_back(b);
            out.push_back(g);
            out.push_back(r);
            out.push_back(a);
        }
    }
    Put32(out, 0);  // extension-area offset
    Put32(out, 0);  // developer-area offset
    out.insert(out.end(), TGA_SIGNATURE, TGA_SIGNATURE + sizeof TGA_SIGNATURE);  // with its zero
    return out;
}

std::vector<uint8_t> EncodeIcon(const std::vector<const CCanvas*>& images)
{
    std::vector<std::vector<uint8_t>> bodies;
    for (const CCanvas* image : images) {
        const int width = image->Width();
        const int height = image->Height();
        const size_t maskRow = RowBytes(static_cast<size_t>(width));
        const uint32_t imageSize = static_cast<uint32_t>(static_cast<size_t>(width) * height * 4 + maskRow * height);
        std::vector<uint8_t> body;
        PutInfoHeader(body, width, height * 2, 32, imageSize, 0);
        for (int y = height - 1; y >= 0; --y) {
            for (int x = 0; x < width; ++x) {
                uint8_t r, g, b, a;
                image->Pixel(x, y, &r, &g, &b, &a);
                body.push_back(b);
                body.push_back(g);
                body.push_back(r);
                body.push_back(a);
            }
        }
        // The AND mask: set where the icon is fully transparent, for the
        // places that ignore the alpha channel.
        for (int y = height - 1; y >= 0; --y) {
            std::vector<uint8_t> row(maskRow, 0);
            for (int x = 0; x < width; ++x) {
                uint8_t r, g, b, a;
                image->Pixel(x, y, &r, &g, &b, &a);
                if (a == 0)
                    row[static_cast<size_t>(x) / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
            }
            body.insert(body.end(), row.begin(), row.end());
        }
        bodies.push_back(std::move(body));
    }

    std::vector<uint8_t> out;
    Put16(out, 0);  // reserved
    Put16(out, 1);  // icon
    Put16(out, static_cast<uint32_t>(images.size()));
    uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        out.push_back(static_cast<uint8_t>(images[i]->Width() >= 256 ? 0 : images[i]->Width()));
        out.push_back(static_cast<uint8_t>(images[i]->Height() >= 256 ? 0 : images[i]->Height()));
        out.push_back(0);  // no palette
        out.push_back(0);  // reserved
        Put16(out, 1);     // planes
        Put16(out, 32);    // bits per pixel
        Put32(out, static_cast<uint32_t>(bodies[i].size()));
        Put32(out, offset);
        offset += static_cast<uint32_t>(bodies[i].size());
    }
    for (const std::vector<uint8_t>& body : bodies)
        out.insert(out.end(), body.begin(), body.end());
    return out;
}
