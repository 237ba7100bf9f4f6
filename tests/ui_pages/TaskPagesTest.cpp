// The additional-tasks page and the ready page: the three check boxes and
// what Next, Back and Cancel leave in the application's flags, the Quick
// Launch rule of the Windows version, and the summary the ready page shows,
// byte for byte, composed from the build's own string table.
#include "app/InstallApp.h"
#include "res/resource.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UiAutomation.h"
#include "tests/ui_pages/PageDriver.h"
#include "ui/AdditionalTaskDlg.h"
#include "ui/ReadyDlg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace pagetest;
using namespace testsupport;

namespace {

#ifdef UI_PAGES_CLIENT
const char INTRO[] = "Select additional tasks you would like Setup to perform while installing, then click Next";
const char TASKS_HEADING[] = "Additional Tasks:";
#else
const char INTRO[] =
    "Select the additional task you would like Setup to perform while installing, then click Next";
const char TASKS_HEADING[] = "Additional Task:";
#endif
const int STATIC_ID = 65535;

std::string CancelQuestion()
{
    return std::string("Are you sure you wish to cancel ") + PRODUCT + " installation?";
}

std::string Folders()
{
    return std::string("Destination location:\r\n      C:\\Program Files\\") + PRODUCT +
           "\r\n\r\nStart Menu folder:\r\n      " + PRODUCT + "\r\n\r\n";
}

bool IsVista()
{
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExA(&version);
#pragma GCC diagnostic pop
    return version.dwMajorVersion == 6 && version.dwMinorVersion == 0;
}

struct TasksFixture {
    CInstallApp app;
    RECT shared{};
    CAdditionalTaskDlg tasks;
    CReadyDlg ready;

    TasksFixture()
    {
        app.choices.destinationFolder = std::string("C:\\Program Files\\") + PRODUCT;
        app.choices.startMenuFolder = PRODUCT;
        tasks.SetFlags(&app.choices.desktopIcon, &app.choices.quickLaunchIcon, &app.choices.firewallRules);
        tasks.SetSharedRect(&shared);
        ready.SetSharedRect(&shared);
    }

    // The ready page after a Next from the tasks page: its summary, then Back.
    std::string SummaryShown()
    {
        ready.SetSummary(app.ComposeSummary());
        std::string summary;
        const INT_PTR code = RunPage(ready, IDC_SUMMARY, [&](HWND w) {
            RECT now{};
            GetWindowRect(w, &now);
            EXPECT_EQ(now.top, shared.top);
            EXPECT_EQ(now.left, shared.left);
            EXPECT_EQ(WindowText(w), Caption());
            EXPECT_EQ(ControlText(w, IDC_READY_TITLE), "Ready to Install");
            EXPECT_EQ(ControlText(w, IDC_READY_SUBTITLE), "Now Setup is ready to begin installation on your computer");
            EXPECT_EQ(ControlText(w, IDOK), "Install");
            summary = ControlText(w, IDC_SUMMARY);
            ClickControl(w, IDC_BACK);
        });
        EXPECT_EQ(code, 1000);
        return summary;
    }
};

}  // namespace

TEST(TasksPage, OnWindows7QuickLaunchIsHiddenAndBackNextAndCancelKeepWhatTheySay)
{
    ASSERT_FALSE(IsVista());  // Wine's default is Windows 7
    TasksFixture f;
    INT_PTR code = RunPage(f.tasks, IDC_FIREWALL, [&](HWND w) {
        EXPECT_EQ(WindowText(w), Caption());
        EXPECT_EQ(ControlText(w, IDC_TASKS_TITLE), "Select Additional Tasks");
        EXPECT_EQ(ControlText(w, IDC_TASKS_SUBTITLE), "Which additional tasks should be performed?");
        const std::vector<std::string> statics = TextsOfControls(w, STATIC_ID);
        EXPECT_NE(std::find(statics.begin(), statics.end(), INTRO), statics.end());
        EXPECT_EQ(ControlText(w, IDC_FIREWALL_GROUP), "Firewall settings");
        EXPECT_EQ(ControlText(w, IDC_ICONS_GROUP), "Additional icon");
        EXPECT_TRUE(ControlChecked(w, IDC_FIREWALL));
        EXPECT_TRUE(ControlChecked(w, IDC_DESKTOP_ICON));
        EXPECT_FALSE(ControlVisible(w, IDC_QUICK_LAUNCH_ICON));
        EXPECT_FALSE(ControlEnabled(w, IDC_QUICK_LAUNCH_ICON));
        ClickControl(w, IDC_DESKTOP_ICON);
        WaitUntil([&] { return !ControlChecked(w, IDC_DESKTOP_ICON); }, 2000);
        ClickControl(w, IDC_BACK);
    });
    EXPECT_EQ(code, 1000);
    EXPECT_EQ(f.app.choices.desktopIcon, 0);
    EXPECT_EQ(f.app.choices.quickLaunchIcon, 0);
    EXPECT_EQ(f.app.choices.firewallRules, 1);
    EXPECT_EQ(f.shared.bottom, 0);

    code = RunPage(f.tasks, IDC_FIREWALL, [&](HWND w) {
        EXPECT_FALSE(ControlChecked(w, IDC_DESKTOP_ICON));
        ClickControl(w, IDC_FIREWALL);
        WaitUntil([&] { return !ControlChecked(w, IDC_FIREWALL); }, 2000);
        EXPECT_EQ(ClickAndAnswer(w, IDCANCEL, IDNO), CancelQuestion());
        Sleep(200);
        EXPECT_TRUE(IsWindowVisible(w));
        EXPECT_FALSE(ControlChecked(w, IDC_FIREWALL));
        EXPECT_EQ(ClickAndAnswer(w, IDCANCEL, IDYES), CancelQuestion());
    });
    EXPECT_EQ(code, 2);
    EXPECT_EQ(f.app.choices.firewallRules, 1);  // a cancelled page writes nothing

    RECT placed{};
    code = RunPage(f.tasks, IDC_FIREWALL, [&](HWND w) {
        EXPECT_TRUE(ControlChecked(w, IDC_FIREWALL));
        SetWindowPos(w, nullptr, 70, 80, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        GetWindowRect(w, &placed);
        ClickControl(w, IDOK);
    });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(f.shared.top, placed.top);
    EXPECT_EQ(f.shared.bottom, placed.bottom);

    EXPECT_EQ(f.SummaryShown(), Folders() + TASKS_HEADING +
                                    "\r\n      Additional Firewall setup:\r\n            Create Windows Firewall "
                                    "rules\r\n      ");

    // Back on the tasks page, all boxes cleared: only the folders remain.
    code = RunPage(f.tasks, IDC_FIREWALL, [&](HWND w) {
        ClickControl(w, IDC_FIREWALL);
        WaitUntil([&] { return !ControlChecked(w, IDC_FIREWALL); }, 2000);
        ClickControl(w, IDOK);
    });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(f.SummaryShown(), Folders());
}

// The client's wording of this summary is pinned natively; one build is
// enough for the version rule.
#ifndef UI_PAGES_CLIENT
TEST(TasksPage, OnWindowsVistaQuickLaunchIsOfferedAndSummarised)
{
    if (!IsVista()) {
        // The version is read when a process starts: ask Wine for Vista and
        // run this test again in a new process.
        ASSERT_EQ(RunProcess("winecfg.exe /v vista", 60000), 0);
        char self[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        const std::string command =
            std::string("\"") + self + "\" --gtest_filter=TasksPage.OnWindowsVistaQuickLaunchIsOfferedAndSummarised";
        EXPECT_EQ(RunProcess(command, 120000), 0);
        return;
    }
    TasksFixture f;
    INT_PTR code = RunPage(f.tasks, IDC_FIREWALL, [&](HWND w) {
        EXPECT_TRUE(ControlVisible(w, IDC_QUICK_LAUNCH_ICON));
        EXPECT_TRUE(ControlEnabled(w, IDC_QUICK_LAUNCH_ICON));
        EXPECT_TRUE(ControlChecked(w, IDC_QUICK_LAUNCH_ICON));
        ClickControl(w, IDOK);
    });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(f.app.choices.quickLaunchIcon, 1);
    EXPECT_EQ(f.SummaryShown(), Folders() + TASKS_HEADING +
                                    "\r\n      Additional Firewall setup:\r\n            Create Windows Firewall "
                                    "rules\r\n      Additionals Icons:\r\n            Create a desktop icon\r\n  "
                                    "          Create a Quick Launch icon");

    // Only the Quick Launch icon left: the icons heading stays, the firewall
    // paragraph goes.
    code = RunPage(f.tasks, IDC_FIREWALL, [&](HWND w) {
        ClickControl(w, IDC_FIREWALL);
        ClickControl(w, IDC_DESKTOP_ICON);
        WaitUntil([&] { return !ControlChecked(w, IDC_FIREWALL) && !ControlChecked(w, IDC_DESKTOP_ICON); }, 2000);
        ClickControl(w, IDOK);
    });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(f.SummaryShown(),
              Folders() + TASKS_HEADING + "\r\n      Additionals Icons:\r\n            Create a Quick Launch icon");
}
#endif

TEST(ReadyPage, InstallKeepsThePlaceForTheProgressPage)
{
    TasksFixture f;
    f.ready.SetSummary("anything");
    RECT placed{};
    const INT_PTR code = RunPage(f.ready, IDC_SUMMARY, [&](HWND w) {
        EXPECT_EQ(ControlText(w, IDC_SUMMARY), "anything");
        EXPECT_EQ(ClickAndAnswer(w, IDCANCEL, IDNO), CancelQuestion());
        SetWindowPos(w, nullptr, 90, 95, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        GetWindowRect(w, &placed);
        ClickControl(w, IDOK);
    });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(f.shared.left, placed.left);
    EXPECT_EQ(f.shared.top, placed.top);
}
