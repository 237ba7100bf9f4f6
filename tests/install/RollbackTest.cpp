// A failed silent install: the error box names the failing site, the log
// tells the rollback, and afterwards the machine is as it was before the run.
// Each case takes a package that lacks one entry (or a machine that makes
// the engine fail) and runs the real setup.
#include "tests/install/InstallTestSupport.h"
#include "tests/support/MachineSnapshot.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UiAutomation.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace installtest;
using namespace testsupport;

namespace {

const char* const ERROR_BOX_START = "Error during installation.\nError code = 0x";

struct Case {
    bool server;
    std::string missingEntry;  // empty: the case prepares the machine instead
    int module;
    int location;
};

std::ostream& operator<<(std::ostream& out, const Case& c)
{
    return out << (c.server ? "server " : "client ") << c.missingEntry << " -> " << c.location;
}

class MissingEntry : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(MissingEntry, FailsAtItsSiteAndRollsBack)
{
    ASSERT_TRUE(HaveDisplay());
    const Case& c = GetParam();
    const TestProduct& product = c.server ? Server() : Client();
    const std::string folder = MakeTempDir("missing");
    // The test build of the setup, its pacing pauses taken out: each case is
    // about its site and its rollback, not the pauses between the stages.
    SetupRecipe recipe;
    recipe.missing = {c.missingEntry};
    recipe.stub = BinPath(c.server ? "velloran_setup_faulting.exe" : "velloran_client_setup_faulting.exe");
    const std::string setup = MakeSetup(product, recipe, folder);
    const ScopedEnvironment unpaced("VELLORAN_PAUSE_PERCENT", "0");
    const CMachineSnapshot before = CMachineSnapshot::Take(InstallScope(product));
    CheckFailedRun(product, setup, ERROR_BOX_START, Arg0Text(c.module, c.location), before);
    RemoveTree(folder);
}

// Every site a package can provoke. The bus driver's .sys is looked up in the
// system-files step first, so its absence fails there (380), never in the
// drivers step.
INSTANTIATE_TEST_SUITE_P(Server, MissingEntry,
                         ::testing::Values(Case{true, "velloransrv.exe", 0x1000, 306},
                                           Case{true, "nexpnp.sys", 0x1000, 366},
                                           Case{true, "nexstb.sys", 0x1000, 371},
                                           Case{true, "nexbus.sys", 0x1000, 380},
                                           Case{true, "velloran.exe", 0x1000, 494},
                                           Case{true, "velloransh.exe", 0x1000, 501},
                                           Case{true, "license.txt", 0x1000, 519},
                                           Case{true, "readme.txt", 0x1000, 524},
                                           Case{true, "velloran-help.chm", 0x1000, 529},
                                           Case{true, "uninstall.exe", 0x1000, 534},
                                           Case{true, "nexbus.inf", 0x1000, 608},
                                           Case{true, "nexbus.cat", 0x1000, 613}));

INSTANTIATE_TEST_SUITE_P(Client, MissingEntry,
                         ::testing::Values(Case{false, "velloransrvlt.exe", 0x1000, 306},
                                           Case{false, "nexbuslt.sys", 0x1000, 380},
                                           Case{false, "velloranlt.exe", 0x1000, 494},
                                           Case{false, "velloranltsh.exe", 0x1000, 501},
                                           Case{false, "license.txt", 0x1000, 519},
                                           Case{false, "readme.txt", 0x1000, 524},
                                           Case{false, "velloran-client-help.chm", 0x1000, 529},
                                           Case{false, "uninstall.exe", 0x1000, 534},
                                           Case{false, "nexbuslt.inf", 0x1000, 613},
                                           Case{false, "nexbuslt.cat", 0x1000, 618}));

TEST(EngineFailure, AFailingBackupRollsBackTheKernelDriversAndFiles)
{
    // A folder where the user program should go: the engine finds the target,
    // cannot copy it to a backup and throws its own record (module 19).
    ASSERT_TRUE(HaveDisplay());
    for (const bool server : {true, false}) {
        const TestProduct& product = server ? Server() : Client();
        const std::string install = InstallFolder(product);
        ASSERT_TRUE(CreateDirectoryA(install.c_str(), nullptr));
        const std::string blocker = install + "\\" + (server ? "velloran.exe" : "velloranlt.exe");
        ASSERT_TRUE(CreateDirectoryA(blocker.c_str(), nullptr));
        const CMachineSnapshot before = CMachineSnapshot::Take(InstallScope(product));
        CheckFailedRun(product, PackedSetup(product), ERROR_BOX_START, Arg0Text(19, server ? 420 : 421), before);
        RemoveTree(install);
    }
}
