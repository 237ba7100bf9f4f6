#include "app/InstallApp.h"
#include "process/FaultGuard.h"
#include "tests/support/UiAutomation.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

using namespace testsupport;

namespace {

volatile int* volatile g_nowhere = nullptr;
volatile int g_zero = 0;

void Touch(void*)
{
    *g_nowhere = 1;
}

void Divide(void* result)
{
    *static_cast<int*>(result) = 7 / g_zero;
}

void Allocate(void*)
{
    throw std::bad_alloc();
}

void ThrowRecord(void*)
{
    throw new CExceptionEx(MODULE_PROCESS, 1, 2);
}

void Fine(void* ran)
{
    *static_cast<bool*>(ran) = true;
}

void GuardInsideGuard(void* innerResult)
{
    FaultInfo inner;
    *static_cast<bool*>(innerResult) = RunGuarded(&Touch, nullptr, &inner);
    Touch(nullptr);  // the outer guard catches this one
}

}  // namespace

TEST(FaultGuard, CatchesProcessorExceptionsWithCodeAndAddress)
{
    FaultInfo fault;
    EXPECT_FALSE(RunGuarded(&Touch, nullptr, &fault));
    EXPECT_EQ(fault.code, static_cast<uint32_t>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_NE(fault.address, 0u);

    int result = 0;
    EXPECT_FALSE(RunGuarded(&Divide, &result, &fault));
    EXPECT_EQ(fault.code, static_cast<uint32_t>(EXCEPTION_INT_DIVIDE_BY_ZERO));

    // The guard stays usable, and a body that returns is told apart.
    bool ran = false;
    EXPECT_TRUE(RunGuarded(&Fine, &ran, &fault));
    EXPECT_TRUE(ran);
}

TEST(FaultGuard, CatchesStrayCppExceptions)
{
    FaultInfo fault;
    EXPECT_FALSE(RunGuarded(&Allocate, nullptr, &fault));
    EXPECT_NE(fault.code, 0u);  // the platform's code for a C++ exception
    EXPECT_FALSE(RunGuarded(&ThrowRecord, nullptr, &fault));
}

TEST(FaultGuard, NestedGuardsEachCatchTheirOwn)
{
    bool innerReturned = true;
    FaultInfo fault;
    EXPECT_FALSE(RunGuarded(&GuardInsideGuard, &innerReturned, &fault));
    EXPECT_FALSE(innerReturned);
    EXPECT_EQ(fault.code, static_cast<uint32_t>(EXCEPTION_ACCESS_VIOLATION));
}

TEST(InstallWorker, AFaultEndsTheWorkerWithItsMessageAndNoRollback)
{
    ASSERT_TRUE(HaveDisplay());
    // An application without an install process: the worker's body faults
    // on its first step.
    CInstallApp app;
    ProgressValues values;
    app.progress.links = ProgressLinks::To(values);
    CMessageBoxWatcher watcher("Velloran", IDOK);
    EXPECT_EQ(CInstallApp::InstallWorkerMain(&app), 0u);
    watcher.Stop();

    EXPECT_EQ(app.installFailed, 1);
    // The worker's final word after a failure.
    EXPECT_EQ(values.finished.load(), 1);
    EXPECT_EQ(values.displayed.load(), 120);
    const std::vector<std::string> boxes = watcher.Texts();
    ASSERT_EQ(boxes.size(), 1u);
    const std::string expected = "Exception during installation!\nException code = 0xc0000005\nException address = 0x";
    EXPECT_EQ(boxes[0].substr(0, expected.size()), expected) << boxes[0];
    EXPECT_EQ(boxes[0].size(), expected.size() + 8) << boxes[0];
}
