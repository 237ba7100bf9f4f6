// The image format of the "RAW" resources: an uncompressed 32-bit TGA file.
// Portable, so that the checks are tested on the build machine.
//
// Layout: an 18-byte header (0 identification length, must be 0; 1
// colour-map type, must be 0; 2 image type, must be 2; 12-13 width and
// 14-15 height, little-endian; 16 pixel depth, must be 32), then width x
// height pixels of blue, green, red, alpha, bottom row first, colour not
// premultiplied; a footer may follow and is not read.
#pragma once

#include <cstddef>
#include <cstdint>

class CTgaImage {
public:
    static constexpr size_t HEADER_SIZE = 18;

    // Checks the header and that all the pixels are there. On success sets
    // the size in pixels and returns true; an image without pixels (width or
    // height 0) is refused too.
    static bool ReadHeader(const uint8_t* data, size_t size, uint32_t* width, uint32_t* height);

    // Copies `count` pixels from `pixels` to `out` with each colour channel
    // premultiplied by the pixel's alpha (value x alpha / 255, truncated), as
    // AlphaBlend with per-pixel alpha expects. Alpha stays.
    static void CopyPremultiplied(const uint8_t* pixels, size_t count, uint8_t* out);
};
