// The worker-thread object and the application object's WinMain.
#include "engine/ExceptionEx.h"
#include "framework/Handles.h"
#include "framework/WinApp.h"
#include "framework/WinThread.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

using namespace testsupport;

namespace {

std::atomic<int> g_ran{0};

UINT MarkRun(void* parameter)
{
    g_ran = 1;
    return *static_cast<UINT*>(parameter);
}

UINT WaitForever(void* event)
{
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return 0;
}

UINT ThrowRecord(void*)
{
    ThrowExceptionEx(MODULE_PROCESS, 3, 4);
}

UINT ThrowOther(void*)
{
    throw std::runtime_error("thread");
}

}  // namespace

TEST(WinThread, StartsSuspendedRunsOnResumeAndReportsItsExitCode)
{
    g_ran = 0;
    UINT code = 7;
    fw::CWinThread thread(&MarkRun, &code);
    ASSERT_TRUE(thread.CreateThread());
    EXPECT_NE(thread.Handle(), nullptr);
    EXPECT_EQ(thread.Wait(200), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(g_ran.load(), 0);
    DWORD exitCode = 0;
    EXPECT_TRUE(thread.GetExitCode(&exitCode));
    EXPECT_EQ(exitCode, static_cast<DWORD>(STILL_ACTIVE));

    EXPECT_EQ(thread.ResumeThread(), 1u);
    EXPECT_EQ(thread.Wait(5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(g_ran.load(), 1);
    EXPECT_TRUE(thread.GetExitCode(&exitCode));
    EXPECT_EQ(exitCode, 7u);
    // One thread per object.
    EXPECT_FALSE(thread.CreateThread());
}

TEST(WinThread, TerminateEndsAThreadThatWillNotEndWithTheGivenCode)
{
    fw::CKernelHandle never(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    fw::CWinThread thread(&WaitForever, never.get());
    ASSERT_TRUE(thread.CreateThread());
    thread.ResumeThread();
    EXPECT_EQ(thread.Wait(100), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(thread.Terminate(0xFFFFFFFF));
    EXPECT_EQ(thread.Wait(0), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD exitCode = 0;
    EXPECT_TRUE(thread.GetExitCode(&exitCode));
    EXPECT_EQ(exitCode, 0xFFFFFFFFu);
}

TEST(WinThread, ExceptionsStopAtTheThreadsEdge)
{
    for (fw::CWinThread::Procedure procedure : {&ThrowRecord, &ThrowOther}) {
        fw::CWinThread thread(procedure, nullptr);
        ASSERT_TRUE(thread.CreateThread());
        thread.ResumeThread();
        ASSERT_EQ(thread.Wait(5000), static_cast<DWORD>(WAIT_OBJECT_0));
        DWORD exitCode = 0;
        EXPECT_TRUE(thread.GetExitCode(&exitCode));
        EXPECT_EQ(exitCode, fw::CWinThread::EXIT_UNCAUGHT_EXCEPTION);
    }
}

TEST(WinThread, WithoutAThreadNothingWaitsAndANeverResumedThreadIsEnded)
{
    fw::CWinThread idle(&MarkRun, nullptr);
    EXPECT_EQ(idle.Wait(0), static_cast<DWORD>(WAIT_FAILED));
    EXPECT_FALSE(idle.Terminate(1));
    EXPECT_EQ(idle.ResumeThread(), static_cast<DWORD>(-1));

    g_ran = 0;
    HANDLE copy = nullptr;
    {
        UINT code = 1;
        fw::CWinThread thread(&MarkRun, &code);
        ASSERT_TRUE(thread.CreateThread());
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread.Handle(), GetCurrentProcess(), &copy, 0, FALSE,
                                    DUPLICATE_SAME_ACCESS));
    }
    fw::CKernelHandle owned(copy);
    EXPECT_EQ(WaitForSingleObject(owned.get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(g_ran.load(), 0);
}

TEST(WinApp, WinMainReturnsExitInstanceAndCatchesWhatEscapes)
{
    const std::string probe = "\"" + BinPath("framework_app_probe.exe") + "\"";
    ASSERT_TRUE(FileExists(BinPath("framework_app_probe.exe")));
    EXPECT_EQ(RunProcess(probe + " false", 30000), -7);
    EXPECT_EQ(RunProcess(probe + " run", 30000), 5);
    EXPECT_EQ(RunProcess(probe + " throw", 30000), fw::CWinApp::EXIT_UNCAUGHT_EXCEPTION);
    EXPECT_EQ(RunProcess(probe + " throwother", 30000), fw::CWinApp::EXIT_UNCAUGHT_EXCEPTION);
}
