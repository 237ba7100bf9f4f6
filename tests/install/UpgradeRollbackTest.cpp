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

std::string WebShortcut(const TestProduct& product)
{
    return StartMenuFolder(product) + "\\" + product.name + " on Web.url";
}

// Installs the product as a complete installation leaves it, its service
// running, and writes a later build's setup of the recipe into a folder of
// its own (the prefix is thrown away with it); returns the setup's path.
std::string PrepareUpgrade(const TestProduct& product, SetupRecipe recipe)
{
    EXPECT_EQ(RunSetup(PackedSetup(product), "-silent -licenseaccept"), 0);
    CheckInstalled(product);
    recipe.newer = true;
    return MakeSetup(product, recipe, MakeTempDir("upgrade"));
}

// The server setup whose plan faults where VELLORAN_FAULT_AT says.
SetupRecipe Faulting()
{
    SetupRecipe recipe;
    recipe.stub = BinPath("velloran_setup_faulting.exe");
    return recipe;
}

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
    SetupRecipe recipe;
    recipe.missing = {GetParam() ? "nexbus.cat" : "nexbuslt.cat"};
    const std::string setup = PrepareUpgrade(p, recipe);
    const CMachineSnapshot before = CMachineSnapshot::Take(InstallScope(p));
    CheckFailedRun(p, setup, ERROR_BOX_START, Arg0Text(0x1000, GetParam() ? 613 : 618), before);

    // The in-use path was taken: the running service's program got its
    // replacement at the restart, which the rollback then called off.
    const std::vector<std::string> lines = ReadLines(TempLog(p));
    const std::string program = SystemDir() + "\\" + p.serviceProgram;
    const std::string replacement = "RemoveInstallFiles: " + program + "_";
    EXPECT_EQ(MissingInOrder(lines, {"Install File: " + program,
                                     "Warning: === Reboot required to complete operation ===",
                                     "=== Rollback process ==="}),
              "");
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.rfind(replacement, 0) == 0 && line.size() > 4 && line.compare(line.size() - 4, 4, ".tmp") == 0;
    })) << "no temporary replacement of " << program;
}

// The web shortcut cannot be written (held open by another program): the run
// fails after the driver update, the service and every link were made.
TEST_P(Upgrade, LateFailureBringsThePreviousLinksAndDriverBack)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = product();
    const std::string setup = PrepareUpgrade(p, SetupRecipe());
    const CMachineSnapshot before = CMachineSnapshot::Take(InstallScope(p));
    FileHolder holder(WebShortcut(p), 0);
    ASSERT_TRUE(holder.holding());
    // Released before the machine is read: held, the link reads as empty.
    CheckFailedRun(p, setup, ERROR_BOX_START, Arg0Text(19, EngineSite(p, 420)), before, [&] { holder.Release(); });
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
    const std::string setup = PrepareUpgrade(Server(), Faulting());
    const ScopedEnvironment fault("VELLORAN_FAULT_AT", "plan-end");
    const CMachineSnapshot before = CMachineSnapshot::Take(InstallScope(Server()));
    CheckFailedRun(Server(), setup, FAULT_BOX_START, "", before);
}

// A second fault, inside the rollback: it stops there, and every backup stays
// on disk, named in the log with the file it holds the old bytes of.
TEST(WorkerFault, ASecondFaultInTheRollbackKeepsTheBackups)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = Server();
    const std::string setup = PrepareUpgrade(p, Faulting());
    const std::string program = InstallFolder(p) + "\\velloran.exe";
    const std::string oldProgram = ReadFileBytes(program);
    const ScopedEnvironment fault("VELLORAN_FAULT_AT", "plan-end rollback");

    CMessageBoxWatcher watcher(p.name, IDOK);
    EXPECT_EQ(RunSetup(setup, "-silent -licenseaccept", 90000), -10);
    watcher.Stop();
    EXPECT_TRUE(watcher.Texts().empty());

    const std::vector<std::string> lines = ReadLines(TempLog(p));
    EXPECT_EQ(MissingInOrder(lines, {"=== Rollback process ===",
                                     "Warning: === Rollback not completed, backup files kept ==="}),
              "");
    // "Backup File Kept: <backup> (<target>)", one line a backup.
    const std::string head = "Backup File Kept: ";
    const std::string tail = " (" + program + ")";
    std::vector<std::string> kept;
    std::string programBackup;
    for (const std::string& line : lines) {
        if (line.rfind(head, 0) != 0)
            continue;
        kept.push_back(line);
        if (line.size() > head.size() + tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
            programBackup = line.substr(head.size(), line.size() - head.size() - tail.size());
    }
    EXPECT_GE(kept.size(), 8u);
    ASSERT_FALSE(programBackup.empty()) << ::testing::PrintToString(kept);
    EXPECT_EQ(ReadFileBytes(programBackup), oldProgram) << programBackup;

    // The run's own replacement of the running service's program was called
    // off before the backups were kept: nothing of it lands at the restart,
    // over a half-restored machine or a backup the user copied back.
    const std::string service = "\\??\\" + SystemDir() + "\\" + p.serviceProgram;
    for (const auto& rename : PendingRenames())
        EXPECT_NE(rename.second, "!" + service) << rename.first;
    EXPECT_EQ(MissingInOrder(lines, {"Install File: " + SystemDir() + "\\" + p.serviceProgram,
                                     "Warning: === Reboot required to complete operation ==="}),
              "")
        << "the replacement was never scheduled";
}
