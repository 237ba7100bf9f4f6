#include "sample/service/SampleService.h"

#include "sample/common/SampleIdentity.h"

namespace {

constexpr DWORD PENDING_WAIT_HINT_MS = 3000;

}  // namespace

CSampleService::CSampleService()
    : m_server(SAMPLE_PIPE_NAME, SAMPLE_PRESENCE_EVENT, SAMPLE_VERSION_NUMBER, SAMPLE_VERSION_STRING)
{
    m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
}

CSampleService::~CSampleService() = default;

DWORD CSampleService::RunDispatcher()
{
    // The name is ignored for an own-process service, but must not be empty.
    static char serviceName[] = "velloran";
    SERVICE_TABLE_ENTRYA table[] = {{serviceName, &CSampleService::ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table))
        return GetLastError();
    return ERROR_SUCCESS;
}

void WINAPI CSampleService::ServiceMain(DWORD, LPSTR*)
{
    // No C++ exception may leave a thread the Service Control Manager called.
    try {
        CSampleService service;
        service.Run();
    } catch (...) {
    }
}

DWORD WINAPI CSampleService::ControlHandler(DWORD control, DWORD, void*, void* context)
{
    CSampleService* service = static_cast<CSampleService*>(context);
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        service->Report(SERVICE_STOP_PENDING, NO_ERROR);
        SetEvent(service->m_stopEvent.get());
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void CSampleService::Run()
{
    m_statusHandle = RegisterServiceCtrlHandlerExA(SAMPLE_SERVICE_NAME, &CSampleService::ControlHandler, this);
    if (m_statusHandle == nullptr)
        return;
    Report(SERVICE_START_PENDING, NO_ERROR);
    m_stopEvent.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!m_stopEvent) {
        Report(SERVICE_STOPPED, GetLastError());
        return;
    }
    DWORD error = m_server.Open();
    if (error != ERROR_SUCCESS) {
        Report(SERVICE_STOPPED, error);
        return;
    }
    Report(SERVICE_RUNNING, NO_ERROR);
    error = m_server.Serve(m_stopEvent.get());
    Report(SERVICE_STOPPED, error);
}

void CSampleService::Report(DWORD state, DWORD exitCode)
{
    std::lock_guard<std::mutex> hold(m_statusLock);
    m_status.dwCurrentState = state;
    m_status.dwWin32ExitCode = exitCode;
    m_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    m_status.dwCheckPoint = pending ? m_status.dwCheckPoint + 1 : 0;
    m_status.dwWaitHint = pending ? PENDING_WAIT_HINT_MS : 0;
    SetServiceStatus(m_statusHandle, &m_status);
}
