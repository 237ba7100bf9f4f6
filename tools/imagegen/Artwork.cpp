#include "tools/imagegen/Artwork.h"

namespace {

const uint32_t DEEP_BLUE = 0x0B3C6E;
const uint32_t MID_BLUE = 0x1565A8;
const uint32_t LIGHT_BLUE = 0x3FA0E0;
const uint32_t PALE_BLUE = 0xD2E9FA;
const uint32_t TEAL = 0x27C2B0;
const uint32_t WHITE = 0xFFFFFF;
const uint32_t FOLDER_BACK = 0xD99A2B;
const uint32_t FOLDER_FRONT = 0xF6C552;
const uint32_t FOLDER_EDGE = 0xFBE08E;

// The "V" mark in the box (left, top) - (left + width, top + height).
CCanvas::Shape VMark(double left, double top, double width, double height)
{
    const double u[] = {0.00, 0.27, 0.50, 0.73, 1.00, 0.64, 0.36};
    const double v[] = {0.00, 0.00, 0.64, 0.00, 0.00, 1.00, 1.00};
    std::vector<Point> points;
    for (int i = 0; i < 7; ++i)
        points.push_back({left + u[i] * width, top + v[i] * height});
    return CCanvas::Polygon(points);
}

// A vertical gradient between `top` and `bottom` rows.
CCanvas::Paint VerticalGradient(uint32_t from, uint32_t to, double top, double bottom)
{
    const Rgba a = MakeColor(from);
    const Rgba b = MakeColor(to);
    return [=](double, double y) { return Mix(a, b, (y - top) / (bottom - top)); };
}

// The rounded blue badge with the white mark, filling the box.
void DrawBadge(CCanvas& canvas, double left, double top, double size)
{
    const double radius = size * 0.22;
    canvas.Fill(CCanvas::RoundedRectangle(left, top, left + size, top + size, radius),
                VerticalGradient(LIGHT_BLUE, DEEP_BLUE, top, top + size));
    // A soft sheen over the upper half.
    canvas.Fill(CCanvas::Difference(
                    CCanvas::RoundedRectangle(left, top, left + size, top + size, radius),
                    CCanvas::Ellipse(left + size * 0.5, top + size * 1.25, size * 0.95, size * 0.8)),
                MakeColor(WHITE, 0.12));
    const double markWidth = size * 0.62;
    const double markHeight = size * 0.52;
    canvas.Fill(VMark(left + (size - markWidth) / 2, top + size * 0.25, markWidth, markHeight),
                MakeColor(WHITE));
}

}  // namespace

CCanvas DrawSidePicture()
{
    const int width = 205;
    const int height = 280;
    CCanvas canvas(width, height);
    const Rgba top = MakeColor(DEEP_BLUE);
    const Rgba bottom = MakeColor(0x1C7CC4);
    canvas.Fill(CCanvas::Rectangle(0, 0, width, height), [=](double x, double y) {
        return Mix(top, bottom, y / height * 0.85 + x / width * 0.15);
    });
    // Large faint rings and a diagonal band give the surface some depth.
    canvas.Fill(CCanvas::Ellipse(178, 34, 96, 96), MakeColor(WHITE, 0.06));
    canvas.Fill(CCanvas::Ellipse(178, 34, 62, 62), MakeColor(WHITE, 0.05));
    canvas.Fill(CCanvas::Ellipse(12, 262, 118, 118), MakeColor(WHITE, 0.05));
    canvas.Fill(CCanvas::Polygon({{0, 196}, {205, 128}, {205, 154}, {0, 222}}), MakeColor(WHITE, 0.07));

    // The mark with a soft shadow, then its accent bar.
    const double markLeft = 50;
    const double markTop = 74;
    const double markWidth = 105;
    const double markHeight = 88;
    canvas.Fill(VMark(markLeft + 3, markTop + 4, markWidth, markHeight), MakeColor(0x000000, 0.18));
    canvas.Fill(VMark(markLeft, markTop, markWidth, markHeight),
                VerticalGradient(WHITE, PALE_BLUE, markTop, markTop + markHeight));
    canvas.Fill(CCanvas::RoundedRectangle(78, 180, 128, 186, 3), MakeColor(TEAL));
    return canvas;
}

CCanvas DrawHeaderLogo()
{
    CCanvas canvas(51, 48);
    DrawBadge(canvas, 7.5, 5, 38);
    return canvas;
}

CCanvas DrawDestinationImage()
{
    CCanvas canvas(32, 32);
    canvas.Fill(CCanvas::Ellipse(16, 29, 14, 2.2), MakeColor(0x000000, 0.18));
    // Folder: tab, back, front.
    canvas.Fill(CCanvas::RoundedRectangle(2, 5, 14, 12, 2), MakeColor(FOLDER_BACK));
    canvas.Fill(CCanvas::RoundedRectangle(2, 8, 29, 27, 2), MakeColor(FOLDER_BACK));
    canvas.Fill(CCanvas::Polygon({{5, 12}, {31, 12}, {28.5, 27}, {2, 27}}),
                VerticalGradient(FOLDER_EDGE, FOLDER_FRONT, 12, 20));
    // A blue "install here" arrow on the folder.
    canvas.Fill(CCanvas::Ellipse(23, 22, 7.5, 7.5), MakeColor(WHITE));
    canvas.Fill(CCanvas::Ellipse(23, 22, 6.3, 6.3), VerticalGradient(LIGHT_BLUE, MID_BLUE, 16, 28));
    canvas.Fill(CCanvas::Union(CCanvas::Rectangle(21.8, 17.5, 24.2, 22.5),
                               CCanvas::Polygon({{19, 21.5}, {27, 21.5}, {23, 26}})),
                MakeColor(WHITE));
    return canvas;
}

CCanvas DrawStartMenuImage()
{
    CCanvas canvas(32, 32);
    canvas.Fill(CCanvas::Ellipse(15, 29.5, 13, 2), MakeColor(0x000000, 0.18));
    // The menu panel with its four program tiles.
    canvas.Fill(CCanvas::RoundedRectangle(2, 3, 27, 28, 3.5), VerticalGradient(LIGHT_BLUE, DEEP_BLUE, 3, 28));
    const double tiles[4][2] = {{6, 7}, {15.5, 7}, {6, 16.5}, {15.5, 16.5}};
    for (const auto& tile : tiles)
        canvas.Fill(CCanvas::RoundedRectangle(tile[0], tile[1], tile[0] + 7.5, tile[1] + 7.5, 1.5),
                    MakeColor(WHITE, 0.9));
    // The product's tile carries the mark.
    canvas.Fill(CCanvas::Ellipse(25, 24.5, 6.5, 6.5), MakeColor(WHITE));
    canvas.Fill(CCanvas::Ellipse(25, 24.5, 5.3, 5.3), MakeColor(TEAL));
    canvas.Fill(VMark(21.6, 21.6, 6.8, 5.8), MakeColor(WHITE));
    return canvas;
}

CCanvas DrawIconImage(int size)
{
    CCanvas canvas(size, size);
    const double margin = size <= 16 ? 0.5 : size / 32.0;
    DrawBadge(canvas, margin, margin, size - 2 * margin);
    return canvas;
}
