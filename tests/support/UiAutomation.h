// A little UI automation for the Windows tests (under Wine with a display):
// find top-level dialog windows by caption, read their controls' texts and
// states, press buttons, and answer message boxes from a watcher thread while
// the test waits for the program under test.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// A visible top-level window of class "#32770" (dialogs and message boxes)
// whose caption is `caption`; nullptr when none is there within `timeoutMs`.
HWND WaitForDialog(const std::string& caption, DWORD timeoutMs);
// Like WaitForDialog, but only a window that holds a child control `controlId`
// (a wizard page is told from another page of the same caption by its ids).
HWND WaitForDialogWithControl(const std::string& caption, int controlId, DWORD timeoutMs);
// Waits until `window` is gone.
bool WaitForWindowGone(HWND window, DWORD timeoutMs);

// Text of a window or of a dialog's control, read with WM_GETTEXT (works
// across processes).
std::string WindowText(HWND window);
std::string ControlText(HWND dialog, int controlId);
bool ControlVisible(HWND dialog, int controlId);
bool ControlEnabled(HWND dialog, int controlId);
bool ControlChecked(HWND dialog, int controlId);
// Presses a button the way a user would (BM_CLICK is sent to the control).
void ClickControl(HWND dialog, int controlId);
// Types a text into an edit control (WM_SETTEXT).
void SetControlText(HWND dialog, int controlId, const std::string& text);

// The text of a message box (its static control 65535).
std::string MessageBoxText(HWND box);

// Answers every message box with the given caption that appears while it
// lives: records its text and presses `button` (IDOK, IDYES, IDNO...).
class CMessageBoxWatcher {
public:
    // `beforeAnswer`, when given, is called with each box's text on the
    // watcher's thread while the box still waits.
    CMessageBoxWatcher(const std::string& caption, int button,
                       std::function<void(const std::string&)> beforeAnswer = {});
    ~CMessageBoxWatcher();
    CMessageBoxWatcher(const CMessageBoxWatcher&) = delete;
    CMessageBoxWatcher& operator=(const CMessageBoxWatcher&) = delete;

    std::vector<std::string> Texts() const;
    // The owner window of each box, in the same order (nullptr: none).
    std::vector<HWND> Owners() const;
    void Stop();

private:
    void Run();

    std::string m_caption;
    int m_button;
    std::function<void(const std::string&)> m_beforeAnswer;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_lock;
    std::vector<std::string> m_texts;
    std::vector<HWND> m_owners;
    std::thread m_thread;
};

// Whether the test has a display (GUI tests get one from tools/wine-run).
bool HaveDisplay();

}  // namespace testsupport
