// A worker thread that is created suspended and started with ResumeThread,
// so that its owner can store the object before the thread runs. The object
// owns the thread's handle and never deletes itself; deleting it does not
// stop a running thread (the procedure never touches the object). Every C++
// exception the procedure lets out is caught at the thread's edge.
#pragma once

#include "framework/Handles.h"

#include <memory>

namespace fw {

class CWinThread {
public:
    using Procedure = UINT (*)(void* parameter);

    // The exit code of a thread whose procedure let an exception out.
    static constexpr DWORD EXIT_UNCAUGHT_EXCEPTION = 0xFFFFFFFE;

    CWinThread(Procedure procedure, void* parameter) noexcept;
    // Closes the handle. A thread that was created but never resumed is
    // terminated first, since nothing could start it any more.
    virtual ~CWinThread();

    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;

    // A thread created and started at once; null when it cannot be, with
    // the system's error in *error.
    static std::unique_ptr<CWinThread> Start(Procedure procedure, void* parameter, DWORD* error);

    // Creates the thread suspended with the given priority and stack size
    // (0: the default). False when the thread already exists or cannot be
    // created; the system's error is then in GetLastError().
    bool CreateThread(int priority = THREAD_PRIORITY_NORMAL, SIZE_T stackSize = 0);
    // Returns the previous suspend count, or (DWORD)-1 on failure.
    DWORD ResumeThread();
    // WaitForSingleObject on the thread: WAIT_OBJECT_0 once it has ended,
    // WAIT_TIMEOUT, or WAIT_FAILED without a thread.
    DWORD Wait(DWORD milliseconds) const;
    // Waits for the thread to end while this thread's windows go on
    // getting their messages (a worker may wait on a box they own). A quit
    // message is posted again for the caller's own loop.
    void JoinPumpingMessages() const;
    // TerminateThread, then waits for the thread to be gone; as harsh as it
    // sounds, for a thread that would not end by itself.
    bool Terminate(DWORD exitCode);
    // The exit code, or STILL_ACTIVE while the thread runs; false without a
    // thread.
    bool GetExitCode(DWORD* code) const;

    HANDLE Handle() const noexcept { return m_thread.get(); }
    DWORD ThreadId() const noexcept { return m_threadId; }

private:
    struct StartBlock;
    static DWORD WINAPI ThreadStart(void* block);

    Procedure m_procedure;
    void* m_parameter;
    CKernelHandle m_thread;
    DWORD m_threadId = 0;
    // Owned here until the thread has been resumed, then by the thread.
    StartBlock* m_startBlock = nullptr;
};

}  // namespace fw
