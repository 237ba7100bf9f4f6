// The thin window wrapper every framework class builds on. It does not own
// its window: the object outlives the windows it is attached to, one after
// another, and only refers to each while it exists.
#pragma once

#include <windows.h>

#include <string>

namespace fw {

class CWnd {
public:
    CWnd() noexcept = default;
    // Leaves the window alone; only a subclass still in place is removed.
    virtual ~CWnd();

    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND GetSafeHwnd() const noexcept { return m_hWnd; }

    // Refers to `window` from now on, without taking its messages.
    void Attach(HWND window) noexcept;
    HWND Detach() noexcept;

    // Refers to `window` and sees its messages first (OnMessage), until the
    // window is destroyed or UnsubclassWindow is called. Attaching the same
    // window again changes nothing.
    bool SubclassWindow(HWND window);
    void UnsubclassWindow() noexcept;

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    bool PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    void SetWindowText(const std::string& text) const;
    std::string GetWindowText() const;
    bool EnableWindow(bool enable) const;
    bool IsWindowEnabled() const;
    bool ShowWindow(int command) const;
    bool IsWindowVisible() const;
    HWND GetDlgItem(int id) const;
    void SetFont(HFONT font, bool redraw = true) const;
    HFONT GetFont() const;
    RECT GetWindowRect() const;
    RECT GetClientRect() const;

protected:
    // The class's message switch. Returns true when it handled the message
    // and put the message's result into `result`; unhandled messages get the
    // window's own handling. A derived class handles its messages and passes
    // the rest on to its base class's OnMessage.
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

    // The window's own handling of a message, for handlers that add to it
    // rather than replace it.
    virtual LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam);

    // A handler let an exception out: it is noted in the debugger output and
    // the message counts as unhandled.
    static void ReportHandlerFailure(const char* where, UINT message) noexcept;

    HWND m_hWnd = nullptr;

private:
    static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR id, DWORD_PTR data);
    bool m_subclassed = false;
};

}  // namespace fw
