#include "framework/WinApp.h"

#include "engine/ExceptionEx.h"
#include "framework/SystemLibrary.h"

#include <cstdlib>
#include <memory>

namespace {

fw::CWinApp* g_application = nullptr;

}  // namespace

namespace fw {

CWinApp::CWinApp() noexcept
{
    // A second instance would be a programming error; the first one stays.
    if (g_application == nullptr)
        g_application = this;
}

CWinApp::~CWinApp()
{
    if (g_application == this)
        g_application = nullptr;
}

CWinApp* CWinApp::Current() noexcept
{
    return g_application;
}

bool CWinApp::InitInstance()
{
    return true;
}

int CWinApp::Run()
{
    MSG message;
    BOOL got;
    while ((got = ::GetMessageA(&message, nullptr, 0, 0)) != 0) {
        if (got == -1)
            break;
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
    if (got == 0)
        m_quitCode = static_cast<int>(message.wParam);
    return ExitInstance();
}

int CWinApp::ExitInstance()
{
    return m_quitCode;
}

int CWinApp::RunProgram(HINSTANCE instance, const char* commandLine, int show) noexcept
{
    CWinApp* application = Current();
    if (application == nullptr)
        return EXIT_UNCAUGHT_EXCEPTION;
    application->m_hInstance = instance;
    application->m_lpCmdLine = commandLine != nullptr ? commandLine : "";
    application->m_nCmdShow = show;
    try {
        if (!application->InitInstance())
            return application->ExitInstance();
        return application->Run();
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> owned(e);
    } catch (...) {
    }
    ::OutputDebugStringA("application: an exception escaped the run\n");
    return EXIT_UNCAUGHT_EXCEPTION;
}

}  // namespace fw

// What std::terminate calls. The C++ library's own handler names the
// escaping exception's type on stderr and brings the whole demangler (some
// 45 KB) into every program for it; a GUI program has no stderr, and none of
// ours lets an exception escape. Defined here, beside WinMain, so that the
// link finds it before the library's.
namespace __gnu_cxx {
void __verbose_terminate_handler()
{
    ::OutputDebugStringA("application: terminate called\n");
    std::abort();
}
}  // namespace __gnu_cxx

// The program's entry point; it lives beside CWinApp so that any program
// with an application object links it.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int show)
{
    // Before anything could load a library by name.
    fw::RestrictLibrarySearch();
    fw::LoadThemeLibraries();
    return fw::CWinApp::RunProgram(instance, commandLine, show);
}
