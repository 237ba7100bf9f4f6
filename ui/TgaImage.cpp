#include "ui/TgaImage.h"

namespace {

const uint8_t TRUE_COLOR_IMAGE = 2;
const uint8_t BITS_PER_PIXEL = 32;

}  // namespace

bool CTgaImage::ReadHeader(const uint8_t* data, size_t size, uint32_t* width, uint32_t* height)
{
    if (data == nullptr || size < HEADER_SIZE)
        return false;
    if (data[0] != 0 || data[1] != 0 || data[2] != TRUE_COLOR_IMAGE || data[16] != BITS_PER_PIXEL)
        return false;
    const uint32_t w = static_cast<uint32_t>(data[12]) | (static_cast<uint32_t>(data[13]) << 8);
    const uint32_t h = static_cast<uint32_t>(data[14]) | (static_cast<uint32_t>(data[15]) << 8);
    if (w == 0 || h == 0)
        return false;
    // At most 65535 x 65535 x 4 bytes: no overflow in 64 bits.
    const uint64_t pixelBytes = static_cast<uint64_t>(w) * h * 4;
    if (pixelBytes > size - HEADER_SIZE)
        return false;
    *width = w;
    *height = h;
    return true;
}

void CTgaImage::CopyPremultiplied(const uint8_t* pixels, size_t count, uint8_t* out)
{
    for (size_t i = 0; i < count; ++i) {
        const unsigned alpha = pixels[i * 4 + 3];
        for (size_t channel = 0; channel < 3; ++channel)
            out[i * 4 + channel] = static_cast<uint8_t>(pixels[i * 4 + channel] * alpha / 255);
        out[i * 4 + 3] = static_cast<uint8_t>(alpha);
    }
}
