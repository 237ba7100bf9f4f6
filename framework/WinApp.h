// The application object. A program defines exactly one global instance of
// a class derived from CWinApp; the framework's WinMain (in WinApp.cpp)
// finds it and runs it:
//
//   InitInstance() returns false: the process ends at once with the exit
//   code ExitInstance() returns.
//   InitInstance() returns true: Run() serves the thread's message queue
//   until WM_QUIT, then the exit code is ExitInstance()'s.
//
// No exception leaves WinMain: one that escapes ends the process with
// EXIT_UNCAUGHT_EXCEPTION.
#pragma once

#include <windows.h>

namespace fw {

class CWinApp {
public:
    static constexpr int EXIT_UNCAUGHT_EXCEPTION = -1;

    CWinApp() noexcept;
    virtual ~CWinApp();

    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // The program's application object, or none.
    static CWinApp* Current() noexcept;

    virtual bool InitInstance();
    virtual int Run();
    // Base: the WM_QUIT code when Run() ended, otherwise 0.
    virtual int ExitInstance();

    // What WinMain was given.
    HINSTANCE m_hInstance = nullptr;
    const char* m_lpCmdLine = "";
    int m_nCmdShow = SW_SHOWNORMAL;

    // WinMain's body, for the framework's WinMain.
    static int RunProgram(HINSTANCE instance, const char* commandLine, int show) noexcept;

private:
    int m_quitCode = 0;
};

}  // namespace fw
