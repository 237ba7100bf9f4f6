#include "tests/wizard/WizardDriver.h"

#include "tests/support/TestSupport.h"
#include "tests/support/UiAutomation.h"

#include <cstdint>
#include <cstdlib>

using namespace testsupport;

namespace wizardtest {

namespace {

constexpr DWORD POLL_MS = 50;
constexpr char RECORD_FILE[] = "C:\\velloran-shell-opened.txt";
constexpr char SAMPLE_WINDOW_CLASS[] = "VelloranSampleWindow";
// Where Wine keeps the X window of a top-level window.
constexpr char X_WINDOW_PROPERTY[] = "__wine_x11_whole_window";
constexpr DWORD KEYS_TIMEOUT_MS = 15000;

struct PageSearch {
    const std::string* caption;
    std::vector<int> ids;
    HWND found;
};

BOOL CALLBACK FindPage(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<PageSearch*>(parameter);
    char className[32] = {};
    GetClassNameA(window, className, sizeof className);
    if (std::string(className) != "#32770" || !IsWindowVisible(window) || WindowText(window) != *search->caption)
        return TRUE;
    for (int id : search->ids) {
        if (GetDlgItem(window, id) == nullptr)
            return TRUE;
    }
    search->found = window;
    return FALSE;
}

void SetClassCommand(const std::string& key, const std::string& command)
{
    HKEY handle = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr) ==
        ERROR_SUCCESS) {
        fw::CRegKey owned(handle);
        RegSetValueExA(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                       static_cast<DWORD>(command.size() + 1));
    }
}

}  // namespace

CSetupRun::CSetupRun(const std::string& setupPath, const std::string& currentDirectory)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::string line = "\"" + setupPath + "\"";
    if (CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                       currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup, &info)) {
        m_process.reset(info.hProcess);
        CloseHandle(info.hThread);
    }
}

CSetupRun::~CSetupRun()
{
    if (m_process && WaitForSingleObject(m_process.get(), 0) != WAIT_OBJECT_0) {
        TerminateProcess(m_process.get(), 1);
        WaitForSingleObject(m_process.get(), 5000);
    }
}

long CSetupRun::Wait(DWORD timeoutMs)
{
    if (!m_process || WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0)
        return -1001;
    DWORD code = 0;
    GetExitCodeProcess(m_process.get(), &code);
    return static_cast<long>(static_cast<int32_t>(code));
}

HWND WaitForPage(const std::string& caption, std::initializer_list<int> ids, DWORD timeoutMs)
{
    HWND found = nullptr;
    WaitUntil(
        [&] {
            PageSearch search{&caption, ids, nullptr};
            EnumWindows(&FindPage, reinterpret_cast<LPARAM>(&search));
            found = search.found;
            return found != nullptr;
        },
        timeoutMs);
    return found;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(POLL_MS);
    }
}

std::string PressKeys(HWND window, const std::string& keys)
{
    // A Unix program started from Wine runs without a process handle to wait
    // for: the shell writes xdotool's exit code into a file of the test's
    // prefix, which the test reads back.
    const char* prefix = getenv("VELLORAN_WINE_PREFIX");
    if (prefix == nullptr || prefix[0] != '/')
        return "no VELLORAN_WINE_PREFIX: run the test through tools/wine-run";
    static unsigned sequence = 0;
    const std::string doneFile = std::string(prefix) + "/velloran-keys-" + std::to_string(++sequence) + ".done";
    std::string command = "xdotool";
    const auto xWindow = reinterpret_cast<uintptr_t>(GetPropA(window, X_WINDOW_PROPERTY));
    if (xWindow != 0)
        command += " windowfocus --sync " + std::to_string(xWindow);
    // Apart, so that the program sees each key on its own.
    command += " key --delay 150 " + keys;
    std::string line = "/bin/sh -c \"" + command + "; echo $? > '" + doneFile + "'\"";

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return "the shell did not start: error " + std::to_string(GetLastError());
    if (info.hProcess != nullptr)
        CloseHandle(info.hProcess);
    if (info.hThread != nullptr)
        CloseHandle(info.hThread);

    std::string code;
    WaitUntil(
        [&] {
            code = ReadFileBytes(WinePath(doneFile));
            return code.find('\n') != std::string::npos;
        },
        KEYS_TIMEOUT_MS);
    DeleteFileA(WinePath(doneFile).c_str());
    if (code.empty())
        return "xdotool did not finish within " + std::to_string(KEYS_TIMEOUT_MS) + " ms";
    if (code != "0\n")
        return "xdotool " + command.substr(8) + " ended with " + code.substr(0, code.find('\n'));
    return std::string();
}

int FocusedControl(HWND dialog)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) || info.hwndFocus == nullptr ||
        !IsChild(dialog, info.hwndFocus))
        return 0;
    return GetDlgCtrlID(info.hwndFocus);
}

void PostCommand(HWND dialog, int id)
{
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

CTextRecorder::CTextRecorder(HWND dialog, int controlId)
    : m_thread([this, control = GetDlgItem(dialog, controlId)] { Run(control); })
{
}

CTextRecorder::~CTextRecorder()
{
    m_stop = true;
    m_thread.join();
}

std::vector<std::string> CTextRecorder::Texts()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_texts;
}

void CTextRecorder::Run(HWND control)
{
    // Some stages last only a few tens of milliseconds: look often. One
    // read with room to spare: a length asked for first may belong to the
    // text before, and cut the next one short.
    while (!m_stop && IsWindow(control)) {
        char buffer[1024] = {};
        DWORD_PTR copied = 0;
        SendMessageTimeoutA(control, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG,
                            2000, &copied);
        const std::string text(buffer, copied < sizeof buffer ? copied : 0);
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (!text.empty() && (m_texts.empty() || m_texts.back() != text))
                m_texts.push_back(text);
        }
        Sleep(5);
    }
}

void RecordShellOpenings()
{
    DeleteFileA(RECORD_FILE);
    const std::string command = "\"" + BinPath("wizard_shell_recorder.exe") + "\" \"%1\"";
    SetClassCommand("Software\\Classes\\https\\shell\\open\\command", command);
    SetClassCommand("Software\\Classes\\.log", "VelloranTestLog");
    SetClassCommand("Software\\Classes\\VelloranTestLog\\shell\\open\\command", command);
}

std::vector<std::string> ShellOpenings(DWORD waitMs)
{
    // The recorder may still be starting when the setup has ended.
    std::vector<std::string> lines;
    WaitUntil(
        [&] {
            lines = ReadLines(RECORD_FILE);
            return !lines.empty();
        },
        waitMs);
    return lines;
}

bool ProductWindowShown(const std::string& productName, DWORD timeoutMs)
{
    HWND window = nullptr;
    WaitUntil(
        [&] {
            window = FindWindowA(SAMPLE_WINDOW_CLASS, productName.c_str());
            return window != nullptr;
        },
        timeoutMs);
    if (window != nullptr)
        PostMessageA(window, WM_CLOSE, 0, 0);
    return window != nullptr;
}

void SetLogPixels(DWORD dotsPerInch)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
        fw::CRegKey owned(key);
        RegSetValueExA(key, "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dotsPerInch),
                       sizeof dotsPerInch);
    }
}

std::string ScreenshotFolder()
{
    const std::string folder = BuildDir() + "\\screenshots\\wizard";
    CreateDirectoryA((BuildDir() + "\\screenshots").c_str(), nullptr);
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

}  // namespace wizardtest
