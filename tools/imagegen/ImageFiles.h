// Encoders for the file formats the resource scripts take in: 8-bit
// palette bitmaps, 32-bit TGA images with alpha, and icons with several
// sizes. All integers are written little-endian, byte by byte.
#pragma once

#include "tools/imagegen/Canvas.h"

#include <cstdint>
#include <vector>

// A BMP file, 8 bits per pixel with a palette of at most 256 colours: the
// canvas is flattened onto `background` first, so the bitmap is opaque.
std::vector<uint8_t> EncodeBmp8(const CCanvas& canvas, uint32_t background);

// An uncompressed true-colour TGA file: 18-byte header (image type 2, 32
// bits per pixel, descriptor 0x08: 8 alpha bits, origin bottom left), the
// pixels blue, green, red, alpha with the bottom row first and colour not
// premultiplied, then the 26-byte footer ending in "TRUEVISION-XFILE.".
std::vector<uint8_t> EncodeTga32(const CCanvas& canvas);

// An icon file holding each canvas as a 32-bit image with its AND mask.
std::vector<uint8_t> EncodeIcon(const std::vector<const CCanvas*>& images);
