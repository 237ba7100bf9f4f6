// The product service program. Started by the Service Control Manager it runs
// as the service; "-console" runs the same version server in a console, which
// is how tests bring up a running product without installing it.
#include "framework/SystemLibrary.h"
#include "sample/common/SampleIdentity.h"
#include "sample/common/VersionProtocol.h"
#include "sample/service/SampleService.h"
#include "sample/service/VersionServer.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

static_assert(sizeof SAMPLE_VERSION_STRING - 1 <= SAMPLE_MAX_VERSION_TEXT,
              "a setup cannot take a version text longer than 255 bytes");

HANDLE g_consoleStop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD)
{
    SetEvent(g_consoleStop);
    return TRUE;
}

void PrintUsage()
{
    std::printf("%s.exe: the %s.\n"
                "  (no arguments)  run as the service \"%s\" under the Service Control Manager\n"
                "  -console        serve version %s (0x%X) in this console until Ctrl+C\n"
                "  -help           this text\n",
                SAMPLE_SERVICE_NAME, SAMPLE_SERVICE_DISPLAY_NAME, SAMPLE_SERVICE_NAME, SAMPLE_VERSION_STRING,
                static_cast<unsigned>(SAMPLE_VERSION_NUMBER));
}

int RunConsole()
{
    fw::CKernelHandle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!stop) {
        std::printf("%s: cannot create the stop event (error %lu)\n", SAMPLE_SERVICE_NAME, GetLastError());
        return 1;
    }
    g_consoleStop = stop.get();
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    CVersionServer server(SAMPLE_PIPE_NAME, SAMPLE_PRESENCE_EVENT, SAMPLE_VERSION_NUMBER, SAMPLE_VERSION_STRING);
    DWORD error = server.Open();
    if (error != ERROR_SUCCESS) {
        std::printf("%s: cannot serve %s (error %lu)\n", SAMPLE_SERVICE_NAME, SAMPLE_PIPE_NAME, error);
        return 1;
    }
    std::printf("%s: serving version %s (0x%X) on %s\n", SAMPLE_SERVICE_NAME, SAMPLE_VERSION_STRING,
                static_cast<unsigned>(SAMPLE_VERSION_NUMBER), SAMPLE_PIPE_NAME);
    std::fflush(stdout);
    error = server.Serve(stop.get());
    SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
    g_consoleStop = nullptr;
    if (error != ERROR_SUCCESS) {
        std::printf("%s: serving failed (error %lu)\n", SAMPLE_SERVICE_NAME, error);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    fw::RestrictLibrarySearch();
    try {
        if (argc >= 2 && _stricmp(argv[1], "-console") == 0)
            return RunConsole();
        if (argc >= 2) {
            PrintUsage();
            return _stricmp(argv[1], "-help") == 0 ? 0 : 2;
        }
        DWORD error = CSampleService::RunDispatcher();
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
            PrintUsage();
            return 1;
        }
        return error == ERROR_SUCCESS ? 0 : 1;
    } catch (...) {
        return 1;
    }
}
