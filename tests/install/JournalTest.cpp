// The product's journal as the setups meet it on a machine: a journal folder
// that others may write or a journal damaged in the middle is moved aside and
// nothing else changes (-12), a record cut short at the end is what a kill
// leaves and is dropped; a second run while one holds the lock changes
// nothing (-15); a rollback's restore left for the restart keeps every run
// out until the restart (-11); and runs ended at once (in the rollback, in
// the recovery of an earlier run, or from outside at any moment) are undone
// by the next run down to the machine as it was before.
//
// The setups' test builds (CallInjector.h) trace their platform calls and end
// themselves after the Nth change; where a kill lands is taken from a trace of
// the same run on the same machine, so that it stays in the stage meant as
// the plan changes.
#include "tests/install/InstallTestSupport.h"
#include "tests/support/EngineSupport.h"
#include "tests/support/MachineSnapshot.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UiAutomation.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdint>
#include <map>

using namespace installtest;
using namespace testsupport;

namespace {

const char* const SWITCHES = "-silent -licenseaccept";
// What the test build's process ends with when it ends itself (CallInjector).
constexpr long KILLED = 0xDEAD;
constexpr long EXIT_FAILED = -10;
constexpr long EXIT_RESTART_FIRST = -11;
constexpr long EXIT_UNTRUSTED = -12;
constexpr long EXIT_ANOTHER_RUN = -15;

const std::string RECOVERY = "=== Undoing an interrupted run ===";
const std::string RECOVERY_END = "=== Interrupted run undone ===";
const std::string ROLLBACK = "=== Rollback process ===";
const std::string REBOOT_WARNING = "Warning: === Reboot required to complete operation ===";
const std::string SET_ASIDE_LINE = "Error: Journal set aside: ";
const std::string SET_ASIDE_SUFFIX = ".untrusted-";

using Differences = std::vector<std::string>;

Differences ChangedSince(const CMachineSnapshot& before, const MachineScope& scope)
{
    return before.DifferencesTo(CMachineSnapshot::Take(scope));
}

std::vector<std::string> TempLogLines(const TestProduct& product)
{
    return ReadLines(TempLog(product));
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A setup of the recipe on the product's test build.
std::string TestSetup(const TestProduct& product, SetupRecipe recipe, const std::string& tag)
{
    recipe.stub = BinPath(product.setup + "_faulting.exe");
    return MakeSetup(product, recipe, MakeTempDir(tag));
}

SetupRecipe WithoutCatalogue(bool newer)
{
    SetupRecipe recipe;
    recipe.missing = {"nexbus.cat"};
    recipe.newer = newer;
    return recipe;
}

SetupRecipe Complete(bool newer)
{
    SetupRecipe recipe;
    recipe.newer = newer;
    return recipe;
}

std::string ProgramData()
{
    const std::string journal = JournalFolder(Server());
    return journal.substr(0, journal.rfind('\\'));
}

// Names in `folder` that `name` was moved aside as.
std::vector<std::string> SetAsideCopies(const std::string& folder, const std::string& name)
{
    std::vector<std::string> found;
    for (const std::string& entry : ListFolder(folder)) {
        if (entry.rfind(name + SET_ASIDE_SUFFIX, 0) == 0)
            found.push_back(entry);
    }
    return found;
}

// ---------------------------------------------------------------------------
// The trace of a test build's run (ReadTrace).

// Where a kill lands: a stage that deletes or restores files, one call a
// file, in a row of at least three; the first such stage of a run (its
// recovery comes first) or the last (its rollback).
struct FileStage {
    size_t firstCall = 0;   // index into the trace
    size_t calls = 0;
    long changesBefore = 0; // changes the run made before the stage
};

bool FindFileStage(const std::vector<TracedCall>& trace, bool last, FileStage* found)
{
    constexpr size_t LEAST = 3;
    bool any = false;
    long changes = 0;
    for (size_t i = 0; i < trace.size();) {
        const TracedCall& call = trace[i];
        size_t run = 1;
        if (call.change && (call.name == "DeleteFileA" || call.name == "MoveFileExA")) {
            while (i + run < trace.size() && trace[i + run].name == call.name && trace[i + run].change)
                ++run;
            if (run >= LEAST) {
                *found = FileStage{i, run, changes};
                any = true;
                if (!last)
                    return true;
            }
        }
        for (size_t k = i; k < i + run; ++k)
            changes += trace[k].change ? 1 : 0;
        i += run;
    }
    return any;
}

// The changes a run made before its last file stage (its rollback's).
long ChangesBeforeRollback(const std::vector<TracedCall>& trace)
{
    FileStage stage;
    return FindFileStage(trace, true, &stage) ? stage.changesBefore : 0;
}

std::string TracePath(const std::string& name)
{
    const std::string path = TempDir() + "\\" + name + ".trace";
    DeleteFileA(path.c_str());
    return path;
}

long RunTraced(const std::string& setup, const std::string& trace, const std::string& switches = SWITCHES)
{
    const ScopedEnvironment traced("VELLORAN_CALL_TRACE", trace.c_str());
    return RunSetup(setup, switches);
}

long RunKilledAfterChange(const std::string& setup, long change)
{
    const std::string number = std::to_string(change);
    const ScopedEnvironment kill("VELLORAN_KILL_CHANGE", number.c_str());
    return RunSetup(setup, SWITCHES);
}

// ---------------------------------------------------------------------------
// Access lists as read back.

constexpr ACCESS_MASK ANY_WRITE = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                  FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

std::string SidText(PSID sid)
{
    char* text = nullptr;
    if (sid == nullptr || !ConvertSidToStringSidA(sid, &text))
        return "(none)";
    const std::string result = text;
    LocalFree(text);
    return result;
}

// The accounts an access list lets change the object, as SID strings, and
// its owner.
bool ReadWriters(const std::string& path, std::string* owner, std::vector<std::string>* writers)
{
    PSID ownerSid = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &ownerSid, nullptr, &dacl, nullptr, &raw) != ERROR_SUCCESS)
        return false;
    const fw::CLocalMem descriptor(raw);
    *owner = SidText(ownerSid);
    writers->clear();
    if (dacl == nullptr) {
        writers->push_back("(no access list: everyone)");
        return true;
    }
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        if (!GetAce(dacl, index, &ace))
            continue;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0)
            continue;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        if ((allowed->Mask & ANY_WRITE) != 0)
            writers->push_back(SidText(const_cast<DWORD*>(&allowed->SidStart)));
    }
    return true;
}

// Everyone may write `path` (and what is made in it): a change of the access
// list an ordinary user could not make, but an installer or a tool of
// someone else may have made.
bool LetEveryoneWrite(const std::string& path)
{
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301ff;;;WD)",
                                                              SDDL_REVISION_1, &raw, nullptr))
        return false;
    const fw::CLocalMem descriptor(raw);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(raw, &present, &dacl, &defaulted))
        return false;
    return SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                 nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------

// Every file of the installation's folders and links, with its bytes.
std::map<std::string, std::string> FilesOfTheInstallation(const TestProduct& product)
{
    std::map<std::string, std::string> files;
    for (const std::string& folder : {InstallFolder(product), StartMenuFolder(product)}) {
        for (const std::string& name : ListFolder(folder))
            files[folder + "\\" + name] = ReadFileBytes(folder + "\\" + name);
    }
    const std::string desktop = DesktopFolder() + "\\" + product.name + ".lnk";
    files[desktop] = ReadFileBytes(desktop);
    return files;
}

}  // namespace

// The folder a first installation makes lets only SYSTEM, the administrators
// and the owner write, as read back; once anyone else may write it, the next
// run moves it aside whole and changes nothing else.
TEST(JournalTrust, AFolderOthersMayWriteIsMovedAsideAndNothingElseChanges)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = Server();
    ASSERT_EQ(RunSetup(PackedSetup(p), SWITCHES), 0);
    CheckInstalled(p);

    const std::string self = ProcessUserSid();
    for (const std::string& path : {JournalFolder(p), JournalPath(p)}) {
        std::string owner;
        std::vector<std::string> writers;
        ASSERT_TRUE(ReadWriters(path, &owner, &writers)) << path;
        EXPECT_TRUE(owner == "S-1-5-18" || owner == "S-1-5-32-544" || owner == self) << path << ": " << owner;
        for (const std::string& writer : writers)
            EXPECT_TRUE(writer == "S-1-5-18" || writer == "S-1-5-32-544" || writer == owner)
                << path << " lets " << writer << " write";
    }

    const std::string folder = JournalFolder(p);
    const std::string journal = ReadFileBytes(JournalPath(p));
    ASSERT_TRUE(LetEveryoneWrite(folder));
    {
        std::string owner;
        std::vector<std::string> writers;
        ASSERT_TRUE(ReadWriters(folder, &owner, &writers));
        ASSERT_TRUE(std::find(writers.begin(), writers.end(), "S-1-1-0") != writers.end())
            << "Wine did not keep the access list: " << ::testing::PrintToString(writers);
    }

    const MachineScope rest = InstallScopeWithoutJournal(p);
    const CMachineSnapshot before = CMachineSnapshot::Take(rest);
    CMessageBoxWatcher boxes(p.name, IDOK);
    EXPECT_EQ(RunSetup(PackedSetup(p), SWITCHES), EXIT_UNTRUSTED);
    boxes.Stop();
    EXPECT_TRUE(boxes.Texts().empty()) << ::testing::PrintToString(boxes.Texts());

    // Moved, not deleted: its old name gone, the new one beside it holding
    // the journal as it was.
    EXPECT_FALSE(DirectoryExists(folder));
    const std::vector<std::string> aside = SetAsideCopies(ProgramData(), p.journalFolder);
    ASSERT_EQ(aside.size(), 1u) << ::testing::PrintToString(ListFolder(ProgramData()));
    const std::string moved = ProgramData() + "\\" + aside[0];
    EXPECT_EQ(ListFolder(moved), std::vector<std::string>{"install.journal"});
    EXPECT_EQ(ReadFileBytes(moved + "\\install.journal"), journal);
    const std::vector<std::string> lines = TempLogLines(p);
    EXPECT_TRUE(HasLine(lines, SET_ASIDE_LINE + moved + " (others than the administrators may change it)"))
        << ::testing::PrintToString(lines);
    EXPECT_TRUE(HasLine(lines, "The setup journal of Velloran cannot be trusted: others than the administrators may "
                               "change it. It was moved to " + moved + ". Nothing else was changed."));
    EXPECT_FALSE(HasLine(lines, "Velloran installation..."));
    const Differences changed = ChangedSince(before, rest);
    EXPECT_TRUE(changed.empty()) << ::testing::PrintToString(changed);
}

// A record damaged in the middle of a real installation's journal: the file
// is moved aside and the run changes nothing else. A record cut short at the
// end (the commit, as a kill while it was written leaves it) is dropped: the
// installation it would have committed counts as interrupted, the next run
// undoes it and installs, and the file holds whole records only.
TEST(JournalTrust, DamageInTheMiddleIsSetAsideACutLastRecordIsDropped)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = Server();
    ASSERT_EQ(RunSetup(PackedSetup(p), SWITCHES), 0);
    const std::string path = JournalPath(p);
    const std::string journal = ReadFileBytes(path);
    const JournalLayout layout = ReadJournalLayout(journal);
    ASSERT_EQ(layout.whole, journal.size()) << "the installation's journal does not read whole here";
    ASSERT_GE(layout.offsets.size(), 10u);
    ASSERT_EQ(layout.kinds.back(), JOURNAL_COMMITTED);

    {
        SCOPED_TRACE("a damaged record in the middle");
        const size_t middle = layout.offsets.size() / 2;
        std::string damaged = journal;
        damaged[layout.offsets[middle] + layout.sizes[middle] - 1] ^= 0x20;
        ASSERT_TRUE(WriteFileBytes(path, damaged));
        const MachineScope rest = InstallScopeWithoutJournal(p);
        const CMachineSnapshot before = CMachineSnapshot::Take(rest);
        EXPECT_EQ(RunSetup(PackedSetup(p), SWITCHES), EXIT_UNTRUSTED);

        EXPECT_FALSE(FileExists(path));
        const std::vector<std::string> aside = SetAsideCopies(JournalFolder(p), "install.journal");
        ASSERT_EQ(aside.size(), 1u) << ::testing::PrintToString(ListFolder(JournalFolder(p)));
        EXPECT_EQ(ListFolder(JournalFolder(p)).size(), 1u);
        const std::string moved = JournalFolder(p) + "\\" + aside[0];
        EXPECT_EQ(ReadFileBytes(moved), damaged);
        const std::vector<std::string> lines = TempLogLines(p);
        EXPECT_TRUE(HasLine(lines, SET_ASIDE_LINE + moved + " (its records are damaged)"))
            << ::testing::PrintToString(lines);
        const Differences changed = ChangedSince(before, rest);
        EXPECT_TRUE(changed.empty()) << ::testing::PrintToString(changed);
        ASSERT_TRUE(DeleteFileA(moved.c_str()));
    }
    {
        SCOPED_TRACE("the last record cut short");
        const size_t cut = journal.size() - 5;
        ASSERT_TRUE(WriteFileBytes(path, journal.substr(0, cut)));
        EXPECT_EQ(RunSetup(PackedSetup(p), SWITCHES), 0);
        CheckInstalled(p);
        const std::vector<std::string> lines = ReadLines(InstallFolder(p) + "\\" + p.logFile);
        EXPECT_EQ(MissingInOrder(lines, {RECOVERY, ROLLBACK, RECOVERY_END, "Velloran installation..."}), "");

        const std::string after = ReadFileBytes(path);
        const JournalLayout read = ReadJournalLayout(after);
        EXPECT_EQ(read.whole, after.size()) << "a piece of a record is left in the journal";
        ASSERT_FALSE(read.kinds.empty());
        EXPECT_EQ(read.kinds.back(), JOURNAL_COMMITTED);
        EXPECT_TRUE(SetAsideCopies(JournalFolder(p), "install.journal").empty());
    }
}

// A run holds the lock, waiting in its firewall step: a second silent run and
// a wizard end with -15 and change nothing; the first completes.
TEST(TwoRuns, TheSecondChangesNothingAndTheFirstCompletes)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = Server();
    const std::string held = TestSetup(p, Complete(false), "held");
    const ScopedEnvironment unpaced("VELLORAN_PAUSE_PERCENT", "0");
    const ScopedEnvironment where("VELLORAN_DELAY_AT", "firewall");
    const ScopedEnvironment wait("VELLORAN_DELAY_MS", "8000");
    CStartedSetup first(held, SWITCHES);
    ASSERT_TRUE(first.Started());
    ASSERT_TRUE(WaitForLogLine(p, "Authorized appication: " + SystemDir() + "\\" + p.serviceProgram, 60000));

    const CMachineSnapshot before = CMachineSnapshot::Take(InstallScope(p));
    const std::string busy = "Another setup of Velloran is running. Wait until it has finished, then start this "
                             "setup again.";
    {
        SCOPED_TRACE("silent");
        CMessageBoxWatcher boxes(p.name, IDOK);
        EXPECT_EQ(RunSetup(PackedSetup(p), SWITCHES), EXIT_ANOTHER_RUN);
        boxes.Stop();
        EXPECT_TRUE(boxes.Texts().empty()) << ::testing::PrintToString(boxes.Texts());
    }
    {
        SCOPED_TRACE("wizard");
        CMessageBoxWatcher boxes(p.name, IDOK);
        EXPECT_EQ(RunSetup(PackedSetup(p), ""), EXIT_ANOTHER_RUN);
        boxes.Stop();
        EXPECT_EQ(boxes.Texts(), std::vector<std::string>{busy});
    }
    const Differences changed = ChangedSince(before, InstallScope(p));
    EXPECT_TRUE(changed.empty()) << ::testing::PrintToString(changed);
    EXPECT_EQ(first.Wait(0), -1001) << "the first run did not hold the lock all along";

    EXPECT_EQ(first.Wait(90000), 0);
    CheckInstalled(p);
    // The refused runs must leave the running one's log alone.
    const std::vector<std::string> lines = ReadLines(InstallFolder(p) + "\\" + p.logFile);
    EXPECT_FALSE(HasLine(lines, busy)) << "the refused run wrote into the running run's log";
    EXPECT_TRUE(HasLine(lines, "Velloran installation...")) << ::testing::PrintToString(lines);
}

// An upgrade fails late, and its rollback cannot put one of the files it had
// overwritten back: the old bytes wait in the backup for the restart. Until
// the restart every run ends with -11 and changes nothing; the restart brings
// the old bytes back, and the next run installs as usual, the rolled-back run
// no longer in the journal.
TEST(RestartPending, ARestoreLeftForTheRestartKeepsRunsOutUntilItCame)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = Server();
    ASSERT_EQ(RunSetup(PackedSetup(p), SWITCHES), 0);
    const std::string installed = ReadFileBytes(JournalPath(p));
    const std::string upgrade = TestSetup(p, Complete(true), "late");
    const CMachineSnapshot original = CMachineSnapshot::Take(InstallScope(p));
    const std::map<std::string, std::string> files = FilesOfTheInstallation(p);
    // No restart asked of Windows: here it would carry the restore out at once.
    const std::string switches = std::string(SWITCHES) + " -norestart";
    const ScopedEnvironment unpaced("VELLORAN_PAUSE_PERCENT", "0");
    const ScopedEnvironment late("VELLORAN_FAIL_AT", "plan-end");

    // The same failure once, traced: the rollback's restores are its last
    // row of MoveFileExA calls; the middle one is made to fail next time.
    const std::string trace = TracePath("late");
    ASSERT_EQ(RunTraced(upgrade, trace, switches), EXIT_FAILED);
    Differences changed = ChangedSince(original, InstallScope(p));
    ASSERT_TRUE(changed.empty()) << ::testing::PrintToString(changed);
    const std::vector<TracedCall> calls = ReadTrace(trace);
    FileStage restores;
    ASSERT_TRUE(FindFileStage(calls, true, &restores));
    ASSERT_EQ(calls[restores.firstCall].name, "MoveFileExA");
    const long failing = calls[restores.firstCall + restores.calls / 2].number;
    {
        const std::string number = std::to_string(failing);
        const ScopedEnvironment fail("VELLORAN_FAIL_CALLS", number.c_str());
        EXPECT_EQ(RunSetup(upgrade, switches), EXIT_FAILED);
    }
    std::vector<std::string> lines = TempLogLines(p);
    EXPECT_EQ(MissingInOrder(lines, {"Velloran installation...", ROLLBACK, REBOOT_WARNING}), "")
        << ::testing::PrintToString(lines);

    // backup -> !target: the backup holds the bytes the target had before.
    std::string backup, target;
    for (const auto& rename : PendingRenames()) {
        if (rename.second.rfind("!\\??\\", 0) == 0) {
            backup = rename.first.substr(4);
            target = rename.second.substr(5);
        }
    }
    ASSERT_FALSE(target.empty()) << ::testing::PrintToString(PendingRenames());
    ASSERT_EQ(files.count(target), 1u) << target;
    EXPECT_EQ(ReadFileBytes(backup), files.at(target)) << backup;

    {
        SCOPED_TRACE("before the restart");
        const CMachineSnapshot waiting = CMachineSnapshot::Take(InstallScope(p));
        const std::string journal = ReadFileBytes(JournalPath(p));
        EXPECT_NE(journal.find(backup), std::string::npos) << "the journal does not name the restore";
        EXPECT_EQ(RunSetup(PackedSetup(p), SWITCHES), EXIT_RESTART_FIRST);
        lines = TempLogLines(p);
        EXPECT_TRUE(HasLine(lines, "Error: A restart left pending by an earlier run must happen first"))
            << ::testing::PrintToString(lines);
        EXPECT_FALSE(HasLine(lines, "Velloran installation..."));
        changed = ChangedSince(waiting, InstallScope(p));
        EXPECT_TRUE(changed.empty()) << ::testing::PrintToString(changed);
    }

    ASSERT_TRUE(CarryOutPendingRenames());
    EXPECT_EQ(ReadFileBytes(target), files.at(target));
    EXPECT_FALSE(FileExists(backup));
    EXPECT_TRUE(PendingRenames().empty()) << ::testing::PrintToString(PendingRenames());

    // The product's service stopped first, so that this run replaces its
    // program at once and its log is that of a plain installation.
    ASSERT_TRUE(StopService(p.serviceName));
    EXPECT_EQ(RunSetup(PackedSetup(p), SWITCHES), 0);
    CheckInstalled(p);
    const std::string journal = ReadFileBytes(JournalPath(p));
    EXPECT_EQ(journal.compare(0, installed.size(), installed), 0) << "the first installation's records changed";
    EXPECT_EQ(journal.find(backup), std::string::npos) << "the rolled-back run is still in the journal";
    const JournalLayout layout = ReadJournalLayout(journal);
    EXPECT_EQ(layout.whole, journal.size());
}

namespace {

// (a) A failing run killed in the middle of its rollback: the next run of the
// same setup finishes that rollback first, then fails and rolls back itself.
void KilledInTheRollback(const std::string& failing, const CMachineSnapshot& before)
{
    const TestProduct& p = Server();
    const std::string trace = TracePath("rollback");
    ASSERT_EQ(RunTraced(failing, trace), EXIT_FAILED);
    Differences changed = ChangedSince(before, InstallScope(p));
    ASSERT_TRUE(changed.empty()) << "the plain failure: " << ::testing::PrintToString(changed);

    FileStage stage;
    ASSERT_TRUE(FindFileStage(ReadTrace(trace), true, &stage));
    const long kill = stage.changesBefore + static_cast<long>(stage.calls / 2);
    ASSERT_EQ(RunKilledAfterChange(failing, kill), KILLED);
    std::vector<std::string> lines = TempLogLines(p);
    ASSERT_EQ(MissingInOrder(lines, {"Velloran installation...", ROLLBACK}), "") << "not killed in the rollback";
    EXPECT_FALSE(ChangedSince(before, InstallScope(p)).empty()) << "the kill left nothing to undo";

    EXPECT_EQ(RunSetup(failing, SWITCHES), EXIT_FAILED);
    lines = TempLogLines(p);
    EXPECT_EQ(MissingInOrder(lines, {RECOVERY, ROLLBACK, RECOVERY_END, "Velloran installation...", ROLLBACK}), "")
        << ::testing::PrintToString(lines);
    EXPECT_FALSE(HasLine(lines, "Restart System"));
    changed = ChangedSince(before, InstallScope(p));
    EXPECT_TRUE(changed.empty()) << ::testing::PrintToString(changed);
}

// (b) A complete setup killed in the middle of its plan, then the run that
// undoes it killed in the middle of that: a third run starts the recovery
// again and finishes it.
void KilledInTheRecovery(const std::string& good, const std::string& failing, const CMachineSnapshot& before)
{
    const TestProduct& p = Server();
    // The plan's changes up to the failure are the complete setup's too.
    const std::string failureTrace = TracePath("failure");
    ASSERT_EQ(RunTraced(failing, failureTrace), EXIT_FAILED);
    const long planMiddle = ChangesBeforeRollback(ReadTrace(failureTrace)) / 2;
    ASSERT_GT(planMiddle, 0);

    // Once with the recovery traced, to find its middle.
    ASSERT_EQ(RunKilledAfterChange(good, planMiddle), KILLED);
    const std::string recoveryTrace = TracePath("recovery");
    ASSERT_EQ(RunTraced(failing, recoveryTrace), EXIT_FAILED);
    std::vector<std::string> lines = TempLogLines(p);
    ASSERT_EQ(MissingInOrder(lines, {RECOVERY, ROLLBACK, RECOVERY_END}), "") << ::testing::PrintToString(lines);
    Differences changed = ChangedSince(before, InstallScope(p));
    ASSERT_TRUE(changed.empty()) << "a plain recovery: " << ::testing::PrintToString(changed);
    FileStage stage;
    ASSERT_TRUE(FindFileStage(ReadTrace(recoveryTrace), false, &stage));
    const long recoveryMiddle = stage.changesBefore + static_cast<long>(stage.calls / 2);

    ASSERT_EQ(RunKilledAfterChange(good, planMiddle), KILLED);
    ASSERT_EQ(RunKilledAfterChange(failing, recoveryMiddle), KILLED);
    lines = TempLogLines(p);
    ASSERT_EQ(MissingInOrder(lines, {RECOVERY, ROLLBACK}), "") << ::testing::PrintToString(lines);
    ASSERT_FALSE(HasLine(lines, RECOVERY_END)) << "not killed in the recovery";

    EXPECT_EQ(RunSetup(failing, SWITCHES), EXIT_FAILED);
    lines = TempLogLines(p);
    EXPECT_EQ(MissingInOrder(lines, {RECOVERY, ROLLBACK, RECOVERY_END, "Velloran installation...", ROLLBACK}), "")
        << ::testing::PrintToString(lines);
    changed = ChangedSince(before, InstallScope(p));
    EXPECT_TRUE(changed.empty()) << ::testing::PrintToString(changed);
}

}  // namespace

TEST(KilledRun, OnACleanMachine)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = Server();
    const std::string failing = TestSetup(p, WithoutCatalogue(false), "failing");
    const std::string good = TestSetup(p, Complete(false), "good");
    const ScopedEnvironment unpaced("VELLORAN_PAUSE_PERCENT", "0");
    const CMachineSnapshot before = CMachineSnapshot::Take(InstallScope(p));
    {
        SCOPED_TRACE("killed in the rollback");
        KilledInTheRollback(failing, before);
    }
    {
        SCOPED_TRACE("killed in the recovery");
        KilledInTheRecovery(good, failing, before);
    }
}

TEST(KilledRun, OverTheInstalledProduct)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = Server();
    ASSERT_EQ(RunSetup(PackedSetup(p), SWITCHES), 0);
    const std::string failing = TestSetup(p, WithoutCatalogue(true), "failing");
    const std::string good = TestSetup(p, Complete(true), "good");
    const ScopedEnvironment unpaced("VELLORAN_PAUSE_PERCENT", "0");
    const CMachineSnapshot before = CMachineSnapshot::Take(InstallScope(p));
    {
        SCOPED_TRACE("killed in the rollback");
        KilledInTheRollback(failing, before);
    }
    {
        SCOPED_TRACE("killed in the recovery");
        KilledInTheRecovery(good, failing, before);
    }
    // Still the product as installed (the failed runs' logs aside).
    DeleteFileA(TempLog(p).c_str());
    CheckInstalled(p);
}

// A silent installation of the real package ended from outside at a moment
// drawn from a fixed seed (0.2 to 3 s in): the next run undoes it. Each run
// waits before its commit long enough that every kill lands before it.
TEST(KilledFromOutside, TheNextRunUndoesWhateverTheKilledRunHadDone)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = Server();
    const std::string killed = TestSetup(p, Complete(false), "killed");
    const std::string failing = TestSetup(p, WithoutCatalogue(false), "failing");
    const CMachineSnapshot before = CMachineSnapshot::Take(InstallScope(p));
    // About 0.7, 2.9, 1.0 and 1.9 s.
    const unsigned seeds[] = {10, 4, 13, 26};
    for (const unsigned seed : seeds) {
        const DWORD delay = 200 + (seed * 2654435761u >> 8) % 2801;
        SCOPED_TRACE("seed " + std::to_string(seed) + ": killed after " + std::to_string(delay) + " ms");
        {
            const ScopedEnvironment hold("VELLORAN_DELAY_AT", "commit");
            const ScopedEnvironment wait("VELLORAN_DELAY_MS", "10000");
            CStartedSetup run(killed, SWITCHES);
            ASSERT_TRUE(run.Started());
            Sleep(delay);
            EXPECT_TRUE(run.Kill()) << "the run had ended before the kill";
        }
        const std::vector<std::string> killedLog = TempLogLines(p);
        SCOPED_TRACE("the killed run's last line: " + (killedLog.empty() ? std::string() : killedLog.back()));
        const bool journal = FileExists(JournalPath(p));
        const bool last = seed == seeds[sizeof seeds / sizeof seeds[0] - 1];
        const ScopedEnvironment unpaced("VELLORAN_PAUSE_PERCENT", "0");
        if (last) {
            EXPECT_EQ(RunSetup(PackedSetup(p), SWITCHES), 0);
            CheckInstalled(p);
            continue;
        }
        EXPECT_EQ(RunSetup(failing, SWITCHES), EXIT_FAILED);
        const std::vector<std::string> lines = TempLogLines(p);
        if (journal) {
            EXPECT_EQ(MissingInOrder(lines, {RECOVERY, RECOVERY_END, "Velloran installation..."}), "")
                << ::testing::PrintToString(lines);
        }
        const Differences changed = ChangedSince(before, InstallScope(p));
        EXPECT_TRUE(changed.empty()) << ::testing::PrintToString(changed);
    }
}
