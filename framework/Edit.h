// An edit control of a dialog. Bound with DDX_Control, it sees the control's
// messages. While it is read-only it is a box for reading: the dialog keeps
// Tab, Shift+Tab, Enter and Escape for itself, so the keys move between the
// controls and press the default and Cancel buttons as everywhere else in the
// dialog, and the focus arriving by Tab no longer selects the whole text
// (which would also scroll it to its end).
#pragma once

#include "framework/Wnd.h"

namespace fw {

class CEdit : public CWnd {
public:
    CEdit() noexcept = default;
    ~CEdit() override;

    // EM_SETREADONLY.
    bool SetReadOnly(bool readOnly) const;
    virtual bool IsReadOnly() const;
    // EM_SETSEL: from `start` up to `end`; equal ends select nothing and put
    // the caret there.
    void SetSel(long start, long end) const;
    // Nothing selected, the caret before the first character and the first
    // line at the top.
    void ShowFromStart() const;

protected:
    // WM_GETDLGCODE while read-only, as said above.
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
};

}  // namespace fw
