#include "sample/service/VersionServer.h"

#include "sample/common/VersionProtocol.h"

#include <utility>

namespace {

constexpr DWORD PIPE_BUFFER_SIZE = 4096;
// A client that connects and then says nothing must not keep the next one
// waiting for ever: the server hangs up after this long without a request.
constexpr DWORD CLIENT_IDLE_TIMEOUT_MS = 2000;

void PutLe32(unsigned char* out, uint32_t value)
{
    out[0] = static_cast<unsigned char>(value);
    out[1] = static_cast<unsigned char>(value >> 8);
    out[2] = static_cast<unsigned char>(value >> 16);
    out[3] = static_cast<unsigned char>(value >> 24);
}

uint32_t GetLe32(const unsigned char* in)
{
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

// Waits for an overlapped operation, the stop event or the time-out. An
// operation that is given up is cancelled and waited for, so that its
// OVERLAPPED may go out of scope. A stop gives ERROR_OPERATION_ABORTED.
DWORD FinishIo(HANDLE pipe, OVERLAPPED* overlapped, HANDLE stopEvent, DWORD timeoutMs, DWORD* transferred)
{
    HANDLE waits[2] = {overlapped->hEvent, stopEvent};
    DWORD woken = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
    if (woken == WAIT_OBJECT_0) {
        if (!GetOverlappedResult(pipe, overlapped, transferred, FALSE))
            return GetLastError();
        return ERROR_SUCCESS;
    }
    DWORD reason = woken == WAIT_OBJECT_0 + 1 ? ERROR_OPERATION_ABORTED
                   : woken == WAIT_TIMEOUT   ? ERROR_TIMEOUT
                                             : GetLastError();
    CancelIo(pipe);
    GetOverlappedResult(pipe, overlapped, transferred, TRUE);
    return reason;
}

// Moves exactly `size` bytes through the pipe (a byte stream may deliver a
// request in pieces).
DWORD TransferExactly(HANDLE pipe, bool reading, unsigned char* bytes, DWORD size, HANDLE ioEvent,
                      HANDLE stopEvent)
{
    DWORD done = 0;
    while (done < size) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = ioEvent;
        BOOL started = reading ? ReadFile(pipe, bytes + done, size - done, nullptr, &overlapped)
                               : WriteFile(pipe, bytes + done, size - done, nullptr, &overlapped);
        if (!started && GetLastError() != ERROR_IO_PENDING)
            return GetLastError();
        DWORD moved = 0;
        DWORD error = FinishIo(pipe, &overlapped, stopEvent, CLIENT_IDLE_TIMEOUT_MS, &moved);
        if (error != ERROR_SUCCESS)
            return error;
        if (moved == 0)
            return ERROR_BROKEN_PIPE;
        done += moved;
    }
    return ERROR_SUCCESS;
}

}  // namespace

CVersionServer::CVersionServer(const char* pipeName, const char* eventName, uint32_t version,
                               std::string versionText)
    : m_pipeName(pipeName), m_eventName(eventName), m_version(version), m_versionText(std::move(versionText))
{
}

CVersionServer::~CVersionServer() = default;

DWORD CVersionServer::Open()
{
    // Only one process may serve the name. The pipe's first-instance flag
    // would say so on Windows but not under every emulation of it, so a
    // named mutex settles it before the pipe is made.
    m_instance.reset(CreateMutexA(nullptr, FALSE, (m_eventName + "-instance").c_str()));
    if (!m_instance)
        return GetLastError();
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        m_instance.reset();
        return ERROR_SERVICE_ALREADY_RUNNING;
    }
    DWORD error = CreateInstance(true, &m_listening);
    if (error != ERROR_SUCCESS) {
        m_instance.reset();
        return error;
    }
    m_presence.reset(CreateEventA(nullptr, TRUE, FALSE, m_eventName.c_str()));
    if (!m_presence) {
        error = GetLastError();
        m_listening.reset();
        m_instance.reset();
        return error;
    }
    return ERROR_SUCCESS;
}

DWORD CVersionServer::Serve(HANDLE stopEvent)
{
    fw::CKernelHandle ioEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!ioEvent)
        return GetLastError();
    DWORD result = ERROR_SUCCESS;
    while (m_listening) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = ioEvent.get();
        DWORD error = ERROR_SUCCESS;
        if (!ConnectNamedPipe(m_listening.get(), &overlapped)) {
            error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                DWORD unused = 0;
                error = FinishIo(m_listening.get(), &overlapped, stopEvent, INFINITE, &unused);
            } else if (error == ERROR_PIPE_CONNECTED) {
                error = ERROR_SUCCESS;
            }
        }
        if (error == ERROR_OPERATION_ABORTED)
            break;
        // A client that connected and left at once leaves ERROR_NO_DATA: that
        // instance is simply replaced.
        if (error != ERROR_SUCCESS && error != ERROR_NO_DATA) {
            result = error;
            break;
        }
        // The next instance listens before this client is answered, so the
        // pipe's name never disappears while the product runs.
        fw::CFileHandle client(std::move(m_listening));
        DWORD created = CreateInstance(false, &m_listening);
        if (error == ERROR_SUCCESS)
            AnswerClient(client.get(), ioEvent.get(), stopEvent);
        DisconnectNamedPipe(client.get());
        if (created != ERROR_SUCCESS) {
            result = created;
            break;
        }
        if (WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0)
            break;
    }
    m_presence.reset();
    m_listening.reset();
    m_instance.reset();
    return result;
}

DWORD CVersionServer::CreateInstance(bool first, fw::CFileHandle* pipe) const
{
    DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    pipe->reset(CreateNamedPipeA(m_pipeName.c_str(), openMode,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                 PIPE_UNLIMITED_INSTANCES, PIPE_BUFFER_SIZE, PIPE_BUFFER_SIZE,
                                 0,          // default time-out for WaitNamedPipe callers that ask for it
                                 nullptr));  // default security: the setup runs as an administrator
    if (pipe->valid())
        return ERROR_SUCCESS;
    DWORD error = GetLastError();
    if (first && error == ERROR_ACCESS_DENIED)
        return ERROR_SERVICE_ALREADY_RUNNING;
    return error;
}

DWORD CVersionServer::AnswerClient(HANDLE pipe, HANDLE ioEvent, HANDLE stopEvent) const
{
    // Answers every version request until the client hangs up: closing our
    // end before the client has read the reply could lose it.
    for (;;) {
        unsigned char request[4];
        DWORD error = TransferExactly(pipe, true, request, sizeof request, ioEvent, stopEvent);
        if (error != ERROR_SUCCESS)
            return error;
        if (GetLe32(request) != SAMPLE_REQUEST_VERSION)
            return ERROR_INVALID_DATA;  // nothing else is spoken here: hang up
        std::string reply(8 + m_versionText.size(), '\0');
        unsigned char* bytes = reinterpret_cast<unsigned char*>(&reply[0]);
        PutLe32(bytes, m_version);
        PutLe32(bytes + 4, static_cast<uint32_t>(m_versionText.size()));
        reply.replace(8, m_versionText.size(), m_versionText);
        error = TransferExactly(pipe, false, bytes, static_cast<DWORD>(reply.size()), ioEvent, stopEvent);
        if (error != ERROR_SUCCESS)
            return error;
    }
}
