#include "tests/wizard/ScreenShot.h"

#include "framework/Handles.h"

#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <vector>

namespace wizardtest {

namespace {

// The screen pixels under `window`, top row first, as blue, green, red.
struct Capture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bgr;  // 3 bytes a pixel, rows padded to 4 bytes
    int Stride() const { return (width * 3 + 3) & ~3; }
};

bool CaptureWindow(HWND window, Capture* capture)
{
    RECT rect{};
    if (!GetWindowRect(window, &rect))
        return false;
    capture->width = rect.right - rect.left;
    capture->height = rect.bottom - rect.top;
    if (capture->width <= 0 || capture->height <= 0)
        return false;
    HDC screen = GetDC(nullptr);
    if (screen == nullptr)
        return false;
    fw::CMemoryDc memory(CreateCompatibleDC(screen));
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = capture->width;
    info.bmiHeader.biHeight = -capture->height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    fw::CGdiObject section(CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    bool copied = false;
    if (memory && section && bits != nullptr) {
        HGDIOBJ previous = SelectObject(memory.get(), section.get());
        copied = BitBlt(memory.get(), 0, 0, capture->width, capture->height, screen, rect.left, rect.top, SRCCOPY) != 0;
        GdiFlush();
        if (copied) {
            const auto* begin = static_cast<const uint8_t*>(bits);
            capture->bgr.assign(begin, begin + static_cast<size_t>(capture->Stride()) * capture->height);
        }
        SelectObject(memory.get(), previous);
    }
    ReleaseDC(nullptr, screen);
    return copied;
}

void PutBe32(std::string* out, uint32_t value)
{
    out->push_back(static_cast<char>(value >> 24));
    out->push_back(static_cast<char>(value >> 16));
    out->push_back(static_cast<char>(value >> 8));
    out->push_back(static_cast<char>(value));
}

void PutChunk(std::string* png, const char* type, const std::string& data)
{
    PutBe32(png, static_cast<uint32_t>(data.size()));
    const std::string typed = std::string(type, 4) + data;
    png->append(typed);
    PutBe32(png, static_cast<uint32_t>(
                     crc32(0, reinterpret_cast<const Bytef*>(typed.data()), static_cast<uInt>(typed.size()))));
}

}  // namespace

bool SaveWindowPng(HWND window, const std::string& path)
{
    Capture capture;
    if (!CaptureWindow(window, &capture))
        return false;

    // Each row: filter type 0, then red, green, blue.
    std::vector<uint8_t> raw;
    raw.reserve(static_cast<size_t>(capture.width * 3 + 1) * capture.height);
    for (int y = 0; y < capture.height; ++y) {
        raw.push_back(0);
        const uint8_t* row = capture.bgr.data() + static_cast<size_t>(y) * capture.Stride();
        for (int x = 0; x < capture.width; ++x) {
            raw.push_back(row[x * 3 + 2]);
            raw.push_back(row[x * 3 + 1]);
            raw.push_back(row[x * 3]);
        }
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::vector<uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), Z_BEST_SPEED) != Z_OK)
        return false;

    std::string png("\x89PNG\r\n\x1a\n", 8);
    std::string header;
    PutBe32(&header, static_cast<uint32_t>(capture.width));
    PutBe32(&header, static_cast<uint32_t>(capture.height));
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter choice, no interlace
    PutChunk(&png, "IHDR", header);
    PutChunk(&png, "IDAT", std::string(packed.begin(), packed.begin() + packedSize));
    PutChunk(&png, "IEND", std::string());

    std::ofstream file(path, std::ios::binary);
    file.write(png.data(), static_cast<std::streamsize>(png.size()));
    return static_cast<bool>(file);
}

int RedPixels(HWND window)
{
    Capture capture;
    if (!CaptureWindow(window, &capture))
        return 0;
    int red = 0;
    for (int y = 0; y < capture.height; ++y) {
        const uint8_t* row = capture.bgr.data() + static_cast<size_t>(y) * capture.Stride();
        for (int x = 0; x < capture.width; ++x) {
            if (row[x * 3 + 2] > 200 && row[x * 3 + 1] < 80 && row[x * 3] < 80)
                ++red;
        }
    }
    return red;
}

}  // namespace wizardtest
