#include "framework/Dialog.h"

#include "engine/ExceptionEx.h"

#include <memory>

namespace {

// Messages whose result the dialog procedure returns itself instead of
// placing it in DWLP_MSGRESULT.
bool ReturnsDirectly(UINT message)
{
    switch (message) {
    case WM_INITDIALOG:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
        return true;
    default:
        return false;
    }
}

}  // namespace

namespace fw {

CDialog::CDialog(UINT templateId, HWND parent) noexcept : m_templateId(templateId), m_parent(parent) {}

CDialog::~CDialog() = default;

INT_PTR CDialog::DoModal()
{
    if (m_hWnd != nullptr)
        return -1;
    const INT_PTR code = ::DialogBoxParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(m_templateId),
                                           m_parent, &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
    return code;
}

void CDialog::EndDialog(INT_PTR code) const
{
    ::EndDialog(m_hWnd, code);
}

bool CDialog::UpdateData(DataDirection direction)
{
    if (m_hWnd == nullptr)
        return false;
    CDataExchange dx(m_hWnd, direction);
    DoDataExchange(dx);
    return true;
}

bool CDialog::OnInitDialog()
{
    UpdateData(DataDirection::ToControls);
    return true;
}

void CDialog::OnOK()
{
    UpdateData(DataDirection::FromControls);
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

void CDialog::DoDataExchange(CDataExchange&) {}

bool CDialog::OnMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result)
{
    switch (message) {
    case WM_INITDIALOG:
        result = OnInitDialog() ? TRUE : FALSE;
        return true;
    case WM_COMMAND:
        if (HIWORD(wParam) != BN_CLICKED)
            return false;
        if (LOWORD(wParam) == IDOK) {
            OnOK();
            result = 0;
            return true;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            OnCancel();
            result = 0;
            return true;
        }
        return false;
    default:
        return false;
    }
}

LRESULT CDialog::Default(UINT message, WPARAM wParam, LPARAM lParam)
{
    m_passToDefault = true;
    const LRESULT result = ::DefDlgProcA(m_hWnd, message, wParam, lParam);
    m_passToDefault = false;
    return result;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CDialog*>(lParam);
        self->m_hWnd = window;
        ::SetWindowLongPtrA(window, DWLP_USER, lParam);
    } else {
        self = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(window, DWLP_USER));
    }
    // Messages before WM_INITDIALOG (the font, creation) have no object yet.
    if (self == nullptr)
        return FALSE;
    if (self->m_passToDefault) {
        self->m_passToDefault = false;
        return FALSE;
    }
    const INT_PTR handled = self->Dispatch(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrA(window, DWLP_USER, 0);
        self->m_hWnd = nullptr;
    }
    return handled;
}

INT_PTR CDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    try {
        if (!OnMessage(message, wParam, lParam, result))
            return FALSE;
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> owned(e);
        ReportHandlerFailure("dialog", message);
        return FALSE;
    } catch (...) {
        ReportHandlerFailure("dialog", message);
        return FALSE;
    }
    if (ReturnsDirectly(message))
        return static_cast<INT_PTR>(result);
    ::SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, result);
    return TRUE;
}

}  // namespace fw
