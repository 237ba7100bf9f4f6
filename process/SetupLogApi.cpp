#include "process/SetupLogApi.h"

#include <cstring>

CSetupLogApi::CSetupLogApi(HANDLE logFile) : m_logFile(logFile) {}

CSetupLogApi::~CSetupLogApi()
{
    if (m_captureStarted)
        EndCapture();
    if (m_logFile != INVALID_HANDLE_VALUE && m_logFile != nullptr)
        FlushFileBuffers(m_logFile);
}

void CSetupLogApi::WriteLine(const char* message, const char* text)
{
    if (m_logFile == INVALID_HANDLE_VALUE || m_logFile == nullptr || message == nullptr)
        return;
    SetFilePointer(m_logFile, 0, nullptr, FILE_END);
    DWORD written = 0;
    if (!WriteFile(m_logFile, message, static_cast<DWORD>(strlen(message)), &written, nullptr))
        return;
    if (text != nullptr && !WriteFile(m_logFile, text, static_cast<DWORD>(strlen(text)), &written, nullptr))
        return;
    WriteFile(m_logFile, "\r\n", 2, &written, nullptr);
}

int CSetupLogApi::StartCapture()
{
    return m_captureStarted;
}

void CSetupLogApi::EndCapture() {}
