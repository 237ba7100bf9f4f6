#include "tests/support/UiAutomation.h"

#include <cstdlib>

namespace testsupport {

namespace {

constexpr DWORD POLL_MS = 50;
constexpr int MESSAGE_BOX_TEXT_ID = 65535;

struct Search {
    const std::string* caption;
    int controlId;
    HWND found;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<Search*>(param);
    char className[64] = {};
    GetClassNameA(window, className, sizeof className);
    if (std::string(className) != "#32770" || !IsWindowVisible(window))
        return TRUE;
    if (WindowText(window) != *search->caption)
        return TRUE;
    if (search->controlId != 0 && GetDlgItem(window, search->controlId) == nullptr)
        return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindDialogNow(const std::string& caption, int controlId)
{
    Search search{&caption, controlId, nullptr};
    EnumWindows(&FindDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace

HWND WaitForDialog(const std::string& caption, DWORD timeoutMs)
{
    return WaitForDialogWithControl(caption, 0, timeoutMs);
}

HWND WaitForDialogWithControl(const std::string& caption, int controlId, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (HWND window = FindDialogNow(caption, controlId))
            return window;
        if (GetTickCount() - start >= timeoutMs)
            return nullptr;
        Sleep(POLL_MS);
    }
}

bool WaitForWindowGone(HWND window, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (IsWindow(window) && IsWindowVisible(window)) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(POLL_MS);
    }
    return true;
}

std::string WindowText(HWND window)
{
    if (window == nullptr)
        return std::string();
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length))
        return std::string();
    std::string text(length + 1, '\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]),
                        SMTO_ABORTIFHUNG, 2000, &copied);
    text.resize(copied);
    return text;
}

std::string ControlText(HWND dialog, int controlId)
{
    return WindowText(GetDlgItem(dialog, controlId));
}

bool ControlVisible(HWND dialog, int controlId)
{
    HWND control = GetDlgItem(dialog, controlId);
    return control != nullptr && (GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

bool ControlEnabled(HWND dialog, int controlId)
{
    HWND control = GetDlgItem(dialog, controlId);
    return control != nullptr && IsWindowEnabled(control);
}

bool ControlChecked(HWND dialog, int controlId)
{
    DWORD_PTR state = 0;
    SendMessageTimeoutA(GetDlgItem(dialog, controlId), BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 2000, &state);
    return state == BST_CHECKED;
}

void ClickControl(HWND dialog, int controlId)
{
    // Posted, not sent: the click may open a modal box in the other process,
    // and a sent message would wait for it to close.
    HWND control = GetDlgItem(dialog, controlId);
    PostMessageA(control, BM_CLICK, 0, 0);
}

void SetControlText(HWND dialog, int controlId, const std::string& text)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutA(GetDlgItem(dialog, controlId), WM_SETTEXT, 0,
                        reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG, 2000, &result);
}

std::string MessageBoxText(HWND box)
{
    return ControlText(box, MESSAGE_BOX_TEXT_ID);
}

CMessageBoxWatcher::CMessageBoxWatcher(const std::string& caption, int button,
                                       std::function<void(const std::string&)> beforeAnswer)
    : m_caption(caption), m_button(button), m_beforeAnswer(std::move(beforeAnswer)), m_thread([this] { Run(); })
{
}

CMessageBoxWatcher::~CMessageBoxWatcher()
{
    Stop();
}

void CMessageBoxWatcher::Stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

std::vector<std::string> CMessageBoxWatcher::Texts() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_texts;
}

std::vector<HWND> CMessageBoxWatcher::Owners() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_owners;
}

void CMessageBoxWatcher::Run()
{
    while (!m_stop) {
        // A message box is a dialog with the static 65535; wizard pages of the
        // same caption have no such control.
        HWND box = FindDialogNow(m_caption, MESSAGE_BOX_TEXT_ID);
        if (box != nullptr) {
            const std::string text = MessageBoxText(box);
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_texts.push_back(text);
                m_owners.push_back(GetWindow(box, GW_OWNER));
            }
            if (m_beforeAnswer)
                m_beforeAnswer(text);
            HWND button = GetDlgItem(box, m_button);
            if (button != nullptr)
                PostMessageA(button, BM_CLICK, 0, 0);
            else
                PostMessageA(box, WM_COMMAND, MAKEWPARAM(m_button, BN_CLICKED), 0);
            WaitForWindowGone(box, 5000);
        }
        Sleep(POLL_MS);
    }
}

bool HaveDisplay()
{
    const char* gui = getenv("VELLORAN_TEST_GUI");
    return gui != nullptr && gui[0] == '1';
}

}  // namespace testsupport
