// A modal dialog from a template of the program's resources. The object
// outlives its window: DoModal can be called again and creates a new window
// each time; `this` is linked to the window at WM_INITDIALOG and unlinked at
// WM_NCDESTROY.
//
// A page derives from CDialog, overrides the typed handlers it needs and
// handles further messages in its own OnMessage switch, passing the rest to
// CDialog::OnMessage. A handler that handles a message sets `result` to the
// message's result and returns true; CDialog turns that into what the dialog
// procedure must return (directly for WM_INITDIALOG, WM_CTLCOLOR* and their
// kin, through DWLP_MSGRESULT for everything else). A handler that wants the
// dialog's default behaviour first (erasing, control colours) calls
// Default() and then returns true with its own result, for example 0 for a
// WM_ERASEBKGND it painted on. No C++ exception leaves the dialog procedure.
#pragma once

#include "framework/DataExchange.h"
#include "framework/Wnd.h"

namespace fw {

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, HWND parent = nullptr) noexcept;
    ~CDialog() override;

    // Shows the dialog and returns its end code, or -1 when it could not be
    // shown (or is already shown).
    INT_PTR DoModal();
    void EndDialog(INT_PTR code) const;

    // Runs DoDataExchange in the given direction; false without a window.
    bool UpdateData(DataDirection direction = DataDirection::FromControls);

    UINT TemplateId() const noexcept { return m_templateId; }

protected:
    // Base: transfers the member values into the controls; returns true so
    // that the dialog manager puts the focus on the first control.
    virtual bool OnInitDialog();
    // Base: transfers the controls into the member values, ends with IDOK (1).
    virtual void OnOK();
    // Base: ends with IDCANCEL (2).
    virtual void OnCancel();
    // Base: exchanges nothing.
    virtual void DoDataExchange(CDataExchange& dx);

    // WM_INITDIALOG to OnInitDialog; the OK and Cancel commands (button,
    // Enter, Escape, close box) to OnOK and OnCancel.
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    // The dialog manager's own handling (DefDlgProc) of the message.
    LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    UINT m_templateId;
    HWND m_parent;
    // Set while Default() runs: DefDlgProc first calls the dialog procedure
    // again with the same message, which must then report it unhandled.
    bool m_passToDefault = false;
};

}  // namespace fw
