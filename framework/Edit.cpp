#include "framework/Edit.h"

namespace {

// What a box for reading leaves to the dialog: Tab (DLGC_WANTTAB), Enter and
// Escape (DLGC_WANTALLKEYS, which multi-line boxes ask for), and the
// select-all on focus (DLGC_HASSETSEL). Arrows and the paging keys stay with
// the box, for scrolling.
constexpr LRESULT LEFT_TO_THE_DIALOG = DLGC_WANTTAB | DLGC_WANTALLKEYS | DLGC_HASSETSEL;

}  // namespace

namespace fw {

CEdit::~CEdit() = default;

bool CEdit::SetReadOnly(bool readOnly) const
{
    return SendMessage(EM_SETREADONLY, readOnly ? TRUE : FALSE, 0) != 0;
}

bool CEdit::IsReadOnly() const
{
    return (::GetWindowLongA(m_hWnd, GWL_STYLE) & ES_READONLY) != 0;
}

void CEdit::SetSel(long start, long end) const
{
    SendMessage(EM_SETSEL, static_cast<WPARAM>(start), static_cast<LPARAM>(end));
}

void CEdit::ShowFromStart() const
{
    SetSel(0, 0);
    SendMessage(WM_VSCROLL, SB_TOP, 0);
    SendMessage(WM_HSCROLL, SB_LEFT, 0);
}

bool CEdit::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    if (message == WM_GETDLGCODE && IsReadOnly()) {
        result = Default(message, wParam, lParam) & ~LEFT_TO_THE_DIALOG;
        return true;
    }
    return CWnd::OnMessage(message, wParam, lParam, result);
}

}  // namespace fw
