#include "app/UserIface.h"

namespace {

// Each wait for a free instance lasts this long.
constexpr DWORD PIPE_WAIT_MS = 1000;

// Every instance is taken: the open says 231, a wait that ran out says 121.
bool PipeBusy(DWORD error)
{
    return error == ERROR_PIPE_BUSY || error == ERROR_SEM_TIMEOUT;
}

DWORD ElapsedSince(DWORD start)
{
    return GetTickCount() - start;
}

}  // namespace

CUserIface::~CUserIface() = default;

bool CUserIface::Connect(const char* pipeName)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (WaitNamedPipeA(pipeName, PIPE_WAIT_MS)) {
            // Overlapped, so that every read and write can be given up. Any
            // local user can create a pipe of this name before the product
            // does: its server may learn who the elevated setup is, but never
            // act as it.
            HANDLE pipe = CreateFileA(pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                      nullptr);
            if (pipe != INVALID_HANDLE_VALUE) {
                m_pipe.reset(pipe);
                return true;
            }
        }
        if (!PipeBusy(GetLastError()) || ElapsedSince(start) >= CONNECT_LIMIT_MS)
            return false;
    }
}

bool CUserIface::Write(const void* data, DWORD count)
{
    return Transfer(false, static_cast<unsigned char*>(const_cast<void*>(data)), count);
}

bool CUserIface::Read(void* buffer, DWORD count)
{
    return Transfer(true, static_cast<unsigned char*>(buffer), count);
}

bool CUserIface::Transfer(bool reading, unsigned char* bytes, DWORD count)
{
    if (!m_pipe)
        return false;
    fw::CKernelHandle ioEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!ioEvent)
        return false;
    const DWORD start = GetTickCount();
    DWORD done = 0;
    while (done < count) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = ioEvent.get();
        const BOOL started = reading ? ReadFile(m_pipe.get(), bytes + done, count - done, nullptr, &overlapped)
                                     : WriteFile(m_pipe.get(), bytes + done, count - done, nullptr, &overlapped);
        if (!started && GetLastError() != ERROR_IO_PENDING)
            return false;
        const DWORD elapsed = ElapsedSince(start);
        const DWORD remaining = elapsed < IO_TIMEOUT_MS ? IO_TIMEOUT_MS - elapsed : 0;
        DWORD moved = 0;
        if (WaitForSingleObject(ioEvent.get(), remaining) != WAIT_OBJECT_0) {
            // The operation must be over before its OVERLAPPED goes.
            CancelIo(m_pipe.get());
            GetOverlappedResult(m_pipe.get(), &overlapped, &moved, TRUE);
            return false;
        }
        if (!GetOverlappedResult(m_pipe.get(), &overlapped, &moved, FALSE) || moved == 0)
            return false;
        done += moved;
    }
    return true;
}
