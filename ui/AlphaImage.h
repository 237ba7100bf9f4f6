// A static control that shows a 32 x 32 picture with transparency: a "RAW"
// resource (a 32-bit TGA image, see TgaImage.h) loaded into a 32-bit
// device-independent section with premultiplied colour and painted with
// AlphaBlend, so that the page background shows through where the picture
// is transparent.
#pragma once

#include "framework/Handles.h"
#include "framework/Static.h"

#include <cstdint>

class CAlphaImage : public fw::CStatic {
public:
    CAlphaImage() noexcept;
    // Releases the section of the last successful load.
    ~CAlphaImage() override;

    // Loads the "RAW" resource `resourceId` of the program, sizes the bound
    // control to the picture and has it repainted. False, with nothing
    // changed, when the resource is missing, its header is not that of a
    // 32-bit true-colour image, or it is shorter than its pixels need. A
    // successful load replaces (and releases) the previous picture.
    bool Load(UINT resourceId);

    uint32_t Width() const noexcept { return m_width; }
    uint32_t Height() const noexcept { return m_height; }

protected:
    // WM_PAINT: the picture; everything else (WM_DRAWITEM too) as the
    // static control does it.
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    void Paint();

    fw::CGdiObject m_bitmap;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
};
