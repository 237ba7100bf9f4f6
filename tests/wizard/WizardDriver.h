// Drives a real setup's wizard from outside, as a user would: the setup runs
// as a child process, the test finds each page by its caption and the
// controls only that page has, reads what it shows and presses its buttons.
// Also what the wizard starts on its way out: the product, and the shell's
// "open" of the quick-start address and of the setup log.
#pragma once

#include "framework/Handles.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wizardtest {

// A setup started without switches, not waited for.
class CSetupRun {
public:
    CSetupRun(const std::string& setupPath, const std::string& currentDirectory = std::string());
    // Ends the setup if it still runs.
    ~CSetupRun();
    CSetupRun(const CSetupRun&) = delete;
    CSetupRun& operator=(const CSetupRun&) = delete;

    bool Started() const { return m_process.valid(); }
    // The exit code, or -1001 when the setup still runs after `timeoutMs`.
    long Wait(DWORD timeoutMs);

private:
    fw::CKernelHandle m_process;
};

// The visible dialog of `caption` that holds every control of `ids`; nullptr
// after `timeoutMs`.
HWND WaitForPage(const std::string& caption, std::initializer_list<int> ids, DWORD timeoutMs = 20000);
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);
// The command a button, Enter (IDOK) or Escape (IDCANCEL) sends to a dialog.
void PostCommand(HWND dialog, int id);

// Presses keys on the keyboard of the test's display, as a user does: X key
// events (xdotool), after `window`'s X window has taken the input focus.
// `keys` are xdotool's key names ("Tab", "shift+Tab", "Up", "space",
// "Return", "Escape"), pressed one after another. Returns an empty text when
// the keys went out, otherwise what stopped them.
std::string PressKeys(HWND window, const std::string& keys);
// The id of the control of `dialog` that has the keyboard focus; 0 when none
// of its controls has it.
int FocusedControl(HWND dialog);

// Records every text a control shows while it lives, in order, without
// repeats.
class CTextRecorder {
public:
    CTextRecorder(HWND dialog, int controlId);
    ~CTextRecorder();
    CTextRecorder(const CTextRecorder&) = delete;
    CTextRecorder& operator=(const CTextRecorder&) = delete;
    std::vector<std::string> Texts();

private:
    void Run(HWND control);
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::vector<std::string> m_texts;
    std::thread m_thread;
};

// Makes the shell "open" https addresses and .log files with the test's
// recorder program; ShellOpenings() lists what was opened, as "show|command
// line", once something was or after `waitMs`.
void RecordShellOpenings();
std::vector<std::string> ShellOpenings(DWORD waitMs = 10000);

// The product's user program window, if one was started; closes it.
bool ProductWindowShown(const std::string& productName, DWORD timeoutMs);

// The screen's dots per inch for programs started from now on.
void SetLogPixels(DWORD dotsPerInch);

// Where the screenshots of the wizard go: <windows build>\screenshots\wizard.
std::string ScreenshotFolder();

}  // namespace wizardtest
