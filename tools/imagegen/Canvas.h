// A small RGBA drawing surface for the setup's artwork: shapes are filled
// with anti-aliased edges by supersampling, colours are composited
// source-over. Only plain arithmetic is used (no trigonometry), so the same
// program draws the same bytes on every build.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

struct Rgba {
    double r = 0, g = 0, b = 0, a = 1;  // 0..1, not premultiplied
};

// Colour from 0xRRGGBB and an opacity.
Rgba MakeColor(uint32_t rgb, double alpha = 1.0);
// Straight mix of two colours, t in 0..1.
Rgba Mix(const Rgba& from, const Rgba& to, double t);

struct Point {
    double x, y;
};

class CCanvas {
public:
    // Says whether (x, y), in pixel units with (0,0) the top-left corner of
    // the top-left pixel, lies inside a shape.
    using Shape = std::function<bool(double x, double y)>;
    // The colour of a shape at (x, y).
    using Paint = std::function<Rgba(double x, double y)>;

    CCanvas(int width, int height);
    virtual ~CCanvas();

    int Width() const { return m_width; }
    int Height() const { return m_height; }

    // Composites the paint over the canvas wherever the shape covers.
    void Fill(const Shape& shape, const Paint& paint);
    void Fill(const Shape& shape, const Rgba& color);

    // The pixel at (x, y), top row first, 8 bits per channel, alpha not
    // premultiplied.
    void Pixel(int x, int y, uint8_t* r, uint8_t* g, uint8_t* b, uint8_t* a) const;

    // Shapes.
    static Shape Rectangle(double left, double top, double right, double bottom);
    static Shape RoundedRectangle(double left, double top, double right, double bottom, double radius);
    static Shape Ellipse(double cx, double cy, double rx, double ry);
    static Shape Polygon(std::vector<Point> points);
    // A segment with round ends, `width` thick.
    static Shape Stroke(Point from, Point to, double width);
    static Shape Union(Shape a, Shape b);
    static Shape Difference(Shape a, Shape b);

private:
    int m_width;
    int m_height;
    std::vector<double> m_pixels;  // premultiplied r, g, b, a per pixel
};
