#include "tools/imagegen/Canvas.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// 4 x 4 samples per pixel: smooth enough edges for 16 to 280 pixel images.
const int SAMPLES = 4;

uint8_t ToByte(double value)
{
    const double clamped = std::min(1.0, std::max(0.0, value));
    return static_cast<uint8_t>(std::lround(clamped * 255.0));
}

}  // namespace

Rgba MakeColor(uint32_t rgb, double alpha)
{
    Rgba color;
    color.r = ((rgb >> 16) & 0xFF) / 255.0;
    color.g = ((rgb >> 8) & 0xFF) / 255.0;
    color.b = (rgb & 0xFF) / 255.0;
    color.a = alpha;
    return color;
}

Rgba Mix(const Rgba& from, const Rgba& to, double t)
{
    t = std::min(1.0, std::max(0.0, t));
    Rgba color;
    color.r = from.r + (to.r - from.r) * t;
    color.g = from.g + (to.g - from.g) * t;
    color.b = from.b + (to.b - from.b) * t;
    color.a = from.a + (to.a - from.a) * t;
    return color;
}

CCanvas::CCanvas(int width, int height)
    : m_width(width), m_height(height), m_pixels(static_cast<size_t>(width) * height * 4, 0.0)
{
}

CCanvas::~CCanvas() = default;

void CCanvas::Fill(const Shape& shape, const Paint& paint)
{
    for (int y = 0; y < m_height; ++y) {
        for (int x = 0; x < m_width; ++x) {
            int covered = 0;
            for (int sy = 0; sy < SAMPLES; ++sy) {
                for (int sx = 0; sx < SAMPLES; ++sx) {
                    if (shape(x + (sx + 0.5) / SAMPLES, y + (sy + 0.5) / SAMPLES))
                        ++covered;
                }
            }
            if (covered == 0)
                continue;
            const Rgba color = paint(x + 0.5, y + 0.5);
            const double alpha = color.a * covered / (SAMPLES * SAMPLES);
            double* pixel = &m_pixels[(static_cast<size_t>(y) * m_width + x) * 4];
            pixel[0] = color.r * alpha + pixel[0] * (1.0 - alpha);
            pixel[1] = color.g * alpha + pixel[1] * (1.0 - alpha);
            pixel[2] = color.b * alpha + pixel[2] * (1.0 - alpha);
            pixel[3] = alpha + pixel[3] * (1.0 - alpha);
        }
    }
}

void CCanvas::Fill(const Shape& shape, const Rgba& color)
{
    Fill(shape, [color](double, double) { return color; });
}

void CCanvas::Pixel(int x, int y, uint8_t* r, uint8_t* g, uint8_t* b, uint8_t* a) const
{
    const double* pixel = &m_pixels[(static_cast<size_t>(y) * m_width + x) * 4];
    const double alpha = pixel[3];
    *a = ToByte(alpha);
    if (*a == 0) {
        *r = *g = *b = 0;
        return;
    }
    *r = ToByte(pixel[0] / alpha);
    *g = ToByte(pixel[1] / alpha);
    *b = ToByte(pixel[2] / alpha);
}

CCanvas::Shape CCanvas::Rectangle(double left, double top, double right, double bottom)
{
    return [=](double x, double y) { return x >= left && x < right && y >= top && y < bottom; };
}

CCanvas::Shape CCanvas::RoundedRectangle(double left, double top, double right, double bottom,
                                         double radius)
{
    return [=](double x, double y) {
        if (x < left || x >= right || y < top || y >= bottom)
            return false;
        // Distance into the corner square, if the point is in one.
        const double dx = x < left + radius ? left + radius - x : (x > right - radius ? x - (right - radius) : 0);
        const double dy = y < top + radius ? top + radius - y : (y > bottom - radius ? y - (bottom - radius) : 0);
        return dx * dx + dy * dy <= radius * radius;
    };
}

CCanvas::Shape CCanvas::Ellipse(double cx, double cy, double rx, double ry)
{
    return [=](double x, double y) {
        const double nx = (x - cx) / rx;
        const double ny = (y - cy) / ry;
        return nx * nx + ny * ny <= 1.0;
    };
}

CCanvas::Shape CCanvas::Polygon(std::vector<Point> points)
{
    return [points = std::move(points)](double x, double y) {
        // Even-odd rule by crossings of a ray to the right.
        bool inside = false;
        for (size_t i = 0, j = points.size() - 1; i < points.size(); j = i++) {
            const Point& a = points[i];
            const Point& b = points[j];
            if ((a.y > y) != (b.y > y)) {
                const double crossX = a.x + (y - a.y) * (b.x - a.x) / (b.y - a.y);
                if (x < crossX)
                    inside = !inside;
            }
        }
        return inside;
    };
}

CCanvas::Shape CCanvas::Stroke(Point from, Point to, double width)
{
    return [=](double x, double y) {
        const double vx = to.x - from.x;
        const double vy = to.y - from.y;
        const double length2 = vx * vx + vy * vy;
        double t = length2 > 0 ? ((x - from.x) * vx + (y - from.y) * vy) / length2 : 0;
        t = std::min(1.0, std::max(0.0, t));
        const double dx = x - (from.x + t * vx);
        const double dy = y - (from.y + t * vy);
        return dx * dx + dy * dy <= width * width / 4;
    };
}

CCanvas::Shape CCanvas::Union(Shape a, Shape b)
{
    return [a = std::move(a), b = std::move(b)](double x, double y) { return a(x, y) || b(x, y); };
}

CCanvas::Shape CCanvas::Difference(Shape a, Shape b)
{
    return [a = std::move(a), b = std::move(b)](double x, double y) { return a(x, y) && !b(x, y); };
}
