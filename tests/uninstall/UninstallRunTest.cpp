// The uninstaller as users and deployment tools meet it, end to end under
// Wine: what the user added to the program folder stays; a running product
// (its service, its program's window) is closed and taken off; a file held
// open goes at the restart, and until then every run is kept out; the product
// installs again after an uninstall, and an upgraded one comes off whole; the
// wizard-mode uninstaller walked with the keyboard; and an installation made
// before there was a journal, started as Programs and Features starts it.
#include "res/resource.h"
#include "tests/install/InstallTestSupport.h"
#include "tests/support/EngineSupport.h"
#include "tests/support/MachineSnapshot.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UiAutomation.h"
#include "tests/wizard/WizardDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <utility>

using namespace installtest;
using namespace testsupport;

namespace {

const char* const INSTALL = "-silent -licenseaccept";
constexpr long EXIT_RESTART_NEEDED = -9;
constexpr long EXIT_FAILED = -10;
constexpr long EXIT_RESTART_FIRST = -11;
const char* const SAMPLE_WINDOW_CLASS = "VelloranSampleWindow";
const std::string USER_FILE = "my notes.txt";
const std::string USER_BYTES = "Written by the user, not by the setup.\r\n";

using Differences = std::vector<std::string>;

class UninstallRun : public ::testing::TestWithParam<const TestProduct*> {};

std::string ProductName(const ::testing::TestParamInfo<const TestProduct*>& info)
{
    return info.param == &Client() ? "Client" : "Server";
}

std::string UserProgram(const TestProduct& product)
{
    return &product == &Client() ? "velloranlt.exe" : "velloran.exe";
}

Differences ChangedSince(const CMachineSnapshot& before, const MachineScope& scope)
{
    return before.DifferencesTo(CMachineSnapshot::Take(scope));
}

long RunQuietUninstall(const TestProduct& product, const std::string& switches = std::string())
{
    const std::string command = UninstallValue(product, "QuietUninstallString");
    if (command.empty())
        return -1000;
    return RunProcess(command + switches);
}

// Where `pair` stands in the restart's rename list; npos when not there.
size_t PendingAt(const std::vector<std::pair<std::string, std::string>>& renames,
                 const std::pair<std::string, std::string>& pair)
{
    const auto found = std::find(renames.begin(), renames.end(), pair);
    return found == renames.end() ? std::string::npos : static_cast<size_t>(found - renames.begin());
}

}  // namespace

// A file the user put into the program folder is the user's: it and its
// folder stay, everything of the product goes, the journal's folder with it.
TEST_P(UninstallRun, LeavesTheUsersFileAndTakesEverythingElse)
{
    const TestProduct& p = *GetParam();
    const MachineScope scope = InstallScope(p);
    const CMachineSnapshot before = CMachineSnapshot::Take(scope);
    ASSERT_EQ(RunSetup(PackedSetup(p), INSTALL), 0);
    const std::string folder = InstallFolder(p);
    const std::string userFile = folder + "\\" + USER_FILE;
    ASSERT_TRUE(WriteFileBytes(userFile, USER_BYTES));

    EXPECT_EQ(RunQuietUninstall(p), 0);
    EXPECT_EQ(ListFolder(folder), std::vector<std::string>{USER_FILE});
    EXPECT_EQ(ReadFileBytes(userFile), USER_BYTES);
    EXPECT_FALSE(DirectoryExists(JournalFolder(p)));

    ASSERT_TRUE(CarryOutPendingRenames());
    CMachineSnapshot after = CMachineSnapshot::Take(scope);
    EXPECT_EQ(after.items.erase("dir " + folder), 1u) << "the user's folder did not outlive the restart";
    EXPECT_EQ(after.items.erase("file " + userFile), 1u) << "the user's file did not outlive the restart";
    const Differences differences = before.DifferencesTo(after);
    EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
}

// The product runs: its service, and its program with a window. A silent
// run that may not restart closes the program (the window gets the close
// message, the program ends as a user's close ends it), stops the service and
// needs no restart for any file of the product.
TEST_P(UninstallRun, ClosesTheRunningProductAndTakesItOff)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = *GetParam();
    const MachineScope scope = InstallScope(p);
    const CMachineSnapshot before = CMachineSnapshot::Take(scope);
    ASSERT_EQ(RunSetup(PackedSetup(p), INSTALL), 0);
    ASSERT_TRUE(ServiceRunning(p.serviceName));
    CStartedSetup program(InstallFolder(p) + "\\" + UserProgram(p), "");
    ASSERT_TRUE(program.Started());
    ASSERT_TRUE(wizardtest::WaitUntil([&] { return FindWindowA(SAMPLE_WINDOW_CLASS, p.name.c_str()) != nullptr; },
                                      20000))
        << "the product's program shows no window";

    EXPECT_EQ(RunQuietUninstall(p, " -norestart"), 0);
    EXPECT_EQ(program.Wait(0), 0) << "the product's program still runs, or did not end by its window's close";
    EXPECT_EQ(FindWindowA(SAMPLE_WINDOW_CLASS, p.name.c_str()), nullptr);
    EXPECT_FALSE(DirectoryExists(InstallFolder(p)));
    EXPECT_FALSE(FileExists(UninstallLog(p))) << "a complete uninstall keeps no log";

    ASSERT_TRUE(CarryOutPendingRenames());
    const Differences differences = ChangedSince(before, scope);
    EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
}

INSTANTIATE_TEST_SUITE_P(Products, UninstallRun, ::testing::Values(&Server(), &Client()), ProductName);

// Another program holds a file of the product open (reading, sharing only
// reading): the file goes at the restart, before its folder, and the run says
// a restart is needed (-9 with "-norestart"). Until the restart a setup and
// an uninstaller change nothing (-11); after it no file of the product is left.
TEST(UninstallInUse, AFileHeldOpenGoesAtTheRestartAndKeepsRunsOutUntilThen)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = Server();
    const MachineScope scope = InstallScope(p);
    const CMachineSnapshot before = CMachineSnapshot::Take(scope);
    ASSERT_EQ(RunSetup(PackedSetup(p), INSTALL), 0);
    const std::string folder = InstallFolder(p);
    const std::string held = folder + "\\readme.txt";
    FileHolder holder(held, FILE_SHARE_READ);
    ASSERT_TRUE(holder.holding());

    EXPECT_EQ(RunQuietUninstall(p, " -norestart"), EXIT_RESTART_NEEDED);
    EXPECT_EQ(ListFolder(folder), std::vector<std::string>{"readme.txt"});
    const std::vector<std::pair<std::string, std::string>> renames = PendingRenames();
    const size_t file = PendingAt(renames, {"\\??\\" + held, ""});
    const size_t parent = PendingAt(renames, {"\\??\\" + folder, ""});
    EXPECT_NE(file, std::string::npos) << ::testing::PrintToString(renames);
    EXPECT_NE(parent, std::string::npos) << ::testing::PrintToString(renames);
    EXPECT_LT(file, parent) << "the folder would go before the file in it";
    EXPECT_TRUE(FileExists(UninstallLog(p))) << "the log that names the file waiting for the restart is gone";

    {
        SCOPED_TRACE("before the restart");
        const CMachineSnapshot waiting = CMachineSnapshot::Take(scope);
        EXPECT_EQ(RunSetup(PackedSetup(p), INSTALL), EXIT_RESTART_FIRST);
        EXPECT_EQ(RunProcess("\"" + PayloadFile(p, "uninstall.exe") + "\" -silent"), EXIT_RESTART_FIRST);
        const Differences differences = ChangedSince(waiting, scope);
        EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
    }

    // The restart ends every program: the holder too.
    holder.Release();
    ASSERT_TRUE(CarryOutPendingRenames());
    const Differences differences = ChangedSince(before, scope);
    EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
}

// The product installs again right after an uninstall, its uninstaller's
// leftovers still waiting for the restart; upgraded to a later build, it
// comes off whole: nothing of either build is left.
TEST(UninstallAgain, InstallsAgainAndAnUpgradedProductComesOffWhole)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = Server();
    const MachineScope scope = InstallScope(p);
    const CMachineSnapshot before = CMachineSnapshot::Take(scope);
    ASSERT_EQ(RunSetup(PackedSetup(p), INSTALL), 0);
    ASSERT_EQ(RunQuietUninstall(p), 0);
    {
        SCOPED_TRACE("installed again");
        EXPECT_EQ(RunSetup(PackedSetup(p), INSTALL), 0);
        CheckInstalled(p);
    }

    SetupRecipe later;
    later.newer = true;
    const std::string newer = MakeSetup(p, later, MakeTempDir("newer"));
    ASSERT_EQ(RunSetup(newer, INSTALL), 0);
    for (const char* file : {"velloran.exe", "readme.txt"})
        EXPECT_EQ(ReadFileBytes(InstallFolder(p) + "\\" + file), PayloadBytes(p, file) + "\r\n; newer build\r\n")
            << "not upgraded: " << file;

    EXPECT_EQ(RunQuietUninstall(p), 0);
    ASSERT_TRUE(CarryOutPendingRenames());
    const Differences differences = ChangedSince(before, scope);
    EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
}

// The uninstaller as a user runs it: the question, answered with Enter (Yes
// is the default button), the progress window, the final message, closed with
// Enter; the program ends with 0 and the product is gone.
TEST(UninstallWizard, WalkedWithTheKeyboard)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = Server();
    const MachineScope scope = InstallScope(p);
    const CMachineSnapshot before = CMachineSnapshot::Take(scope);
    ASSERT_EQ(RunSetup(PackedSetup(p), INSTALL), 0);

    wizardtest::CSetupRun uninstaller(InstallFolder(p) + "\\uninstall.exe");
    ASSERT_TRUE(uninstaller.Started());
    HWND question = WaitForDialog(p.name, 30000);
    ASSERT_NE(question, nullptr) << "no question";
    EXPECT_EQ(MessageBoxText(question), "Are you sure you want to remove Velloran and all of its components?");
    EXPECT_EQ(wizardtest::FocusedControl(question), IDYES);
    // The progress window lasts as long as the uninstall, about a second:
    // it is looked for from before the key is pressed.
    std::future<std::pair<HWND, std::string>> progress = std::async(std::launch::async, [] {
        HWND window = WaitForDialogWithControl("Uninstall - Velloran", IDC_PROGRESS_BAR, 30000);
        return std::make_pair(window, ControlText(window, IDC_PROGRESS_TITLE));
    });
    ASSERT_EQ(wizardtest::PressKeys(question, "Return"), "");
    ASSERT_TRUE(WaitForWindowGone(question, 10000));
    const std::pair<HWND, std::string> shown = progress.get();
    ASSERT_NE(shown.first, nullptr) << "no progress window";
    EXPECT_EQ(shown.second, "Please wait while Velloran is removed from your computer.");

    HWND done = WaitForDialog(p.name, 60000);
    ASSERT_NE(done, nullptr) << "no final message";
    EXPECT_EQ(MessageBoxText(done), "Velloran was removed from your computer.");
    EXPECT_FALSE(IsWindow(shown.first)) << "the progress window outlived the uninstall";
    ASSERT_EQ(wizardtest::PressKeys(done, "Return"), "");
    EXPECT_EQ(uninstaller.Wait(30000), 0);

    ASSERT_TRUE(CarryOutPendingRenames());
    const Differences differences = ChangedSince(before, scope);
    EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
}

// An installation as today's setup made it before there was a journal: no
// record, and the uninstall entry of then (the program's path unquoted, no
// quiet command). A failed uninstall ends with -10 through the program that
// was started and puts it back; then the uninstall entry's command, as
// Programs and Features starts it, takes it off exactly, and the uninstaller
// takes itself away: nothing of it is left in the program folder, which is
// gone, and what is left in its own folder goes at the restart.
TEST(UninstallLegacy, AnInstallationWithoutRecordComesOffExactly)
{
    ASSERT_TRUE(HaveDisplay());
    const TestProduct& p = Server();
    // Windows always has the store's catalog folder, and a take-over leaves
    // it to the system; a fresh Wine prefix gets it with the first package.
    const std::string catalogs = SystemDir() + "\\catroot";
    CreateDirectoryA(catalogs.c_str(), nullptr);
    ASSERT_TRUE(CreateDirectoryA((catalogs + "\\{f750e6c3-38ee-11d1-85e5-00c04fc295ee}").c_str(), nullptr));
    const MachineScope scope = InstallScope(p);
    const CMachineSnapshot before = CMachineSnapshot::Take(scope);
    ASSERT_EQ(RunSetup(PackedSetup(p), INSTALL), 0);
    RemoveTree(JournalFolder(p));
    ASSERT_FALSE(DirectoryExists(JournalFolder(p)));
    const std::string key = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + p.uninstallKey;
    const std::string program = InstallFolder(p) + "\\uninstall.exe";
    {
        fw::CRegKey entry;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_SET_VALUE, entry.put()), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(entry.get(), "UninstallString", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(program.c_str()),
                                 static_cast<DWORD>(program.size() + 1)),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegDeleteValueA(entry.get(), "QuietUninstallString"), ERROR_SUCCESS);
    }

    {
        SCOPED_TRACE("a failed uninstall");
        MachineScope rest = PutBackScope(p);
        rest.trees.erase(std::remove(rest.trees.begin(), rest.trees.end(), JournalFolder(p)), rest.trees.end());
        const CMachineSnapshot legacy = CMachineSnapshot::Take(rest);
        const ScopedEnvironment fault("VELLORAN_FAULT_AT", "files-removed");
        EXPECT_EQ(RunProcess("\"" + BinPath("velloran_uninstall_faulting.exe") + "\" -silent"), EXIT_FAILED);
        const Differences differences = ChangedSince(legacy, rest);
        EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
        EXPECT_TRUE(UninstallerFolders(p).empty());
        // Without a record again.
        RemoveTree(JournalFolder(p));
    }

    EXPECT_EQ(UninstallValue(p, "UninstallString"), program);
    CMessageBoxWatcher boxes(p.name, IDYES);
    EXPECT_EQ(RunProcess(UninstallValue(p, "UninstallString")), 0);
    boxes.Stop();
    EXPECT_EQ(boxes.Texts(), (std::vector<std::string>{
                                 "Are you sure you want to remove Velloran and all of its components?",
                                 "Velloran was removed from your computer."}));
    EXPECT_FALSE(FileExists(program));
    EXPECT_FALSE(DirectoryExists(InstallFolder(p)));
    const std::vector<std::string> folders = UninstallerFolders(p);
    ASSERT_EQ(folders.size(), 1u);
    const std::vector<std::string> left = ListFolder(folders[0]);
    ASSERT_EQ(left.size(), 1u) << ::testing::PrintToString(left);
    EXPECT_EQ(ReadFileBytes(folders[0] + "\\" + left[0]), PayloadBytes(p, "uninstall.exe"))
        << "what is left is not the program that was started";

    ASSERT_TRUE(CarryOutPendingRenames());
    EXPECT_TRUE(UninstallerFolders(p).empty());
    const Differences differences = ChangedSince(before, scope);
    EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
}
