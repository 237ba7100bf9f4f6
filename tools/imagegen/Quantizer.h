// Reduces a true-colour picture to a palette of at most 256 colours for the
// 8-bit bitmaps (median cut, weighted by how often each colour occurs), and
// maps colours to their nearest palette entry. Ties are broken by the colour
// value, so the result never depends on the order of a hash or a sort.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CQuantizer {
public:
    // `pixels` are 0xRRGGBB values; the palette holds at most maxColors
    // entries, as 0xRRGGBB, sorted ascending.
    static std::vector<uint32_t> BuildPalette(const std::vector<uint32_t>& pixels, size_t maxColors);
    // The index of the palette entry nearest to `rgb` (squared distance).
    static uint8_t Nearest(const std::vector<uint32_t>& palette, uint32_t rgb);
};
