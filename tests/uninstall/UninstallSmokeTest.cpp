// The uninstaller end to end. What a silent install made comes off again
// through the uninstall entry's own commands (the quiet one for the server,
// the one people start, answered Yes, for the client), and once the restart
// has taken the uninstaller's own leftovers the machine is as it was before
// the install. On a machine without the product it says so and changes nothing.
#include "tests/install/InstallTestSupport.h"
#include "tests/support/EngineSupport.h"
#include "tests/support/MachineSnapshot.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UiAutomation.h"

#include <gtest/gtest.h>

using namespace installtest;
using namespace testsupport;

namespace {

class UninstallSmoke : public ::testing::TestWithParam<const TestProduct*> {};

std::string ProductName(const ::testing::TestParamInfo<const TestProduct*>& info)
{
    return info.param == &Client() ? "Client" : "Server";
}

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

TEST_P(UninstallSmoke, ComesOffCompletely)
{
    const TestProduct& product = *GetParam();
    const bool quiet = &product == &Server();
    const MachineScope scope = InstallScope(product);
    const CMachineSnapshot before = CMachineSnapshot::Take(scope);
    ASSERT_EQ(RunSetup(PackedSetup(product), "-silent -licenseaccept"), 0);

    const std::string program = "\"" + InstallFolder(product) + "\\uninstall.exe\"";
    long exitCode = 0;
    std::vector<std::string> boxes;
    if (quiet) {
        ASSERT_EQ(UninstallValue(product, "QuietUninstallString"), program + " -silent");
        exitCode = RunProcess(UninstallValue(product, "QuietUninstallString"), 120000);
    } else {
        ASSERT_TRUE(HaveDisplay());
        ASSERT_EQ(UninstallValue(product, "UninstallString"), program);
        CMessageBoxWatcher watcher(product.name, IDYES);
        exitCode = RunProcess(UninstallValue(product, "UninstallString"), 120000);
        watcher.Stop();
        boxes = watcher.Texts();
    }
    EXPECT_EQ(exitCode, 0);
    if (!quiet) {
        EXPECT_EQ(boxes, (std::vector<std::string>{
                             "Are you sure you want to remove " + product.name + " and all of its components?",
                             product.name + " was removed from your computer."}));
    }
    EXPECT_FALSE(FileExists(UninstallLog(product)));

    // All that is left is the uninstaller's: the program that was started,
    // moved out of the program folder into the copy's folder, and the copy
    // (gone already), each deleted at the restart before the folder.
    const std::vector<std::string> folders = UninstallerFolders(product);
    ASSERT_EQ(folders.size(), 1u);
    const std::vector<std::string> left = ListFolder(folders[0]);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(EndsWith(left[0], "_uninstall.exe")) << left[0];
    EXPECT_EQ(ReadFileBytes(folders[0] + "\\" + left[0]), PayloadBytes(product, "uninstall.exe"));
    const std::string stored = "\\??\\" + folders[0];
    EXPECT_EQ(PendingRenames(), (std::vector<std::pair<std::string, std::string>>{
                                    {stored + "\\" + left[0], ""}, {stored + "\\uninstall.exe", ""}, {stored, ""}}));

    ASSERT_TRUE(CarryOutPendingRenames());
    EXPECT_TRUE(UninstallerFolders(product).empty());
    const std::vector<std::string> differences = before.DifferencesTo(CMachineSnapshot::Take(scope));
    EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
}

INSTANTIATE_TEST_SUITE_P(Products, UninstallSmoke, ::testing::Values(&Server(), &Client()), ProductName);

TEST(UninstallNotInstalled, SaysSoAndChangesNothing)
{
    ASSERT_TRUE(HaveDisplay());
    for (const TestProduct* product : {&Server(), &Client()}) {
        MachineScope scope = InstallScope(*product);
        const CMachineSnapshot before = CMachineSnapshot::Take(scope);
        CMessageBoxWatcher watcher(product->name, IDOK);
        EXPECT_EQ(RunProcess("\"" + PayloadFile(*product, "uninstall.exe") + "\" -silent -im", 60000), -14);
        watcher.Stop();
        const std::string message = product->name + " is not installed on this computer. Nothing was changed.";
        EXPECT_EQ(watcher.Texts(), std::vector<std::string>{message});
        const std::vector<std::string> log = ReadLines(UninstallLog(*product));
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), message);
        EXPECT_TRUE(UninstallerFolders(*product).empty());
        const std::vector<std::string> differences = before.DifferencesTo(CMachineSnapshot::Take(scope));
        EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
    }
}
