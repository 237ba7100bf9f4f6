// A program with an application object, for the framework test to run: its
// command line says how the run goes, its exit code shows how WinMain ended.
//   false       InitInstance fails, ExitInstance returns -7
//   run         InitInstance succeeds and posts WM_QUIT with 5
//   throw       InitInstance throws a CExceptionEx
//   throwother  InitInstance throws something else
#include "engine/ExceptionEx.h"
#include "framework/WinApp.h"

#include <stdexcept>
#include <string>

namespace {

class CProbeApp : public fw::CWinApp {
public:
    bool InitInstance() override
    {
        m_mode = m_lpCmdLine;
        if (m_mode == "run") {
            ::PostQuitMessage(5);
            return true;
        }
        if (m_mode == "throw")
            ThrowExceptionEx(MODULE_PROCESS, 1, 2);
        if (m_mode == "throwother")
            throw std::runtime_error("probe");
        return false;
    }

    int ExitInstance() override { return m_mode == "run" ? CWinApp::ExitInstance() : -7; }

private:
    std::string m_mode;
};

CProbeApp theApp;

}  // namespace
