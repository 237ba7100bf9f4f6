// A progress bar control (common controls' msctls_progress32).
#pragma once

#include "framework/Wnd.h"

namespace fw {

class CProgressCtrl : public CWnd {
public:
    CProgressCtrl() noexcept = default;
    ~CProgressCtrl() override;

    // Range limits of 0 to 65535 (PBM_SETRANGE).
    void SetRange(int lower, int upper) const;
    // Returns the previous position.
    int SetPos(int position) const;
    int GetPos() const;
};

}  // namespace fw
