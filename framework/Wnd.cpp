#include "framework/Wnd.h"

#include "engine/ExceptionEx.h"

#include <commctrl.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

// The id under which a CWnd subclasses its control; one per object.
const UINT_PTR SUBCLASS_ID = 0x56574E44;

}  // namespace

namespace fw {

CWnd::~CWnd()
{
    UnsubclassWindow();
}

void CWnd::Attach(HWND window) noexcept
{
    if (window != m_hWnd)
        UnsubclassWindow();
    m_hWnd = window;
}

HWND CWnd::Detach() noexcept
{
    UnsubclassWindow();
    HWND window = m_hWnd;
    m_hWnd = nullptr;
    return window;
}

bool CWnd::SubclassWindow(HWND window)
{
    if (window == nullptr)
        return false;
    if (m_subclassed && window == m_hWnd)
        return true;
    UnsubclassWindow();
    if (!::SetWindowSubclass(window, &CWnd::SubclassProc, SUBCLASS_ID, reinterpret_cast<DWORD_PTR>(this)))
        return false;
    m_hWnd = window;
    m_subclassed = true;
    return true;
}

void CWnd::UnsubclassWindow() noexcept
{
    if (m_subclassed && ::IsWindow(m_hWnd))
        ::RemoveWindowSubclass(m_hWnd, &CWnd::SubclassProc, SUBCLASS_ID);
    m_subclassed = false;
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::SendMessageA(m_hWnd, message, wParam, lParam);
}

bool CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::PostMessageA(m_hWnd, message, wParam, lParam) != FALSE;
}

void CWnd::SetWindowText(const std::string& text) const
{
    ::SetWindowTextA(m_hWnd, text.c_str());
}

std::string CWnd::GetWindowText() const
{
    const int length = ::GetWindowTextLengthA(m_hWnd);
    if (length <= 0)
        return std::string();
    std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
    const int got = ::GetWindowTextA(m_hWnd, buffer.data(), static_cast<int>(buffer.size()));
    return std::string(buffer.data(), got > 0 ? static_cast<size_t>(got) : 0);
}

bool CWnd::EnableWindow(bool enable) const
{
    return ::EnableWindow(m_hWnd, enable ? TRUE : FALSE) != FALSE;
}

bool CWnd::IsWindowEnabled() const
{
    return ::IsWindowEnabled(m_hWnd) != FALSE;
}

bool CWnd::ShowWindow(int command) const
{
    return ::ShowWindow(m_hWnd, command) != FALSE;
}

bool CWnd::IsWindowVisible() const
{
    return ::IsWindowVisible(m_hWnd) != FALSE;
}

HWND CWnd::GetDlgItem(int id) const
{
    return ::GetDlgItem(m_hWnd, id);
}

void CWnd::SetFont(HFONT font, bool redraw) const
{
    ::SendMessageA(m_hWnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), redraw ? TRUE : FALSE);
}

HFONT CWnd::GetFont() const
{
    return reinterpret_cast<HFONT>(::SendMessageA(m_hWnd, WM_GETFONT, 0, 0));
}

RECT CWnd::GetWindowRect() const
{
    RECT rect{};
    ::GetWindowRect(m_hWnd, &rect);
    return rect;
}

RECT CWnd::GetClientRect() const
{
    RECT rect{};
    ::GetClientRect(m_hWnd, &rect);
    return rect;
}

bool CWnd::OnMessage(UINT, WPARAM, LPARAM, LRESULT&)
{
    return false;
}

LRESULT CWnd::Default(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (m_subclassed)
        return ::DefSubclassProc(m_hWnd, message, wParam, lParam);
    return ::DefWindowProcA(m_hWnd, message, wParam, lParam);
}

void CWnd::ReportHandlerFailure(const char* where, UINT message) noexcept
{
    char text[128];
    std::snprintf(text, sizeof text, "%s: a handler of message 0x%04X failed\n", where, message);
    ::OutputDebugStringA(text);
}

LRESULT CALLBACK CWnd::SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                    DWORD_PTR data)
{
    CWnd* self = reinterpret_cast<CWnd*>(data);
    if (message == WM_NCDESTROY) {
        // The window goes; the object stays and refers to nothing.
        ::RemoveWindowSubclass(window, &CWnd::SubclassProc, SUBCLASS_ID);
        self->m_subclassed = false;
        self->m_hWnd = nullptr;
        return ::DefSubclassProc(window, message, wParam, lParam);
    }
    try {
        LRESULT result = 0;
        if (self->OnMessage(message, wParam, lParam, result))
            return result;
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> owned(e);
        ReportHandlerFailure("window", message);
    } catch (...) {
        ReportHandlerFailure("window", message);
    }
    return ::DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace fw
