// Failed runs that find more than a clean machine: an installed product whose
// service runs (its program in use), failing early and late; a clean machine
// failing after the driver store and the links were made; a fault in the
// worker. Afterwards the machine is as it was before the failing run.
#include "tests/install/InstallTestSupport.h"
#include "tests/support/EngineSupport.h"
#include "tests/support/MachineSnapshot.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UiAutomation.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace installtest;
using namespace testsupport;

namespace {

const char* const ERROR_BOX_START = "Error during installation.\nError code = 0x";
const char* const FAULT_BOX_START = "Exception during installation!\nException code = 0xc0000005\n";

// The location of an engine site in the product's numbering.
int EngineSite(const TestProduct& product, int serverLocation)
{
    return &product == &Client() ? serverLocation + 1 : serverLocation;
}

// The product as a complete installation leaves it, its service running.
void InstallFirst(const TestProduct& product)
{
    ASSERT_EQ(RunSetup(PackedSetup(product), "-silent -licenseaccept"), 0);
    CheckInstalled(product);
}

std::string WebShortcut(const TestProduct& product)
{
    return StartMenuFolder(product) + "\\" + product.name + " on Web.url";
}

std::string FaultingSetup(const std::string& folder)
{
    SetupRecipe recipe;
    recipe.newer = true;
    recipe.stub = BinPath("velloran_setup_faulting.exe");
    return MakeSetup(Server(), recipe, folder);
}

// Sets an environment variable for the setups this test starts.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : m_name(name) { SetEnvironmentVariableA(name, value); }
    ~ScopedEnvironment() { SetEnvironmentVariableA(m_name, nullptr); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* m_name;
};

class Upgrade : public ::testing::TestWithParam<bool> {
protected:
    const TestProduct& product() const { return GetParam() ? Server() : Client(); }
};

std::string ProductName(const ::testing::TestParamInfo<bool>& info)
{
    return info.param ? "Server" : "Client";
}

}  // namespace

// The newer package lacks the bus driver's catalogue: the run fails in the
// drivers step, after it replaced program files, reconfigured the kernel
// drivers and found the running service's program in use.
TEST_P(Upgrade, EarlyFailureLeavesTheRunningProductAsItWas)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = product();
    InstallFirst(p);
    const std::string folder = MakeTempDir("upgrade");
    SetupRecipe recipe;
    recipe.newer = true;
    recipe.missing = {GetParam() ? "nexbus.cat" : "nexbuslt.cat"};
    const std::string setup = MakeSetup(p, recipe, folder);

    const CMachineSnapshot before = CMachineSnapshot::Take(InstallScope(p));
    CheckFailedRun(p, setup, ERROR_BOX_START, Arg0Text(0x1000, GetParam() ? 613 : 618), before);
    RemoveTree(folder);
}

// The web shortcut cannot be written (held open by another program): the run
// fails after the driver update, the service and every link were made.
TEST_P(Upgrade, LateFailureBringsThePreviousLinksAndDriverBack)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = product();
    InstallFirst(p);
    const std::string folder = MakeTempDir("upgrade");
    SetupRecipe recipe;
    recipe.newer = true;
    const std::string setup = MakeSetup(p, recipe, folder);

    const CMachineSnapshot before = CMachineSnapshot::Take(InstallScope(p));
    FileHolder holder(WebShortcut(p), 0);
    ASSERT_TRUE(holder.holding());
    // Released before the machine is read: held, the link reads as empty.
    CheckFailedRun(p, setup, ERROR_BOX_START, Arg0Text(19, EngineSite(p, 420)), before, [&] { holder.Release(); });
    RemoveTree(folder);
}

INSTANTIATE_TEST_SUITE_P(Products, Upgrade, ::testing::Values(true, false), ProductName);

// A clean machine failing at the web shortcut (a folder stands in its
// place): the driver store's package, the bus service and the devices the
// run made all go again.
TEST(CleanMachine, LateFailureLeavesNoDriverPackageOrBusService)
{
    ASSERT_TRUE(HaveDisplay());
    for (const bool server : {true, false}) {
        const TestProduct& p = server ? Server() : Client();
        SCOPED_TRACE(p.name);
        const std::string startMenu = StartMenuFolder(p);
        ASSERT_TRUE(CreateDirectoryA(startMenu.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA(WebShortcut(p).c_str(), nullptr));
        const CMachineSnapshot before = CMachineSnapshot::Take(InstallScope(p));
        CheckFailedRun(p, PackedSetup(p), ERROR_BOX_START, Arg0Text(19, EngineSite(p, 420)), before);
        RemoveTree(startMenu);
    }
}

// A processor fault late in the plan, over an installed product: the same
// rollback as a thrown failure, under the exception's message.
TEST(WorkerFault, LateInThePlanRollsBackLikeAFailure)
{
    ASSERT_TRUE(HaveDisplay());
    InstallFirst(Server());
    const std::string folder = MakeTempDir("faulting");
    const std::string setup = FaultingSetup(folder);
    const ScopedEnvironment fault("VELLORAN_FAULT_AT", "plan-end");
    const CMachineSnapshot before = CMachineSnapshot::Take(InstallScope(Server()));
    CheckFailedRun(Server(), setup, FAULT_BOX_START, "", before);
    RemoveTree(folder);
}

// A second fault, inside the rollback: it stops there, and every backup stays
// on disk, named in the log with the file it holds the old bytes of.
TEST(WorkerFault, ASecondFaultInTheRollbackKeepsTheBackups)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = Server();
    InstallFirst(p);
    const std::string folder = MakeTempDir("faulting");
    const std::string setup = FaultingSetup(folder);
    const std::string program = InstallFolder(p) + "\\velloran.exe";
    const std::string oldProgram = ReadFileBytes(program);
    const ScopedEnvironment fault("VELLORAN_FAULT_AT", "plan-end rollback");

    CMessageBoxWatcher watcher(p.name, IDOK);
    RunSetup(setup, "-silent -licenseaccept", 90000);
    watcher.Stop();
    EXPECT_EQ(watcher.Texts().size(), 1u);

    const std::vector<std::string> lines = ReadLines(TempLog(p));
    EXPECT_EQ(MissingInOrder(lines, {"=== Rollback process ===",
                                     "Warning: === Rollback not completed, backup files kept ==="}),
              "");
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
        if (line.rfind("Backup File Kept: ", 0) == 0)
            kept.push_back(line);
    }
    EXPECT_GE(kept.size(), 8u);
    const auto programLine = std::find_if(kept.begin(), kept.end(), [&](const std::string& line) {
        return line.size() > program.size() + 2 && line.compare(line.size() - program.size() - 1, program.size(), program) == 0;
    });
    ASSERT_NE(programLine, kept.end());
    const std::string prefix = "Backup File Kept: ";
    const std::string backup = programLine->substr(prefix.size(), programLine->size() - prefix.size() - program.size() - 3);
    EXPECT_EQ(ReadFileBytes(backup), oldProgram) << backup;
    RemoveTree(folder);
}
