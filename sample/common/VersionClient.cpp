#include "sample/common/VersionClient.h"

#include "framework/Handles.h"
#include "sample/common/VersionProtocol.h"

namespace {

bool ReadExactly(HANDLE pipe, unsigned char* bytes, DWORD size)
{
    DWORD done = 0;
    while (done < size) {
        DWORD got = 0;
        if (!ReadFile(pipe, bytes + done, size - done, &got, nullptr) || got == 0)
            return false;
        done += got;
    }
    return true;
}

uint32_t GetLe32(const unsigned char* in)
{
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

}  // namespace

CVersionClient::CVersionClient(const char* eventName, const char* pipeName)
    : m_eventName(eventName), m_pipeName(pipeName)
{
}

CVersionClient::~CVersionClient() = default;

CVersionClient::Result CVersionClient::Query(DWORD timeoutMs)
{
    m_version = 0;
    m_text.clear();
    fw::CKernelHandle presence(OpenEventA(SYNCHRONIZE, FALSE, m_eventName.c_str()));
    if (!presence)
        return Result::NotRunning;
    if (!WaitNamedPipeA(m_pipeName.c_str(), timeoutMs))
        return Result::NoAnswer;
    fw::CFileHandle pipe(CreateFileA(m_pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     0, nullptr));
    if (!pipe)
        return Result::NoAnswer;
    const unsigned char request[4] = {static_cast<unsigned char>(SAMPLE_REQUEST_VERSION),
                                      static_cast<unsigned char>(SAMPLE_REQUEST_VERSION >> 8), 0, 0};
    DWORD written = 0;
    if (!WriteFile(pipe.get(), request, sizeof request, &written, nullptr) || written != sizeof request)
        return Result::NoAnswer;
    unsigned char header[8];
    if (!ReadExactly(pipe.get(), header, sizeof header))
        return Result::NoAnswer;
    const uint32_t length = GetLe32(header + 4);
    if (length > SAMPLE_MAX_VERSION_TEXT)
        return Result::NoAnswer;
    std::string text(length, '\0');
    if (length > 0 && !ReadExactly(pipe.get(), reinterpret_cast<unsigned char*>(&text[0]), length))
        return Result::NoAnswer;
    m_version = GetLe32(header);
    m_text = text;
    return Result::Answered;
}
