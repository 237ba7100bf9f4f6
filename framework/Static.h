// A static control of a dialog. Bound with DDX_Control, it sees the
// control's messages, so a derived class (an image that paints itself) can
// take over painting in its OnMessage.
#pragma once

#include "framework/Wnd.h"

namespace fw {

class CStatic : public CWnd {
public:
    CStatic() noexcept = default;
    ~CStatic() override;

    // The bitmap shown by a bitmap-style static (SS_BITMAP); returns the
    // previous one. The control does not take ownership.
    HBITMAP SetBitmap(HBITMAP bitmap) const;
    HBITMAP GetBitmap() const;
};

}  // namespace fw
