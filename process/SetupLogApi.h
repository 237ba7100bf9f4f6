// Writer of the setup log, and capture of the Windows SetupAPI device
// installation log of the same run into it.
#pragma once

#include "framework/Handles.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

class CSetupLogApi {
public:
    // The log file belongs to the caller and is never closed here; an invalid
    // handle means nothing is written.
    explicit CSetupLogApi(HANDLE logFile);
    // Ends a started capture (appends the SetupAPI excerpt, restores
    // "LogLevel"), then flushes the log file.
    virtual ~CSetupLogApi();

    CSetupLogApi(const CSetupLogApi&) = delete;
    CSetupLogApi& operator=(const CSetupLogApi&) = delete;

    // Appends message, text (either may be null; a null message writes
    // nothing) and CR LF at the end of the log.
    void WriteLine(const char* message, const char* text);

    // Raises the SetupAPI logging level and remembers the SetupAPI log's
    // size; returns 1 when the capture started. `beforeRaise` (optional) is
    // told the level's type and value right before it is raised, so that it
    // can be journaled; when it throws, nothing is raised and the exception
    // goes on.
    int StartCapture(const std::function<void(DWORD type, DWORD value)>& beforeRaise = {});

private:
    void EndCapture();
    bool HasLog() const { return m_logFile != INVALID_HANDLE_VALUE && m_logFile != nullptr; }

    HANDLE m_logFile;
    fw::CFileHandle m_setupApiFile;
    fw::CRegKey m_setupKey;
    int m_captureStarted = 0;
    int m_levelRaised = 0;
    uint32_t m_startSize = 0;
    DWORD m_savedLevel = 0;
    DWORD m_savedLevelType = REG_DWORD;
    std::string m_setupApiPath;  // empty when it could not be determined
};
