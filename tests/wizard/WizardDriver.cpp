#include "tests/wizard/WizardDriver.h"

#include "tests/support/TestSupport.h"
#include "tests/support/UiAutomation.h"

using namespace testsupport;

namespace wizardtest {

namespace {

constexpr DWORD POLL_MS = 50;
constexpr char RECORD_FILE[] = "C:\\velloran-shell-opened.txt";
constexpr char SAMPLE_WINDOW_CLASS[] = "VelloranSampleWindow";

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
