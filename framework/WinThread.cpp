#include "framework/WinThread.h"

#include "engine/ExceptionEx.h"

#include <memory>

namespace fw {

struct CWinThread::StartBlock {
    Procedure procedure;
    void* parameter;
};

CWinThread::CWinThread(Procedure procedure, void* parameter) noexcept
    : m_procedure(procedure), m_parameter(parameter)
{
}

CWinThread::~CWinThread()
{
    if (m_startBlock != nullptr && m_thread) {
        ::TerminateThread(m_thread.get(), 0);
        ::WaitForSingleObject(m_thread.get(), INFINITE);
    }
    delete m_startBlock;
}

bool CWinThread::CreateThread(int priority, SIZE_T stackSize)
{
    if (m_thread) {
        ::SetLastError(ERROR_ALREADY_EXISTS);
        return false;
    }
    std::unique_ptr<StartBlock> block(new (std::nothrow) StartBlock{m_procedure, m_parameter});
    if (!block) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    DWORD threadId = 0;
    HANDLE thread = ::CreateThread(nullptr, stackSize, &CWinThread::ThreadStart, block.get(), CREATE_SUSPENDED,
                                   &threadId);
    if (thread == nullptr)
        return false;
    m_thread.reset(thread);
    m_threadId = threadId;
    m_startBlock = block.release();
    ::SetThreadPriority(thread, priority);
    return true;
}

DWORD CWinThread::ResumeThread()
{
    if (!m_thread)
        return static_cast<DWORD>(-1);
    const DWORD previous = ::ResumeThread(m_thread.get());
    if (previous == 1) {
        // Running now: the block belongs to the thread.
        m_startBlock = nullptr;
    }
    return previous;
}

std::unique_ptr<CWinThread> CWinThread::Start(Procedure procedure, void* parameter, DWORD* error)
{
    std::unique_ptr<CWinThread> thread(new (std::nothrow) CWinThread(procedure, parameter));
    *error = ERROR_NOT_ENOUGH_MEMORY;
    if (!thread)
        return nullptr;
    if (!thread->CreateThread(THREAD_PRIORITY_NORMAL, 0) || thread->ResumeThread() == static_cast<DWORD>(-1)) {
        // Never started: the object ends it on deletion.
        *error = ::GetLastError();
        return nullptr;
    }
    return thread;
}

void CWinThread::JoinPumpingMessages() const
{
    if (!m_thread)
        return;
    const HANDLE thread = m_thread.get();
    for (;;) {
        const DWORD woken = ::MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT);
        if (woken != WAIT_OBJECT_0 + 1)
            return;  // the thread ended (or the wait itself failed)
        MSG message;
        while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                ::PostQuitMessage(static_cast<int>(message.wParam));
                break;
            }
            ::TranslateMessage(&message);
            ::DispatchMessageA(&message);
        }
    }
}

DWORD CWinThread::Wait(DWORD milliseconds) const
{
    if (!m_thread)
        return WAIT_FAILED;
    return ::WaitForSingleObject(m_thread.get(), milliseconds);
}

bool CWinThread::Terminate(DWORD exitCode)
{
    if (!m_thread)
        return false;
    if (!::TerminateThread(m_thread.get(), exitCode))
        return false;
    // TerminateThread only asks; the handle is signalled once it is done.
    ::WaitForSingleObject(m_thread.get(), INFINITE);
    return true;
}

bool CWinThread::GetExitCode(DWORD* code) const
{
    if (!m_thread)
        return false;
    return ::GetExitCodeThread(m_thread.get(), code) != FALSE;
}

DWORD WINAPI CWinThread::ThreadStart(void* block)
{
    const std::unique_ptr<StartBlock> start(static_cast<StartBlock*>(block));
    try {
        return start->procedure(start->parameter);
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> owned(e);
    } catch (...) {
    }
    ::OutputDebugStringA("thread: the procedure let an exception out\n");
    return EXIT_UNCAUGHT_EXCEPTION;
}

}  // namespace fw
