// The product's user program: a small window that says whether the product
// service runs. "-help" shows the switches (the setup's "Command Line"
// shortcut starts it so).
#include "framework/SystemLibrary.h"
#include "sample/common/SampleIdentity.h"
#include "sample/common/StdOutput.h"
#include "sample/common/VersionClient.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char WINDOW_CLASS[] = "VelloranSampleWindow";
constexpr int ID_STATUS_TEXT = 100;
constexpr DWORD PIPE_WAIT_MS = 2000;

std::string UsageText()
{
    return std::string("Usage: ") + SAMPLE_USER_PROGRAM + " [-help]\n\n" +
           "  -help   show this text\n\n" +
           "Without switches " + SAMPLE_USER_PROGRAM + " opens its window and shows whether the " +
           SAMPLE_SERVICE_DISPLAY_NAME + " is running.\n";
}

std::string StatusText()
{
    std::string text = std::string(SAMPLE_PRODUCT_NAME) + " " + SAMPLE_VERSION_STRING + "\n\n";
    CVersionClient client(SAMPLE_PRESENCE_EVENT, SAMPLE_PIPE_NAME);
    switch (client.Query(PIPE_WAIT_MS)) {
    case CVersionClient::Result::Answered:
        return text + SAMPLE_SERVICE_DISPLAY_NAME + " is running, version " + client.Text() + ".";
    case CVersionClient::Result::NoAnswer:
        return text + SAMPLE_SERVICE_DISPLAY_NAME + " is running but does not answer.";
    case CVersionClient::Result::NotRunning:
    default:
        return text + SAMPLE_SERVICE_DISPLAY_NAME + " is not running.";
    }
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int ShowUsage(const std::string& problem)
{
    const std::string text = problem + UsageText();
    WriteStdOutput(text);
    MessageBoxA(nullptr, text.c_str(), SAMPLE_PRODUCT_NAME,
                MB_OK | (problem.empty() ? MB_ICONINFORMATION : MB_ICONWARNING));
    return problem.empty() ? 0 : 2;
}

int RunWindow(HINSTANCE instance, int show)
{
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = WINDOW_CLASS;
    if (!RegisterClassA(&windowClass))
        return 1;
    HWND window = CreateWindowExA(0, WINDOW_CLASS, SAMPLE_PRODUCT_NAME, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 440, 180, nullptr, nullptr, instance, nullptr);
    if (window == nullptr)
        return 1;
    const std::string status = StatusText();
    CreateWindowExA(0, "STATIC", status.c_str(), WS_CHILD | WS_VISIBLE, 16, 16, 400, 100, window,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(ID_STATUS_TEXT)), instance, nullptr);
    ShowWindow(window, show);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show)
{
    fw::RestrictLibrarySearch();
    fw::LoadThemeLibraries();
    try {
        for (int i = 1; i < __argc; ++i) {
            if (_stricmp(__argv[i], "-help") == 0 || std::strcmp(__argv[i], "/?") == 0)
                return ShowUsage(std::string());
            return ShowUsage(std::string("Unknown switch: ") + __argv[i] + "\n\n");
        }
        return RunWindow(instance, show);
    } catch (...) {
        return 1;
    }
}
