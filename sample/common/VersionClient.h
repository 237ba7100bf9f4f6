// Asks the running product service for its version, the way a setup does:
// presence event first, then one request on the pipe.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class CVersionClient {
public:
    enum class Result { NotRunning, NoAnswer, Answered };

    CVersionClient(const char* eventName, const char* pipeName);
    virtual ~CVersionClient();

    // Waits at most timeoutMs for a free pipe instance.
    Result Query(DWORD timeoutMs);

    uint32_t Version() const { return m_version; }
    const std::string& Text() const { return m_text; }

private:
    std::string m_eventName;
    std::string m_pipeName;
    uint32_t m_version = 0;
    std::string m_text;
};
