// The product service as the Service Control Manager runs it: an own-process
// Win32 service that serves the version query until it is told to stop.
#pragma once

#include "framework/Handles.h"
#include "sample/service/VersionServer.h"

#include <windows.h>

#include <mutex>

class CSampleService {
public:
    // Hands the main thread to the Service Control Manager and returns when
    // the service has stopped. Returns a Win32 error;
    // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when not started as a service.
    static DWORD RunDispatcher();

    virtual ~CSampleService();

private:
    CSampleService();
    CSampleService(const CSampleService&) = delete;
    CSampleService& operator=(const CSampleService&) = delete;

    static void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
    static DWORD WINAPI ControlHandler(DWORD control, DWORD eventType, void* eventData, void* context);

    void Run();
    void Report(DWORD state, DWORD exitCode);

    // The control handler reports from the dispatcher thread, Run from the
    // service's own thread.
    std::mutex m_statusLock;
    SERVICE_STATUS_HANDLE m_statusHandle = nullptr;
    SERVICE_STATUS m_status{};
    fw::CKernelHandle m_stopEvent;
    CVersionServer m_server;
};
