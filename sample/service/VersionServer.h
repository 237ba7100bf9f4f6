// The product's side of the installed-version query: the presence event that
// tells a setup the product is running, and the named pipe on which it answers
// the version request. Used by the service and by its console mode alike.
#pragma once

#include "framework/Handles.h"

#include <windows.h>

#include <cstdint>
#include <string>

class CVersionServer {
public:
    CVersionServer(const char* pipeName, const char* eventName, uint32_t version, std::string versionText);
    virtual ~CVersionServer();

    CVersionServer(const CVersionServer&) = delete;
    CVersionServer& operator=(const CVersionServer&) = delete;

    // Creates the first pipe instance, then the presence event, so that a
    // setup that sees the event always finds the pipe. Returns a Win32 error,
    // ERROR_SERVICE_ALREADY_RUNNING when another copy is serving already.
    DWORD Open();

    // Answers clients one after another until stopEvent is signalled; closes
    // the event first, so that no setup starts a query that could not finish.
    // Returns a Win32 error, 0 after a stop.
    DWORD Serve(HANDLE stopEvent);

private:
    DWORD CreateInstance(bool first, fw::CFileHandle* pipe) const;
    DWORD AnswerClient(HANDLE pipe, HANDLE ioEvent, HANDLE stopEvent) const;

    std::string m_pipeName;
    std::string m_eventName;
    uint32_t m_version;
    std::string m_versionText;
    fw::CFileHandle m_listening;
    fw::CKernelHandle m_instance;  // held while this process serves the name
    fw::CKernelHandle m_presence;
};
