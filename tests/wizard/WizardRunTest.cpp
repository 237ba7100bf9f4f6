// Both setups driven through their wizard as a user would, from outside the
// process: every page's texts, the summary byte for byte, the progress texts,
// the finish page's choices and what they start, the machine afterwards, and
// the ways a wizard ends early or badly, a firewall step that faults, takes
// long or fails (the setups' test build), and a whole installation from the
// keyboard alone. Screenshots of every page are left under the build folder
// for a person to look at.
#include "tests/install/InstallTestSupport.h"
#include "tests/support/EngineSupport.h"
#include "tests/support/PlantedLibraries.h"
#include "tests/support/SampleSupport.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UiAutomation.h"
#include "tests/wizard/ScreenShot.h"
#include "tests/wizard/WizardDriver.h"

#include "res/resource.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <algorithm>

using namespace installtest;
using namespace testsupport;
using namespace wizardtest;

namespace {

constexpr int MESSAGE_BOX_TEXT = 65535;

// What each build shows, stated here independently of the setup's resources.
struct Build {
    const TestProduct& product;
    std::string fileTag;        // screenshot names
    std::string versionText;
    std::string licenceHeading; // first line of the packed licence
    std::string copyingText;    // the first progress stage
    std::string quickStartText;
    std::string tasksHeading;
    std::string quickStartUrl;
};

const Build& ServerBuild()
{
    static const Build build{installtest::Server(),
                             "server",
                             "Version 6.1",
                             "Velloran 6.1 - Licence Agreement",
                             "Copying files is in progress...",
                             "Open \"Quick start\" page.",
                             "Additional Task:",
                             "https://www.velloran.com/#quick-start"};
    return build;
}

const Build& ClientBuild()
{
    static const Build build{installtest::Client(),
                             "client",
                             "Version 6.2.2",
                             "Velloran Client 6.2.2 - Licence Agreement",
                             "Copying files...",
                             "Open \"Quick Start\" page.",
                             "Additional Tasks:",
                             "https://www.velloran.com/client/#quick-start"};
    return build;
}

std::string Caption(const Build& build)
{
    return "Setup - " + build.product.name;
}

// Screenshots of one run: <build>-<dpi>dpi[-<run>]-<name>.png.
class Shots {
public:
    Shots(const Build& build, DWORD dpi, const std::string& run = std::string())
        : m_prefix(ScreenshotFolder() + "\\" + build.fileTag + "-" + std::to_string(dpi) + "dpi-" +
                   (run.empty() ? std::string() : run + "-"))
    {
    }
    void Take(HWND page, const std::string& name) const
    {
        Sleep(300);  // the page has painted
        EXPECT_TRUE(SaveWindowPng(page, m_prefix + name + ".png")) << name;
    }

private:
    std::string m_prefix;
};

HWND Welcome(const Build& build)
{
    return WaitForPage(Caption(build), {IDC_SIDE_PICTURE, IDC_BACK});
}

// From the welcome page to the ready page with every default, checking what
// each page shows. Returns the ready page.
HWND DriveToReadyPage(const Build& build, const Shots& shots, DWORD dpi)
{
    const std::string& name = build.product.name;
    const std::string caption = Caption(build);

    HWND page = Welcome(build);
    if (page == nullptr)
        return nullptr;
    EXPECT_TRUE(WaitUntil([&] { return ControlEnabled(page, IDOK); }, 15000));
    EXPECT_EQ(ControlText(page, IDC_TITLE), "Welcome to " + name + " " + build.versionText + " Setup Wizard");
    EXPECT_EQ(ControlText(page, IDC_BODY), "The Setup Wizard will allow you to install " + name + " " +
                                               build.versionText +
                                               " on your computer. Click Next to continue or Cancel to exit the setup.");
    EXPECT_FALSE(ControlEnabled(page, IDC_BACK));
    EXPECT_TRUE(ControlEnabled(page, IDCANCEL));
    // The pages grow with the screen's dots per inch (320 dialog units wide).
    RECT rect{};
    GetWindowRect(page, &rect);
    if (dpi >= 144)
        EXPECT_GT(rect.right - rect.left, 700);
    else
        EXPECT_LT(rect.right - rect.left, 700);
    shots.Take(page, "1-welcome");
    ClickControl(page, IDOK);

    page = WaitForPage(caption, {IDC_LICENSE_TEXT});
    if (page == nullptr)
        return nullptr;
    EXPECT_EQ(ControlText(page, IDC_LICENSE_TITLE), "License Agreement");
    EXPECT_EQ(ControlText(page, IDC_LICENSE_SUBTITLE), "Please read the following important information before continuing!");
    EXPECT_TRUE(WaitUntil([&] { return ControlText(page, IDC_LICENSE_TEXT).find(build.licenceHeading) == 0; }, 5000))
        << ControlText(page, IDC_LICENSE_TEXT).substr(0, 80);
    EXPECT_FALSE(ControlEnabled(page, IDOK));
    ClickControl(page, IDC_ACCEPT);
    EXPECT_TRUE(WaitUntil([&] { return ControlEnabled(page, IDOK); }, 5000));
    shots.Take(page, "2-licence");
    ClickControl(page, IDOK);

    page = WaitForPage(caption, {IDC_FOLDER_EDIT, IDC_DESTINATION_TITLE});
    if (page == nullptr)
        return nullptr;
    EXPECT_EQ(ControlText(page, IDC_DESTINATION_TITLE), "Select Destination Location");
    EXPECT_EQ(ControlText(page, IDC_FOLDER_SUBTITLE), "Where should " + name + " be installed?");
    EXPECT_EQ(ControlText(page, IDC_FOLDER_EDIT), InstallFolder(build.product));
    shots.Take(page, "3-destination");
    ClickControl(page, IDOK);

    page = WaitForPage(caption, {IDC_FOLDER_EDIT, IDC_START_MENU_TITLE});
    if (page == nullptr)
        return nullptr;
    EXPECT_EQ(ControlText(page, IDC_START_MENU_TITLE), "Select Start Menu Folder");
    EXPECT_EQ(ControlText(page, IDC_FOLDER_SUBTITLE), "Where should Setup place the program shortcuts?");
    EXPECT_EQ(ControlText(page, IDC_FOLDER_EDIT), name);
    shots.Take(page, "4-start-menu");
    ClickControl(page, IDOK);

    page = WaitForPage(caption, {IDC_TASKS_TITLE});
    if (page == nullptr)
        return nullptr;
    EXPECT_EQ(ControlText(page, IDC_TASKS_TITLE), "Select Additional Tasks");
    EXPECT_EQ(ControlText(page, IDC_TASKS_SUBTITLE), "Which additional tasks should be performed?");
    EXPECT_TRUE(ControlChecked(page, IDC_FIREWALL));
    EXPECT_TRUE(ControlChecked(page, IDC_DESKTOP_ICON));
    EXPECT_FALSE(ControlVisible(page, IDC_QUICK_LAUNCH_ICON));  // Wine reports Windows 7
    shots.Take(page, "5-tasks");
    ClickControl(page, IDOK);

    page = WaitForPage(caption, {IDC_SUMMARY});
    if (page == nullptr)
        return nullptr;
    EXPECT_EQ(ControlText(page, IDC_READY_TITLE), "Ready to Install");
    EXPECT_EQ(ControlText(page, IDC_READY_SUBTITLE), "Now Setup is ready to begin installation on your computer");
    EXPECT_EQ(ControlText(page, IDOK), "Install");
    EXPECT_EQ(ControlText(page, IDC_SUMMARY),
              "Destination location:\r\n      " + InstallFolder(build.product) + "\r\n\r\n" +
                  "Start Menu folder:\r\n      " + name + "\r\n\r\n" + build.tasksHeading + "\r\n      " +
                  "Additional Firewall setup:\r\n            Create Windows Firewall rules\r\n      " +
                  "Additionals Icons:\r\n            Create a desktop icon\r\n            ");
    shots.Take(page, "6-ready");
    return page;
}

// Install on the ready page, then the progress page until the finish page
// (ids) opens; returns the finish page and the texts the task label showed,
// and the progress page when asked.
HWND RunProgressPage(const Build& build, HWND ready, const Shots& shots, std::initializer_list<int> finishIds,
                     std::vector<std::string>* stageTexts, HWND* progressPage = nullptr)
{
    ClickControl(ready, IDOK);
    HWND page = WaitForPage(Caption(build), {IDC_PROGRESS_BAR});
    if (progressPage)
        *progressPage = page;
    if (page == nullptr)
        return nullptr;
    {
        CTextRecorder recorder(page, IDC_TASK_LABEL);
        EXPECT_EQ(ControlText(page, IDC_PROGRESS_TITLE), "Install");
        EXPECT_FALSE(ControlVisible(page, IDOK));
        EXPECT_TRUE(ControlVisible(page, IDCANCEL));
        EXPECT_FALSE(ControlEnabled(page, IDCANCEL));
        // Escape (and the close box) while the worker runs change nothing.
        PostCommand(page, IDCANCEL);
        PostMessageA(page, WM_CLOSE, 0, 0);
        WaitUntil([&] { return ControlText(page, IDC_TASK_LABEL) != "Task:"; }, 5000);
        shots.Take(page, "7-progress");
        EXPECT_TRUE(IsWindowVisible(page));
        HWND finish = WaitForPage(Caption(build), finishIds, 90000);
        *stageTexts = recorder.Texts();
        page = finish;
    }
    return page;
}

enum class FinishWith { FinishButton, EnterKey, LaunchCleared };

void CompleteInstall(const Build& build, DWORD dpi, FinishWith finishWith)
{
    ASSERT_TRUE(HaveDisplay());
    SetLogPixels(dpi);
    RecordShellOpenings();
    const Shots shots(build, dpi);
    const std::string& name = build.product.name;

    CSetupRun setup(PackedSetup(build.product));
    ASSERT_TRUE(setup.Started());
    HWND ready = DriveToReadyPage(build, shots, dpi);
    ASSERT_NE(ready, nullptr);
    std::vector<std::string> stages;
    HWND page = RunProgressPage(build, ready, shots, {IDC_SIDE_PICTURE, IDC_LAUNCH}, &stages);
    ASSERT_NE(page, nullptr);
    // Every text is a stage of the plan, in the plan's order; the stages
    // with pauses or device work last long enough to be seen for certain.
    const std::vector<std::string> plan = {"Task:", build.copyingText, "Installing kernel mode drivers...",
                                           "Installing main program module...", "Starting drivers...",
                                           "Creating start menu items...", "Finishing installation..."};
    EXPECT_EQ(MissingInOrder(plan, stages), "") << ::testing::PrintToString(stages);
    EXPECT_EQ(MissingInOrder(stages, {build.copyingText, "Installing kernel mode drivers...", "Finishing installation..."}),
              "")
        << ::testing::PrintToString(stages);

    EXPECT_EQ(ControlText(page, IDC_TITLE), "Completing " + name + " Setup Wizard.");
    EXPECT_EQ(ControlText(page, IDC_BODY),
              "Setup has finished the installation of " + name + " on your computer. Click Finish to exit.");
    EXPECT_EQ(ControlText(page, IDC_LAUNCH), "Launch " + name + " now.");
    EXPECT_EQ(ControlText(page, IDC_QUICK_START), build.quickStartText);
    EXPECT_EQ(ControlText(page, IDCANCEL), "Finish");
    for (int box : {IDC_LAUNCH, IDC_QUICK_START}) {
        EXPECT_TRUE(ControlVisible(page, box));
        EXPECT_TRUE(ControlChecked(page, box));
    }
    EXPECT_EQ(RedPixels(GetDlgItem(page, IDC_BODY)), 0);
    shots.Take(page, "8-finish");

    switch (finishWith) {
    case FinishWith::FinishButton:
        ClickControl(page, IDCANCEL);
        break;
    case FinishWith::EnterKey:
        PostCommand(page, IDOK);
        break;
    case FinishWith::LaunchCleared:
        ClickControl(page, IDC_LAUNCH);
        EXPECT_TRUE(WaitUntil([&] { return !ControlChecked(page, IDC_LAUNCH); }, 5000));
        ClickControl(page, IDCANCEL);
        break;
    }
    EXPECT_EQ(setup.Wait(60000), 0);

    const bool launched = ProductWindowShown(name, finishWith == FinishWith::LaunchCleared ? 2000 : 15000);
    EXPECT_EQ(launched, finishWith != FinishWith::LaunchCleared);
    // The quick-start page, opened minimised (show command 2).
    const std::vector<std::string> opened = ShellOpenings();
    ASSERT_EQ(opened.size(), 1u) << ::testing::PrintToString(opened);
    EXPECT_EQ(opened[0].rfind("2|", 0), 0u) << opened[0];
    EXPECT_NE(opened[0].find(build.quickStartUrl), std::string::npos) << opened[0];

    CheckInstalled(build.product);
}

// How a box shows its text: "nothing selected, first line 0" when it shows
// it from the top.
std::string BoxView(HWND dialog, int boxId)
{
    HWND box = GetDlgItem(dialog, boxId);
    DWORD_PTR selection = 0;
    DWORD_PTR firstLine = 0;
    SendMessageTimeoutA(box, EM_GETSEL, 0, 0, SMTO_ABORTIFHUNG, 2000, &selection);
    SendMessageTimeoutA(box, EM_GETFIRSTVISIBLELINE, 0, 0, SMTO_ABORTIFHUNG, 2000, &firstLine);
    const unsigned start = LOWORD(selection);
    const unsigned end = HIWORD(selection);
    return (start == end ? std::string("nothing selected")
                         : "selected " + std::to_string(start) + " to " + std::to_string(end)) +
           ", first line " + std::to_string(firstLine);
}

bool FocusComesTo(HWND dialog, int controlId)
{
    return WaitUntil([&] { return FocusedControl(dialog) == controlId; }, 5000);
}

// A user with the keyboard alone, every key a real key press on the display:
// Enter through the pages, Tab and Shift+Tab through the licence box (which
// they must not change), the arrows to accept, Space on the check boxes,
// Escape answered with No, and Enter in the summary box to install.
void InstallByKeyboard(const Build& build)
{
    ASSERT_TRUE(HaveDisplay());
    SetLogPixels(96);
    RecordShellOpenings();
    const Shots shots(build, 96, "keys");
    const std::string caption = Caption(build);
    const std::string& name = build.product.name;

    CSetupRun setup(PackedSetup(build.product));
    ASSERT_TRUE(setup.Started());
    HWND page = Welcome(build);
    ASSERT_NE(page, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return ControlEnabled(page, IDOK); }, 15000));
    ASSERT_EQ(PressKeys(page, "Return"), "");

    page = WaitForPage(caption, {IDC_LICENSE_TEXT});
    ASSERT_NE(page, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return ControlText(page, IDC_LICENSE_TEXT).find(build.licenceHeading) == 0; }, 5000));
    const std::string licence = ControlText(page, IDC_LICENSE_TEXT);
    EXPECT_GT(licence.size(), 500u);
    EXPECT_TRUE(FocusComesTo(page, IDC_LICENSE_TEXT));
    EXPECT_EQ(BoxView(page, IDC_LICENSE_TEXT), "nothing selected, first line 0");
    shots.Take(page, "2-licence");
    ASSERT_EQ(PressKeys(page, "Tab"), "");
    EXPECT_TRUE(FocusComesTo(page, IDC_DECLINE));
    EXPECT_EQ(ControlText(page, IDC_LICENSE_TEXT), licence);
    ASSERT_EQ(PressKeys(page, "shift+Tab x"), "");
    EXPECT_TRUE(FocusComesTo(page, IDC_LICENSE_TEXT));
    EXPECT_EQ(ControlText(page, IDC_LICENSE_TEXT), licence);
    EXPECT_EQ(BoxView(page, IDC_LICENSE_TEXT), "nothing selected, first line 0");
    ASSERT_EQ(PressKeys(page, "Tab Up"), "");
    EXPECT_TRUE(WaitUntil([&] { return ControlChecked(page, IDC_ACCEPT) && ControlEnabled(page, IDOK); }, 5000));
    EXPECT_FALSE(ControlChecked(page, IDC_DECLINE));
    EXPECT_EQ(FocusedControl(page), IDC_ACCEPT);
    EXPECT_EQ(ControlText(page, IDC_LICENSE_TEXT), licence);
    ASSERT_EQ(PressKeys(page, "Return"), "");

    // Tab goes once round the page and comes back to the folder.
    page = WaitForPage(caption, {IDC_FOLDER_EDIT, IDC_DESTINATION_TITLE});
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(FocusComesTo(page, IDC_FOLDER_EDIT));
    for (const int next : {IDC_BROWSE, IDC_BACK, IDOK, IDCANCEL, IDC_FOLDER_EDIT}) {
        ASSERT_EQ(PressKeys(page, "Tab"), "");
        EXPECT_TRUE(FocusComesTo(page, next)) << next;
    }
    ASSERT_EQ(PressKeys(page, "Return"), "");

    page = WaitForPage(caption, {IDC_FOLDER_EDIT, IDC_START_MENU_TITLE});
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(FocusComesTo(page, IDC_FOLDER_EDIT));
    ASSERT_EQ(PressKeys(page, "Escape"), "");
    HWND box = WaitForDialogWithControl(name, MESSAGE_BOX_TEXT, 10000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(MessageBoxText(box), "Are you sure you wish to cancel " + name + " installation?");
    ASSERT_EQ(PressKeys(box, "n"), "");
    ASSERT_TRUE(WaitForWindowGone(box, 5000));
    ASSERT_EQ(PressKeys(page, "Return"), "");

    page = WaitForPage(caption, {IDC_TASKS_TITLE});
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(FocusComesTo(page, IDC_FIREWALL));
    ASSERT_EQ(PressKeys(page, "space"), "");
    EXPECT_TRUE(WaitUntil([&] { return !ControlChecked(page, IDC_FIREWALL); }, 5000));
    ASSERT_EQ(PressKeys(page, "space Tab"), "");
    EXPECT_TRUE(FocusComesTo(page, IDC_DESKTOP_ICON));
    EXPECT_TRUE(ControlChecked(page, IDC_FIREWALL));
    ASSERT_EQ(PressKeys(page, "Return"), "");

    // The summary from its first line, also when Tab brings the focus to it.
    page = WaitForPage(caption, {IDC_SUMMARY});
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(FocusComesTo(page, IDOK));
    EXPECT_EQ(ControlText(page, IDC_SUMMARY).rfind("Destination location:\r\n      " + InstallFolder(build.product), 0),
              0u);
    EXPECT_EQ(BoxView(page, IDC_SUMMARY), "nothing selected, first line 0");
    shots.Take(page, "6-ready");
    ASSERT_EQ(PressKeys(page, "Tab Tab"), "");
    EXPECT_TRUE(FocusComesTo(page, IDC_SUMMARY));
    EXPECT_EQ(BoxView(page, IDC_SUMMARY), "nothing selected, first line 0");
    ASSERT_EQ(PressKeys(page, "Return"), "");

    page = WaitForPage(caption, {IDC_SIDE_PICTURE, IDC_LAUNCH}, 120000);
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(FocusComesTo(page, IDC_LAUNCH));
    ASSERT_EQ(PressKeys(page, "Tab space"), "");
    EXPECT_TRUE(WaitUntil([&] { return !ControlChecked(page, IDC_QUICK_START); }, 5000));
    EXPECT_TRUE(ControlChecked(page, IDC_LAUNCH));
    ASSERT_EQ(PressKeys(page, "Return"), "");
    EXPECT_EQ(setup.Wait(60000), 0);

    EXPECT_TRUE(ProductWindowShown(name, 15000));
    EXPECT_TRUE(ShellOpenings(2000).empty());
    CheckInstalled(build.product);
}

// The server setup of the test build with its real package: its firewall
// step faults, waits or fails as the environment says, and it ends itself
// where CallInjector.h's variables say.
std::string TestBuildSetup()
{
    SetupRecipe recipe;
    recipe.stub = BinPath("velloran_setup_faulting.exe");
    return MakeSetup(Server(), recipe, MakeTempDir("firewall"));
}

// An older readme in the install folder: the run replaces it and keeps the
// old bytes in a backup until the commit.
void PlaceOlderReadme()
{
    const std::string install = InstallFolder(Server());
    ASSERT_TRUE(CreateDirectoryA(install.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(install + "\\readme.txt", "an older readme"));
}

std::vector<std::string> BackupsLeft()
{
    std::vector<std::string> found;
    const std::string suffix = ".backup";
    for (const std::string& folder : {InstallFolder(Server()), SystemDir(), SystemDir() + "\\drivers"}) {
        for (const std::string& name : ListFolder(folder)) {
            if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                found.push_back(folder + "\\" + name);
        }
    }
    return found;
}

// The finish page of a run that succeeded; Finish with nothing to launch.
// The setup ends with 0, the run committed: no backup is left, the readme
// holds the new bytes.
void FinishSucceededRun(HWND page, CSetupRun& setup)
{
    EXPECT_EQ(ControlText(page, IDC_TITLE), "Completing Velloran Setup Wizard.");
    EXPECT_EQ(ControlText(page, IDC_BODY),
              "Setup has finished the installation of Velloran on your computer. Click Finish to exit.");
    ClickControl(page, IDC_LAUNCH);
    ClickControl(page, IDC_QUICK_START);
    EXPECT_TRUE(WaitUntil([&] { return !ControlChecked(page, IDC_LAUNCH) && !ControlChecked(page, IDC_QUICK_START); },
                          5000));
    ClickControl(page, IDCANCEL);
    EXPECT_EQ(setup.Wait(60000), 0);
    EXPECT_EQ(BackupsLeft(), std::vector<std::string>());
    EXPECT_EQ(ReadFileBytes(InstallFolder(Server()) + "\\readme.txt"), PayloadBytes(Server(), "readme.txt"));
}

}  // namespace

TEST(WizardComplete, ServerAt96WithFinish)
{
    CompleteInstall(ServerBuild(), 96, FinishWith::FinishButton);
}

TEST(WizardComplete, ServerAt144WithEnter)
{
    CompleteInstall(ServerBuild(), 144, FinishWith::EnterKey);
}

TEST(WizardComplete, ClientAt96WithoutLaunching)
{
    CompleteInstall(ClientBuild(), 96, FinishWith::LaunchCleared);
}

TEST(WizardComplete, ClientAt144WithFinish)
{
    CompleteInstall(ClientBuild(), 144, FinishWith::FinishButton);
}

TEST(WizardEnds, CancelOnTheLicencePageAsksAndLeavesTheLog)
{
    // The Rich Edit library comes from the system folder: copies planted
    // beside the setup and in its current folder are never loaded.
    ASSERT_TRUE(HaveDisplay());
    const std::string folder = MakeTempDir("planted");
    const std::string current = MakeTempDir("plantedcwd");
    const std::string setupPath = folder + "\\" + ServerBuild().product.setup + ".exe";
    ASSERT_TRUE(CopyFileA(PackedSetup(ServerBuild().product).c_str(), setupPath.c_str(), FALSE));
    const CPlantedLibraries planted({"riched32"}, {folder, current});
    ASSERT_TRUE(planted.Planted());
    DeleteFileA(TempLog(ServerBuild().product).c_str());

    CSetupRun setup(setupPath, current);
    HWND page = Welcome(ServerBuild());
    ASSERT_NE(page, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return ControlEnabled(page, IDOK); }, 15000));
    ClickControl(page, IDOK);
    page = WaitForPage(Caption(ServerBuild()), {IDC_LICENSE_TEXT});
    EXPECT_EQ(CPlantedLibraries::Marks(), "");
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return ControlText(page, IDC_LICENSE_TEXT).find(ServerBuild().licenceHeading) == 0; }, 5000));

    // No keeps the page; Yes ends the run.
    for (const int answer : {IDNO, IDYES}) {
        ClickControl(page, IDCANCEL);
        HWND box = WaitForDialogWithControl(ServerBuild().product.name, MESSAGE_BOX_TEXT, 10000);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(MessageBoxText(box), "Are you sure you wish to cancel Velloran installation?");
        ClickControl(box, answer);
        ASSERT_TRUE(WaitForWindowGone(box, 5000));
        if (answer == IDNO) {
            Sleep(300);
            EXPECT_TRUE(IsWindow(page) && IsWindowVisible(page));
        }
    }
    EXPECT_EQ(setup.Wait(15000), 0);
    EXPECT_TRUE(FileExists(TempLog(ServerBuild().product)));
    EXPECT_FALSE(DirectoryExists(InstallFolder(ServerBuild().product)));
    EXPECT_EQ(CPlantedLibraries::Marks(), "");
}

TEST(WizardEnds, ADamagedPackageOffersOnlyExit)
{
    ASSERT_TRUE(HaveDisplay());
    const Shots shots(ClientBuild(), 96, "damaged");
    const std::string folder = MakeTempDir("stub");
    CMessageBoxWatcher boxes(ClientBuild().product.name, IDNO);
    CSetupRun setup(StubSetup(ClientBuild().product, folder));
    HWND page = Welcome(ClientBuild());
    ASSERT_NE(page, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return ControlText(page, IDCANCEL) == "Exit"; }, 15000));
    EXPECT_EQ(ControlText(page, IDC_BODY), "Installation package is damaged! Please download the latest version of "
                                           "Velloran Client from our web site and try again!");
    EXPECT_FALSE(ControlEnabled(page, IDOK));
    Sleep(300);
    EXPECT_GT(RedPixels(GetDlgItem(page, IDC_BODY)), 20);
    shots.Take(page, "1-welcome");
    ClickControl(page, IDCANCEL);
    EXPECT_EQ(setup.Wait(15000), 0);
    boxes.Stop();
    EXPECT_TRUE(boxes.Texts().empty()) << ::testing::PrintToString(boxes.Texts());
}

TEST(WizardEnds, AfterAnInterruptedRunTheWelcomePageSaysItWasUndone)
{
    // A silent run of the test build ends itself after its tenth journal
    // record, in the middle of copying files; the wizard started next has
    // undone it before its first page.
    ASSERT_TRUE(HaveDisplay());
    const Build& build = ServerBuild();
    const Shots shots(build, 96, "interrupted");
    const CMachineSnapshot before = CMachineSnapshot::Take(InstallScope(build.product));
    {
        const ScopedEnvironment kill("VELLORAN_KILL_FLUSH", "10");
        ASSERT_EQ(RunSetup(TestBuildSetup(), "-silent -licenseaccept"), 0xDEAD);
    }
    ASSERT_TRUE(FileExists(JournalPath(build.product)));

    CMessageBoxWatcher boxes(build.product.name, IDYES);
    CSetupRun setup(PackedSetup(build.product));
    HWND page = Welcome(build);
    ASSERT_NE(page, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return ControlEnabled(page, IDOK); }, 15000));
    EXPECT_EQ(ControlText(page, IDC_BODY),
              "An earlier setup of Velloran was interrupted before it had finished. Setup has undone what it had "
              "changed.\n\nThe Setup Wizard will allow you to install Velloran Version 6.1 on your computer. Click "
              "Next to continue or Cancel to exit the setup.");
    shots.Take(page, "1-welcome");
    const std::vector<std::string> changed = before.DifferencesTo(CMachineSnapshot::Take(InstallScope(build.product)));
    EXPECT_TRUE(changed.empty()) << ::testing::PrintToString(changed);
    ClickControl(page, IDCANCEL);
    EXPECT_EQ(setup.Wait(15000), 0);
    boxes.Stop();
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Are you sure you wish to cancel Velloran installation?"});
}

TEST(WizardEnds, ANewerRunningProductRefusesTheInstallation)
{
    ASSERT_TRUE(HaveDisplay());
    const Shots shots(ServerBuild(), 96, "newer-running");
    CConsoleProduct newer;
    ASSERT_TRUE(newer.Start(BinPath("velloransrv_newer.exe"), SAMPLE_SERVER_EVENT));
    CSetupRun setup(PackedSetup(ServerBuild().product));
    HWND page = Welcome(ServerBuild());
    ASSERT_NE(page, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return ControlText(page, IDCANCEL) == "Exit"; }, 15000));
    EXPECT_EQ(ControlText(page, IDC_BODY),
              "You are trying to install older version of the software on your computer. Before installing version "
              "6.1 you need to uninstall 6.1.0.1 first.\n");
    EXPECT_FALSE(ControlEnabled(page, IDOK));
    shots.Take(page, "1-welcome");
    ClickControl(page, IDCANCEL);
    EXPECT_EQ(setup.Wait(15000), 0);
    EXPECT_FALSE(DirectoryExists(InstallFolder(ServerBuild().product)));
}

TEST(WizardFailure, TheFinishPageReportsItAndTheLogIsOpened)
{
    ASSERT_TRUE(HaveDisplay());
    RecordShellOpenings();
    const Shots shots(ServerBuild(), 96, "failed");
    const std::string folder = MakeTempDir("failing");
    const std::string setupPath = SetupWithout(ServerBuild().product, {"nexbus.inf"}, folder);
    DeleteFileA(TempLog(ServerBuild().product).c_str());

    CMessageBoxWatcher boxes("Velloran", IDOK);
    CSetupRun setup(setupPath);
    HWND ready = DriveToReadyPage(ServerBuild(), shots, 96);
    ASSERT_NE(ready, nullptr);
    std::vector<std::string> stages;
    HWND progress = nullptr;
    HWND page = RunProgressPage(ServerBuild(), ready, shots, {IDC_SIDE_PICTURE, IDC_LAUNCH}, &stages, &progress);
    ASSERT_NE(page, nullptr);
    // The drivers step fails within a few milliseconds, too fast to be seen
    // for sure on a loaded machine; the failure path's stages last long enough.
    EXPECT_EQ(MissingInOrder(stages, {"Copying files is in progress...", "Stopping services...",
                                      "Removing installed services...", "Clearing registry entries...",
                                      "Deleting created files...", "Restoring overwritten files...",
                                      "Deleting directory...", "Finishing installation..."}),
              "")
        << ::testing::PrintToString(stages);

    EXPECT_EQ(ControlText(page, IDC_TITLE), "Setup Wizard did not complete the installation of Velloran on your computer.");
    EXPECT_EQ(ControlText(page, IDC_BODY),
              "Error occured while installing Velloran on your computer. Setup has restored your system to the "
              "original state. Please download the latest version of Velloran from our web site and try again!");
    EXPECT_FALSE(ControlVisible(page, IDC_LAUNCH));
    EXPECT_FALSE(ControlVisible(page, IDC_QUICK_START));
    Sleep(300);
    EXPECT_GT(RedPixels(GetDlgItem(page, IDC_BODY)), 20);
    shots.Take(page, "8-finish");
    // Enter, like Finish, launches nothing after a failure.
    PostCommand(page, IDOK);
    EXPECT_EQ(setup.Wait(60000), -10);
    boxes.Stop();

    const std::vector<std::string> texts = boxes.Texts();
    ASSERT_EQ(texts.size(), 2u) << ::testing::PrintToString(texts);
    EXPECT_EQ(texts[0].rfind("Error during installation.\nError code = 0x", 0), 0u) << texts[0];
    EXPECT_NE(texts[0].find("\nError arg0 = 0x10000260"), std::string::npos) << texts[0];
    EXPECT_EQ(boxes.Owners()[0], progress) << "the error's box is not the progress page's";
    EXPECT_EQ(texts[1], "To resolve installation issue please send installation log file [" +
                            TempLog(ServerBuild().product) + "] to our support team.");
    const std::vector<std::string> opened = ShellOpenings();
    ASSERT_EQ(opened.size(), 1u) << ::testing::PrintToString(opened);
    EXPECT_EQ(opened[0].rfind("5|", 0), 0u) << opened[0];
    EXPECT_NE(opened[0].find(ServerBuild().product.logFile), std::string::npos) << opened[0];
    EXPECT_FALSE(ProductWindowShown("Velloran", 1000));
    EXPECT_FALSE(DirectoryExists(InstallFolder(ServerBuild().product)));
    EXPECT_TRUE(FileExists(TempLog(ServerBuild().product)));
}

TEST(WizardRestart, LaterEndsWithoutLaunchingAnything)
{
    // A program file held open as a running program holds its image: the
    // installation completes at the next restart.
    ASSERT_TRUE(HaveDisplay());
    RecordShellOpenings();
    const Shots shots(ClientBuild(), 96, "restart");
    const std::string install = InstallFolder(ClientBuild().product);
    ASSERT_TRUE(CreateDirectoryA(install.c_str(), nullptr));
    const std::string held = install + "\\readme.txt";
    ASSERT_TRUE(WriteFileBytes(held, "an older readme"));
    FileHolder holder(held, FILE_SHARE_READ);
    ASSERT_TRUE(holder.holding());

    CSetupRun setup(PackedSetup(ClientBuild().product));
    HWND ready = DriveToReadyPage(ClientBuild(), shots, 96);
    ASSERT_NE(ready, nullptr);
    std::vector<std::string> stages;
    HWND page = RunProgressPage(ClientBuild(), ready, shots, {IDC_SIDE_PICTURE, IDC_RESTART_LATER}, &stages);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(std::find(stages.begin(), stages.end(), "Starting drivers..."), stages.end());

    EXPECT_EQ(ControlText(page, IDC_TITLE), "Completing Velloran Client Setup Wizard.");
    EXPECT_EQ(ControlText(page, IDC_BODY), "To complete the installation of Velloran Client, the Setup must restart "
                                           "your computer. Would you like to restart now?");
    EXPECT_EQ(ControlText(page, IDC_RESTART_NOW), "Yes, restart  the computer now.");
    EXPECT_TRUE(ControlChecked(page, IDC_RESTART_NOW));
    EXPECT_FALSE(ControlChecked(page, IDC_RESTART_LATER));
    EXPECT_EQ(RedPixels(GetDlgItem(page, IDC_TITLE)), 0);
    shots.Take(page, "8-finish");
    ClickControl(page, IDC_RESTART_LATER);
    EXPECT_TRUE(WaitUntil([&] { return ControlChecked(page, IDC_RESTART_LATER); }, 5000));
    ClickControl(page, IDCANCEL);
    EXPECT_EQ(setup.Wait(60000), 0);
    holder.Release();

    EXPECT_FALSE(ProductWindowShown("Velloran Client", 2000));
    EXPECT_TRUE(ShellOpenings(2000).empty());
    const std::vector<std::string> lines = ReadLines(install + "\\" + ClientBuild().product.logFile);
    EXPECT_EQ(MissingInOrder(lines, {"Warning: === Reboot required to complete operation ==="}), "");
    EXPECT_EQ(std::find(lines.begin(), lines.end(), "Restart System"), lines.end());
}

TEST(WizardFailure, WithAFileInUseTheRestartPageReportsIt)
{
    // The run replaces a file, then the missing entry fails it; while the
    // error box waits, another program opens the replaced file, so the
    // rollback can put the old one back only at the restart. The restart
    // page then tells of the failure in its red title.
    ASSERT_TRUE(HaveDisplay());
    RecordShellOpenings();
    const Shots shots(ServerBuild(), 96, "failed-restart");
    const std::string install = InstallFolder(ServerBuild().product);
    ASSERT_TRUE(CreateDirectoryA(install.c_str(), nullptr));
    const std::string held = install + "\\license.txt";
    ASSERT_TRUE(WriteFileBytes(held, "an older licence"));
    const std::string folder = MakeTempDir("failingrestart");
    const std::string setupPath = SetupWithout(ServerBuild().product, {"nexbus.inf"}, folder);

    std::unique_ptr<FileHolder> holder;
    CMessageBoxWatcher boxes("Velloran", IDOK, [&](const std::string& text) {
        if (!holder && text.rfind("Error during installation.", 0) == 0)
            holder = std::make_unique<FileHolder>(held, FILE_SHARE_READ);
    });
    CSetupRun setup(setupPath);
    HWND ready = DriveToReadyPage(ServerBuild(), shots, 96);
    ASSERT_NE(ready, nullptr);
    std::vector<std::string> stages;
    HWND page = RunProgressPage(ServerBuild(), ready, shots, {IDC_SIDE_PICTURE, IDC_RESTART_LATER}, &stages);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(ControlText(page, IDC_TITLE), "Setup Wizard did not complete the installation of Velloran on your computer.");
    EXPECT_EQ(ControlText(page, IDC_BODY),
              "Error occured while installing Velloran on your computer. Setup has restored your system to the "
              "original state, but some files were in use by operation system. You need to restart your computer to "
              "complete the procedure. After this please download the latest version of Velloran from our web site "
              "and try the installation again!");
    EXPECT_TRUE(ControlChecked(page, IDC_RESTART_NOW));
    Sleep(300);
    EXPECT_GT(RedPixels(GetDlgItem(page, IDC_TITLE)), 20);
    EXPECT_EQ(RedPixels(GetDlgItem(page, IDC_BODY)), 0);
    shots.Take(page, "8-finish");
    ClickControl(page, IDC_RESTART_LATER);
    EXPECT_TRUE(WaitUntil([&] { return ControlChecked(page, IDC_RESTART_LATER); }, 5000));
    PostCommand(page, IDOK);  // Enter ends it like Finish
    EXPECT_EQ(setup.Wait(60000), -10);
    boxes.Stop();
    ASSERT_TRUE(holder && holder->holding());
    holder.reset();

    ASSERT_EQ(boxes.Texts().size(), 2u) << ::testing::PrintToString(boxes.Texts());
    const std::vector<std::string> opened = ShellOpenings();
    ASSERT_EQ(opened.size(), 1u) << ::testing::PrintToString(opened);
    EXPECT_NE(opened[0].find(ServerBuild().product.logFile), std::string::npos) << opened[0];
    const std::vector<std::string> lines = ReadLines(TempLog(ServerBuild().product));
    EXPECT_EQ(std::find(lines.begin(), lines.end(), "Restart System"), lines.end());
}

TEST(WizardKeys, ServerInstallsFromTheKeyboard)
{
    InstallByKeyboard(ServerBuild());
}

TEST(WizardKeys, ClientInstallsFromTheKeyboard)
{
    InstallByKeyboard(ClientBuild());
}

// A processor fault in the firewall step, the plan done and nothing
// committed: the run rolls back like any failure, the exception's box is
// the progress page's, and the machine is as before.
TEST(WizardFirewall, AFaultInTheStepRollsTheRunBack)
{
    ASSERT_TRUE(HaveDisplay());
    RecordShellOpenings();
    const Shots shots(ServerBuild(), 96, "firewall-fault");
    const std::string setupPath = TestBuildSetup();
    const ScopedEnvironment fault("VELLORAN_FAULT_AT", "firewall");
    const ScopedEnvironment pauses("VELLORAN_PAUSE_PERCENT", "0");
    const CMachineSnapshot before = CMachineSnapshot::Take(InstallScope(Server()));

    CMessageBoxWatcher boxes("Velloran", IDOK);
    CSetupRun setup(setupPath);
    HWND ready = DriveToReadyPage(ServerBuild(), shots, 96);
    ASSERT_NE(ready, nullptr);
    std::vector<std::string> stages;
    HWND progress = nullptr;
    HWND page = RunProgressPage(ServerBuild(), ready, shots, {IDC_SIDE_PICTURE, IDC_LAUNCH}, &stages, &progress);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(ControlText(page, IDC_TITLE), "Setup Wizard did not complete the installation of Velloran on your computer.");
    EXPECT_EQ(ControlText(page, IDC_BODY),
              "Error occured while installing Velloran on your computer. Setup has restored your system to the "
              "original state. Please download the latest version of Velloran from our web site and try again!");
    EXPECT_FALSE(ControlVisible(page, IDC_LAUNCH));
    EXPECT_FALSE(ControlVisible(page, IDC_QUICK_START));
    shots.Take(page, "8-finish");
    ClickControl(page, IDCANCEL);
    EXPECT_EQ(setup.Wait(60000), -10);
    boxes.Stop();

    const std::vector<std::string> texts = boxes.Texts();
    ASSERT_EQ(texts.size(), 2u) << ::testing::PrintToString(texts);
    // The exception's box has no owner: the fault may have hit anywhere,
    // the page's window among what it could have left in a bad state.
    EXPECT_EQ(texts[0].rfind("Exception during installation!\nException code = 0xc0000005\n", 0), 0u) << texts[0];
    EXPECT_EQ(texts[1].rfind("To resolve installation issue please send installation log file [", 0), 0u) << texts[1];
    const std::vector<std::string> lines = ReadLines(TempLog(Server()));
    EXPECT_EQ(MissingInOrder(lines, {"Create Firewall rules", texts[0], "=== Rollback process ==="}), "");
    const std::vector<std::string> differences = before.DifferencesTo(CMachineSnapshot::Take(InstallScope(Server())));
    EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
}

// The firewall step takes 15 s: the progress page waits for the worker's
// final word with its bar at the end, then the finish page tells of a
// complete installation.
TEST(WizardFirewall, ASlowStepKeepsTheProgressPageUntilTheWorkerIsDone)
{
    ASSERT_TRUE(HaveDisplay());
    const Shots shots(ServerBuild(), 96, "firewall-slow");
    const std::string caption = Caption(ServerBuild());
    const std::string setupPath = TestBuildSetup();
    PlaceOlderReadme();
    const ScopedEnvironment delayAt("VELLORAN_DELAY_AT", "firewall");
    const ScopedEnvironment delay("VELLORAN_DELAY_MS", "15000");
    const ScopedEnvironment pauses("VELLORAN_PAUSE_PERCENT", "0");
    DeleteFileA(TempLog(Server()).c_str());

    CSetupRun setup(setupPath);
    HWND ready = DriveToReadyPage(ServerBuild(), shots, 96);
    ASSERT_NE(ready, nullptr);
    ClickControl(ready, IDOK);
    HWND progress = WaitForPage(caption, {IDC_PROGRESS_BAR});
    ASSERT_NE(progress, nullptr);
    // The wait begins right after the log names the program the step lets through.
    const std::string authorized = "Authorized appication: " + SystemDir() + "\\velloransrv.exe";
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::vector<std::string> lines = ReadLines(TempLog(Server()));
            return std::find(lines.begin(), lines.end(), authorized) != lines.end();
        },
        60000));
    const DWORD stepStart = GetTickCount();
    for (DWORD elapsed = 0; elapsed < 12000; elapsed = GetTickCount() - stepStart) {
        ASSERT_TRUE(IsWindowVisible(progress)) << "the progress page went after " << elapsed << " ms";
        ASSERT_EQ(WaitForPage(caption, {IDC_SIDE_PICTURE}, 0), nullptr) << "the finish page came after " << elapsed << " ms";
        Sleep(250);
    }
    DWORD_PTR position = 0;
    SendMessageTimeoutA(GetDlgItem(progress, IDC_PROGRESS_BAR), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &position);
    EXPECT_EQ(position, 100u);
    shots.Take(progress, "7-progress-waiting");

    HWND page = WaitForPage(caption, {IDC_SIDE_PICTURE, IDC_LAUNCH}, 30000);
    ASSERT_NE(page, nullptr);
    EXPECT_GE(GetTickCount() - stepStart, 14000u);
    FinishSucceededRun(page, setup);
    CheckInstalled(Server());
}

// The firewall step fails on its own: a warning in the log, and the
// installation is complete and committed.
TEST(WizardFirewall, AFailingStepIsAWarningAndTheRunCommits)
{
    ASSERT_TRUE(HaveDisplay());
    const Shots shots(ServerBuild(), 96, "firewall-failing");
    const std::string setupPath = TestBuildSetup();
    PlaceOlderReadme();
    const ScopedEnvironment failure("VELLORAN_FAIL_AT", "firewall");
    const ScopedEnvironment pauses("VELLORAN_PAUSE_PERCENT", "0");

    CMessageBoxWatcher boxes("Velloran", IDOK);
    CSetupRun setup(setupPath);
    HWND ready = DriveToReadyPage(ServerBuild(), shots, 96);
    ASSERT_NE(ready, nullptr);
    std::vector<std::string> stages;
    HWND page = RunProgressPage(ServerBuild(), ready, shots, {IDC_SIDE_PICTURE, IDC_LAUNCH}, &stages);
    ASSERT_NE(page, nullptr);
    FinishSucceededRun(page, setup);
    boxes.Stop();
    EXPECT_TRUE(boxes.Texts().empty()) << ::testing::PrintToString(boxes.Texts());

    const std::string install = InstallFolder(Server());
    const std::vector<std::string> lines = ReadLines(install + "\\" + Server().logFile);
    EXPECT_EQ(MissingInOrder(lines, {"Create Firewall rules", "Authorized appication: " + SystemDir() + "\\velloransrv.exe",
                                     "=== Error creating firewall rules ===",
                                     "Error during creating firewall rules.\nError code = 0x0000001f\n" +
                                         Arg0Text(0x1000, 9999)}),
              "")
        << ::testing::PrintToString(lines);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string("Firewall rules was created succesful")), 0);
    EXPECT_FALSE(FileExists(TempLog(Server())));
    EXPECT_EQ(ReadFileBytes(install + "\\velloran.exe"), PayloadBytes(Server(), "velloran.exe"));
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE,
                             "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + Server().uninstallKey));
}
