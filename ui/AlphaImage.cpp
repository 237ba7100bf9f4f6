#include "ui/AlphaImage.h"

#include "ui/TgaImage.h"

#include "framework/SystemLibrary.h"

#include <cstdio>

namespace {

const char RAW_RESOURCE_TYPE[] = "RAW";
// Not a known library: loaded from the system folder, never imported. Where
// it cannot be loaded, the picture stays unpainted.
constexpr char MSIMG32_LIBRARY[] = "msimg32.dll";

}  // namespace

CAlphaImage::CAlphaImage() noexcept = default;

CAlphaImage::~CAlphaImage() = default;

bool CAlphaImage::Load(UINT resourceId)
{
    HMODULE module = ::GetModuleHandleA(nullptr);
    char name[16];
    std::snprintf(name, sizeof name, "#%u", resourceId);
    HRSRC resource = ::FindResourceA(module, name, RAW_RESOURCE_TYPE);
    if (resource == nullptr)
        return false;
    HGLOBAL loaded = ::LoadResource(module, resource);
    if (loaded == nullptr)
        return false;
    const uint8_t* data = static_cast<const uint8_t*>(::LockResource(loaded));
    const DWORD size = ::SizeofResource(module, resource);
    uint32_t width = 0;
    uint32_t height = 0;
    if (!CTgaImage::ReadHeader(data, size, &width, &height))
        return false;

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = static_cast<LONG>(height);  // positive: bottom row first, as stored
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP section = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (section == nullptr || bits == nullptr) {
        if (section != nullptr)
            ::DeleteObject(section);
        return false;
    }
    CTgaImage::CopyPremultiplied(data + CTgaImage::HEADER_SIZE, static_cast<size_t>(width) * height,
                                 static_cast<uint8_t*>(bits));
    m_bitmap.reset(section);
    m_width = width;
    m_height = height;

    ::SetWindowPos(m_hWnd, nullptr, 0, 0, static_cast<int>(width), static_cast<int>(height),
                   SWP_NOMOVE | SWP_NOZORDER);
    ::InvalidateRect(m_hWnd, nullptr, TRUE);
    return true;
}

bool CAlphaImage::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    switch (message) {
    case WM_PAINT:
        Paint();
        result = 0;
        return true;
    default:
        return CStatic::OnMessage(message, wParam, lParam, result);
    }
}

void CAlphaImage::Paint()
{
    PAINTSTRUCT paint;
    HDC target = ::BeginPaint(m_hWnd, &paint);
    if (target == nullptr)
        return;
    fw::CMemoryDc memory(::CreateCompatibleDC(target));
    if (memory && m_bitmap) {
        HGDIOBJ previous = ::SelectObject(memory.get(), m_bitmap.get());
        if (previous != nullptr && previous != HGDI_ERROR) {
            BLENDFUNCTION blend{};
            blend.BlendOp = AC_SRC_OVER;
            blend.BlendFlags = 0;
            blend.SourceConstantAlpha = 255;
            blend.AlphaFormat = AC_SRC_ALPHA;
            const int width = static_cast<int>(m_width);
            const int height = static_cast<int>(m_height);
            SYSTEM_ENTRY(MSIMG32_LIBRARY, AlphaBlend)(target, 0, 0, width, height, memory.get(), 0, 0, width,
                                                      height, blend);
            ::SelectObject(memory.get(), previous);
        }
    }
    memory.reset();
    ::EndPaint(m_hWnd, &paint);
}
