#include "tools/imagegen/Quantizer.h"

#include <algorithm>
#include <map>

namespace {

struct ColorCount {
    uint32_t rgb;
    uint64_t count;
};

int Channel(uint32_t rgb, int channel)
{
    return static_cast<int>((rgb >> (16 - 8 * channel)) & 0xFF);
}

// A box of the colour space: a run of `colors` [begin, end).
struct Box {
    size_t begin;
    size_t end;
};

int WidestChannel(const std::vector<ColorCount>& colors, const Box& box, int* range)
{
    int best = 0;
    *range = -1;
    for (int channel = 0; channel < 3; ++channel) {
        int low = 255;
        int high = 0;
        for (size_t i = box.begin; i < box.end; ++i) {
            low = std::min(low, Channel(colors[i].rgb, channel));
            high = std::max(high, Channel(colors[i].rgb, channel));
        }
        if (high - low > *range) {
            *range = high - low;
            best = channel;
        }
    }
    return best;
}

}  // namespace

std::vector<uint32_t> CQuantizer::BuildPalette(const std::vector<uint32_t>& pixels, size_t maxColors)
{
    std::map<uint32_t, uint64_t> histogram;
    for (uint32_t rgb : pixels)
        ++histogram[rgb & 0xFFFFFF];
    std::vector<ColorCount> colors;
    for (const auto& entry : histogram)
        colors.push_back({entry.first, entry.second});

    std::vector<Box> boxes;
    if (!colors.empty())
        boxes.push_back({0, colors.size()});
    while (boxes.size() < maxColors) {
        // Split the box whose widest channel spans the most, weighted by the
        // pixels it stands for, so that busy gradients get more entries.
        size_t chosen = boxes.size();
        double chosenScore = 0;
        int chosenChannel = 0;
        for (size_t i = 0; i < boxes.size(); ++i) {
            if (boxes[i].end - boxes[i].begin < 2)
                continue;
            int range = 0;
            const int channel = WidestChannel(colors, boxes[i], &range);
            uint64_t weight = 0;
            for (size_t c = boxes[i].begin; c < boxes[i].end; ++c)
                weight += colors[c].count;
            const double score = static_cast<double>(range) * static_cast<double>(weight);
            if (score > chosenScore) {
                chosenScore = score;
                chosen = i;
                chosenChannel = channel;
            }
        }
        if (chosen == boxes.size())
            break;
        Box box = boxes[chosen];
        std::sort(colors.begin() + box.begin, colors.begin() + box.end,
                  [chosenChannel](const ColorCount& a, const ColorCount& b) {
                      const int ca = Channel(a.rgb, chosenChannel);
                      const int cb = Channel(b.rgb, chosenChannel);
                      return ca != cb ? ca < cb : a.rgb < b.rgb;
                  });
        uint64_t total = 0;
        for (size_t c = box.begin; c < box.end; ++c)
            total += colors[c].count;
        // The weighted median, keeping at least one colour on each side.
        uint64_t running = 0;
        size_t split = box.begin + 1;
        for (size_t c = box.begin; c + 1 < box.end; ++c) {
            running += colors[c].count;
            split = c + 1;
            if (running * 2 >= total)
                break;
        }
        boxes[chosen] = {box.begin, split};
        boxes.push_back({split, box.end});
    }

    std::vector<uint32_t> palette;
    for (const Box& box : boxes) {
        uint64_t sum[3] = {0, 0, 0};
        uint64_t total = 0;
        for (size_t c = box.begin; c < box.end; ++c) {
            for (int channel = 0; channel < 3; ++channel)
                sum[channel] += static_cast<uint64_t>(Channel(colors[c].rgb, channel)) * colors[c].count;
            total += colors[c].count;
        }
        uint32_t rgb = 0;
        for (int channel = 0; channel < 3; ++channel)
            rgb = (rgb << 8) | static_cast<uint32_t>((sum[channel] + total / 2) / total);
        palette.push_back(rgb);
    }
    std::sort(palette.begin(), palette.end());
    palette.erase(std::unique(palette.begin(), palette.end()), palette.end());
    return palette;
}

uint8_t CQuantizer::Nearest(const std::vector<uint32_t>& palette, uint32_t rgb)
{
    size_t best = 0;
    int bestDistance = 1 << 30;
    for (size_t i = 0; i < palette.size(); ++i) {
        int distance = 0;
        for (int channel = 0; channel < 3; ++channel) {
            const int d = Channel(palette[i], channel) - Channel(rgb, channel);
            distance += d * d;
        }
        if (distance < bestDistance) {
            bestDistance = distance;
            best = i;
        }
    }
    return static_cast<uint8_t>(best);
}
