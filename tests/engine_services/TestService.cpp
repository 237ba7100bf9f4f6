// A minimal own-process service for the engine's service tests: it reports
// RUNNING and waits for the stop control. With "-nostop" on its command line
// it does not accept the stop control, like a service that refuses to stop.
#include <windows.h>

#include <cstring>

namespace {

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopEvent = nullptr;
bool g_acceptsStop = true;

void Report(DWORD state)
{
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = (state == SERVICE_RUNNING && g_acceptsStop) ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*)
{
    if (control != SERVICE_CONTROL_STOP)
        return ERROR_CALL_NOT_IMPLEMENTED;
    Report(SERVICE_STOP_PENDING);
    SetEvent(g_stopEvent);
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, char**)
{
    g_statusHandle = RegisterServiceCtrlHandlerExA("", &Handler, nullptr);
    if (!g_statusHandle)
        return;
    Report(SERVICE_RUNNING);
    WaitForSingleObject(g_stopEvent, INFINITE);
    Report(SERVICE_STOPPED);
}

}  // namespace

int main()
{
    g_acceptsStop = strstr(GetCommandLineA(), "-nostop") == nullptr;
    g_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
