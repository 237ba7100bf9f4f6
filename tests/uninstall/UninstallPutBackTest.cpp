// An uninstall that does not finish leaves the product installed. The
// uninstallers' test builds (CallInjector.h, the uninstall's test points)
// fault at each point of the uninstall, or end themselves after the Nth
// change taken from a trace of the same uninstall on the same machine; the
// faulted run puts the product back itself, the killed one is put back by
// the next run of the setup or of the uninstaller before it does its own work.
#include "tests/install/InstallTestSupport.h"
#include "tests/support/MachineSnapshot.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UiAutomation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using namespace installtest;
using namespace testsupport;

namespace {

const char* const INSTALL = "-silent -licenseaccept";
const char* const UNINSTALL = "-silent";
// What a test build ends with when it ends itself (CallInjector).
constexpr long KILLED = 0xDEAD;
constexpr long EXIT_FAILED = -10;

const std::string RECOVERY = "=== Undoing an interrupted run ===";
const std::string RECOVERY_END = "=== Interrupted run undone ===";
const std::string PUT_BACK = "=== Putting the installation back ===";
const std::string EXCEPTION = "Exception during uninstallation!";

using Differences = std::vector<std::string>;

Differences ChangedSince(const CMachineSnapshot& before, const MachineScope& scope)
{
    return before.DifferencesTo(CMachineSnapshot::Take(scope));
}

std::string FaultingUninstaller(const TestProduct& product)
{
    return BinPath(&product == &Client() ? "velloran_client_uninstall_faulting.exe"
                                         : "velloran_uninstall_faulting.exe");
}

long RunFaultingUninstaller(const TestProduct& product)
{
    return RunProcess("\"" + FaultingUninstaller(product) + "\" " + UNINSTALL);
}

std::string TracePath(const std::string& name)
{
    const std::string path = TempDir() + "\\" + name + ".trace";
    DeleteFileA(path.c_str());
    return path;
}

// The number of the change that `call` is (counted as VELLORAN_KILL_CHANGE
// counts them); 0 when the trace holds no such change.
long ChangeNumber(const std::vector<TracedCall>& trace, const TracedCall* call)
{
    long changes = 0;
    for (const TracedCall& traced : trace) {
        changes += traced.change ? 1 : 0;
        if (&traced == call)
            return traced.change ? changes : 0;
    }
    return 0;
}

// The calls of the trace named `name` that change the machine, in order.
std::vector<const TracedCall*> Changes(const std::vector<TracedCall>& trace, const std::string& name)
{
    std::vector<const TracedCall*> found;
    for (const TracedCall& call : trace) {
        if (call.change && call.name == name)
            found.push_back(&call);
    }
    return found;
}

bool HasLinePrefix(const std::vector<std::string>& lines, const std::string& start)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.rfind(start, 0) == 0; });
}

// The product's uninstall faults at each point in turn: each run ends with
// -10 through the program that was started, its log holds the exception and
// the way back, and the product is back as it was installed, its service
// running again, nothing left for the restart, nothing of the uninstaller left.
void FaultsPutTheProductBack(const TestProduct& p, const std::vector<std::string>& points)
{
    ASSERT_EQ(RunSetup(PackedSetup(p), INSTALL), 0);
    const MachineScope scope = PutBackScope(p);
    const CMachineSnapshot installed = CMachineSnapshot::Take(scope);
    ASSERT_EQ(installed.items.count("service " + p.serviceName), 1u);
    ASSERT_EQ(installed.items.at("service " + p.serviceName), "running");
    for (const std::string& point : points) {
        SCOPED_TRACE("a fault at " + point);
        const ScopedEnvironment fault("VELLORAN_FAULT_AT", point.c_str());
        EXPECT_EQ(RunFaultingUninstaller(p), EXIT_FAILED);
        const std::vector<std::string> lines = ReadLines(UninstallLog(p));
        EXPECT_TRUE(HasLinePrefix(lines, EXCEPTION)) << ::testing::PrintToString(lines);
        EXPECT_EQ(MissingInOrder(lines, {p.name + " uninstall...", PUT_BACK}), "") << ::testing::PrintToString(lines);
        const Differences differences = ChangedSince(installed, scope);
        EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
        EXPECT_TRUE(UninstallerFolders(p).empty());
    }
    // The product works as installed (the failed runs' log aside).
    DeleteFileA(UninstallLog(p).c_str());
    CheckInstalled(p);
}

// Where a kill lands in the uninstall: the change after which the copy ends
// itself, and the line its log ends with then.
struct KillPoint {
    long change = 0;
    std::string lastLine;
};

// The uninstall once, traced, failing just before its commit, on the machine
// the kill will find: the plan's changes come first in the trace, then the
// way back. `pick` chooses the change from the trace.
KillPoint TraceKillPoint(const TestProduct& p, const MachineScope& scope,
                         const std::function<KillPoint(const std::vector<TracedCall>&)>& pick)
{
    const CMachineSnapshot installed = CMachineSnapshot::Take(scope);
    const std::string tracePath = TracePath("uninstall");
    {
        const ScopedEnvironment traced("VELLORAN_CALL_TRACE", tracePath.c_str());
        const ScopedEnvironment fail("VELLORAN_FAIL_AT", "commit");
        EXPECT_EQ(RunFaultingUninstaller(p), EXIT_FAILED);
    }
    const Differences differences = ChangedSince(installed, scope);
    EXPECT_TRUE(differences.empty()) << "the traced run: " << ::testing::PrintToString(differences);
    return pick(ReadTrace(tracePath));
}

// The copy ends itself at the point; its log shows where; the product is not
// as installed any more, and nothing of the uninstaller is left.
void KillAt(const TestProduct& p, const MachineScope& scope, const KillPoint& point)
{
    ASSERT_GT(point.change, 0);
    const CMachineSnapshot installed = CMachineSnapshot::Take(scope);
    const std::string number = std::to_string(point.change);
    const ScopedEnvironment kill("VELLORAN_KILL_CHANGE", number.c_str());
    ASSERT_EQ(RunFaultingUninstaller(p), KILLED);
    const std::vector<std::string> lines = ReadLines(UninstallLog(p));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind(point.lastLine, 0), 0u) << "killed elsewhere: " << lines.back();
    EXPECT_FALSE(ChangedSince(installed, scope).empty()) << "the kill left nothing to undo";
    EXPECT_TRUE(UninstallerFolders(p).empty());
}

}  // namespace

TEST(UninstallFault, ServerIsPutBackAfterAFaultAtEachPoint)
{
    ASSERT_TRUE(HaveDisplay());
    FaultsPutTheProductBack(Server(), {"services-stopped", "services-removed", "files-removed", "commit"});
}

TEST(UninstallFault, ClientIsPutBackAfterAFaultAtEachPoint)
{
    ASSERT_TRUE(HaveDisplay());
    FaultsPutTheProductBack(Client(), {"services-stopped", "services-removed", "files-removed", "commit"});
}

// The uninstall ended at once after a change: in the middle of its file
// removals, then a setup that fails; after a device went, then the same
// build installed again; after the product service went, then the
// uninstaller. Each of them undoes the killed uninstall first: the failed
// setup leaves the product as installed, the reinstall leaves a complete
// installation, and the uninstaller that then goes on leaves the machine as
// it was before the installation. Ended right after its commit, the
// uninstall leaves its copies to the next run, which deletes them first.
TEST(UninstallKilled, TheNextRunPutsTheProductBackFirst)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = Server();
    const MachineScope everything = InstallScope(p);
    const CMachineSnapshot clean = CMachineSnapshot::Take(everything);
    ASSERT_EQ(RunSetup(PackedSetup(p), INSTALL), 0);
    const MachineScope scope = PutBackScope(p);
    const ScopedEnvironment unpaced("VELLORAN_PAUSE_PERCENT", "0");

    {
        SCOPED_TRACE("killed amid the files, then a setup that fails");
        const CMachineSnapshot installed = CMachineSnapshot::Take(scope);
        // The plan moves each file into the backup, the way back moves it
        // home: the first half of the moves are the plan's.
        const KillPoint point = TraceKillPoint(p, scope, [](const std::vector<TracedCall>& trace) {
            const std::vector<const TracedCall*> moves = Changes(trace, "MoveFileExA");
            return KillPoint{moves.size() < 8 ? 0 : ChangeNumber(trace, moves[moves.size() / 4]), "Remove File: "};
        });
        KillAt(p, scope, point);
        SetupRecipe broken;
        broken.missing = {"nexbus.cat"};
        broken.stub = BinPath(p.setup + "_faulting.exe");
        EXPECT_EQ(RunSetup(MakeSetup(p, broken, MakeTempDir("failing")), INSTALL), EXIT_FAILED);
        const std::vector<std::string> lines = ReadLines(TempLog(p));
        EXPECT_EQ(MissingInOrder(lines, {RECOVERY, PUT_BACK, RECOVERY_END, p.name + " installation...",
                                         "=== Rollback process ==="}),
                  "")
            << ::testing::PrintToString(lines);
        const Differences differences = ChangedSince(installed, scope);
        EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
    }
    {
        SCOPED_TRACE("killed after a device went, then the same build installed again");
        // Not running, so that the reinstall replaces its program at once and
        // its log is that of a plain installation, the recovery's lines first.
        ASSERT_TRUE(StopService(p.serviceName));
        const KillPoint point = TraceKillPoint(p, scope, [&](const std::vector<TracedCall>& trace) {
            const std::vector<const TracedCall*> removals = Changes(trace, "SetupDiCallClassInstaller");
            return KillPoint{removals.empty() ? 0 : ChangeNumber(trace, removals.front()), "Remove Device: "};
        });
        KillAt(p, scope, point);
        EXPECT_EQ(RunSetup(PackedSetup(p), INSTALL), 0);
        const std::vector<std::string> lines = ReadLines(InstallFolder(p) + "\\" + p.logFile);
        EXPECT_EQ(MissingInOrder(lines, {RECOVERY, PUT_BACK, RECOVERY_END, p.name + " installation..."}), "")
            << ::testing::PrintToString(lines);
        CheckInstalled(p);
    }
    {
        SCOPED_TRACE("killed after the product service went, then the uninstaller");
        const KillPoint point = TraceKillPoint(p, scope, [&](const std::vector<TracedCall>& trace) {
            const std::vector<const TracedCall*> removals = Changes(trace, "DeleteService");
            return KillPoint{removals.empty() ? 0 : ChangeNumber(trace, removals.front()),
                             "Uninstall Service: " + p.serviceName};
        });
        KillAt(p, scope, point);
        EXPECT_EQ(RunProcess(UninstallValue(p, "QuietUninstallString")), 0);
        ASSERT_TRUE(CarryOutPendingRenames());
        const Differences differences = ChangedSince(clean, everything);
        EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
    }
    {
        SCOPED_TRACE("killed right after its commit, then the setup and the uninstaller");
        // The commit is the uninstall's last journal record, and so its last flush.
        ASSERT_EQ(RunSetup(PackedSetup(p), INSTALL), 0);
        const std::string tracePath = TracePath("committed");
        {
            const ScopedEnvironment traced("VELLORAN_CALL_TRACE", tracePath.c_str());
            ASSERT_EQ(RunFaultingUninstaller(p), 0);
        }
        const std::vector<TracedCall> trace = ReadTrace(tracePath);
        const long flushes = std::count_if(trace.begin(), trace.end(),
                                           [](const TracedCall& call) { return call.name == "FlushFileBuffers"; });
        ASSERT_EQ(RunSetup(PackedSetup(p), INSTALL), 0);
        {
            const ScopedEnvironment kill("VELLORAN_KILL_FLUSH", std::to_string(flushes).c_str());
            ASSERT_EQ(RunFaultingUninstaller(p), KILLED);
        }
        const Differences left = ChangedSince(clean, everything);
        EXPECT_TRUE(std::any_of(left.begin(), left.end(), [&](const std::string& line) {
            return line.find(JournalFolder(p) + "\\") != std::string::npos;
        })) << "the commit's clean-up was not cut short: " << ::testing::PrintToString(left);
        EXPECT_EQ(RunSetup(PackedSetup(p), INSTALL), 0);
        const std::vector<std::string> lines = ReadLines(InstallFolder(p) + "\\" + p.logFile);
        EXPECT_TRUE(HasLinePrefix(lines, "Leftover of a finished run deleted: ")) << ::testing::PrintToString(lines);
        EXPECT_EQ(RunProcess(UninstallValue(p, "QuietUninstallString")), 0);
        ASSERT_TRUE(CarryOutPendingRenames());
        const Differences differences = ChangedSince(clean, everything);
        EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
    }
}
