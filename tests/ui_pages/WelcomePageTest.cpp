// The welcome page as the user meets it: the wait of at least a second, the
// checks' verdict (welcome text, or the reason in red with only "Exit"), the
// cancel question, a second showing that checks again, a cancel while the
// checks still run, and a fault inside the checks.
#include "app/InstallApp.h"
#include "res/resource.h"
#include "tests/support/UiAutomation.h"
#include "tests/ui_pages/PageDriver.h"
#include "ui/WelcomeDlg.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace pagetest;
using namespace testsupport;

namespace {

const char PLEASE_WAIT[] = "Please wait while Setup Wizard completes initialization!";
const int MESSAGE_BOX_TEXT_ID = 65535;

std::string Title()
{
    return std::string("Welcome to ") + PRODUCT + " " + VERSION_TEXT + " Setup Wizard";
}

[[maybe_unused]] std::string CancelQuestion()
{
    return std::string("Are you sure you wish to cancel ") + PRODUCT + " installation?";
}

// An application as the wizard has it, with its install process (engine
// checks pass under Wine, which runs us as an administrator).
void StartInstallProcess(CInstallApp& app)
{
    app.installProcess = std::make_unique<CInstallProcess>(INVALID_HANDLE_VALUE, 0, &app.choices, &app.progress);
}

bool ChecksDone(HWND page)
{
    return ControlEnabled(page, IDCANCEL);
}

}  // namespace

#ifndef UI_PAGES_CLIENT

TEST(WelcomePage, ChecksPassAfterASecondAndNextKeepsThePlaceForTheNextShowing)
{
    CInstallApp app;
    StartInstallProcess(app);
    RECT shared{};
    CWelcomeDlg page;
    page.SetApplication(&app);
    page.SetSharedRect(&shared);

    DWORD shownAt = 0;
    DWORD readyAt = 0;
    RECT placed{};
    INT_PTR code = RunPage(page, IDC_SIDE_PICTURE, [&](HWND w) {
        shownAt = GetTickCount();
        EXPECT_EQ(WindowText(w), Caption());
        EXPECT_EQ(ControlText(w, IDC_TITLE), Title());
        EXPECT_EQ(ControlText(w, IDC_BODY), PLEASE_WAIT);
        EXPECT_FALSE(ControlEnabled(w, IDOK));
        EXPECT_FALSE(ControlEnabled(w, IDC_BACK));
        EXPECT_FALSE(ControlEnabled(w, IDCANCEL));
        ASSERT_TRUE(WaitUntil([&] { return ChecksDone(w); }, 20000));
        readyAt = GetTickCount();
        EXPECT_EQ(ControlText(w, IDC_BODY),
                  "The Setup Wizard will allow you to install Velloran Version 6.1 on your computer. Click Next to "
                  "continue or Cancel to exit the setup.");
        EXPECT_TRUE(ControlEnabled(w, IDOK));
        EXPECT_FALSE(ControlEnabled(w, IDC_BACK));
        EXPECT_EQ(ControlText(w, IDCANCEL), "Cancel");
        EXPECT_EQ(RedPixels(GetDlgItem(w, IDC_BODY)), 0);

        SetWindowPos(w, nullptr, 100, 120, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        GetWindowRect(w, &placed);
        ClickControl(w, IDOK);
    });
    EXPECT_EQ(code, 1);
    EXPECT_GE(readyAt - shownAt, 900u);
    EXPECT_EQ(page.BlockingResult(), 0);
    EXPECT_EQ(shared.left, placed.left);
    EXPECT_EQ(shared.top, 120);
    EXPECT_EQ(shared.right, placed.right);
    EXPECT_EQ(shared.bottom, placed.bottom);

    // Shown again (Back from the licence page): where it was left, checking
    // anew; No to the cancel question keeps it, Yes ends it.
    code = RunPage(page, IDC_SIDE_PICTURE, [&](HWND w) {
        RECT now{};
        GetWindowRect(w, &now);
        EXPECT_EQ(now.left, placed.left);
        EXPECT_EQ(now.top, placed.top);
        EXPECT_EQ(ControlText(w, IDC_BODY), PLEASE_WAIT);
        ASSERT_TRUE(WaitUntil([&] { return ChecksDone(w); }, 20000));
        EXPECT_EQ(ClickAndAnswer(w, IDCANCEL, IDNO), CancelQuestion());
        Sleep(200);
        EXPECT_TRUE(IsWindowVisible(w));
        EXPECT_TRUE(ControlEnabled(w, IDOK));
        EXPECT_EQ(ClickAndAnswer(w, IDCANCEL, IDYES), CancelQuestion());
    });
    EXPECT_EQ(code, 2);
}

TEST(WelcomePage, CancelWhileTheChecksRunEndsAsSoonAsTheyAreDone)
{
    CInstallApp app;
    StartInstallProcess(app);
    CWelcomeDlg page;
    page.SetApplication(&app);

    DWORD answeredAt = 0;
    const INT_PTR code = RunPage(page, IDC_SIDE_PICTURE, [&](HWND w) {
        // Escape: the Cancel button itself is still disabled.
        PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        HWND box = WaitForDialogWithControl(PRODUCT, MESSAGE_BOX_TEXT_ID, 5000);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(MessageBoxText(box), CancelQuestion());
        ClickControl(box, IDYES);
        answeredAt = GetTickCount();
    });
    // The checks still set the page's texts while the page waits for them;
    // the page serves them and ends long before the 10 s limit.
    EXPECT_EQ(code, 2);
    EXPECT_LT(GetTickCount() - answeredAt, 5000u);
}

TEST(WelcomePage, AFaultInTheChecksIsReportedAndLeavesOnlyCancel)
{
    // Without an install process the package check dereferences nothing.
    CInstallApp app;
    CWelcomeDlg page;
    page.SetApplication(&app);

    const INT_PTR code = RunPage(page, IDC_SIDE_PICTURE, [&](HWND w) {
        HWND box = WaitForDialogWithControl(PRODUCT, MESSAGE_BOX_TEXT_ID, 10000);
        ASSERT_NE(box, nullptr);
        const std::string text = MessageBoxText(box);
        const std::string head =
            "Exception during Setup initialization!\nException code = 0xc0000005\nException address = 0x";
        EXPECT_EQ(text.substr(0, head.size()), head);
        EXPECT_EQ(text.size(), head.size() + 8);
        ClickControl(box, IDOK);
        ASSERT_TRUE(WaitUntil([&] { return ChecksDone(w); }, 5000));
        EXPECT_FALSE(ControlEnabled(w, IDOK));
        EXPECT_EQ(ControlText(w, IDC_BODY), PLEASE_WAIT);
        EXPECT_EQ(ControlText(w, IDCANCEL), "Cancel");
        EXPECT_EQ(ClickAndAnswer(w, IDCANCEL, IDYES), CancelQuestion());
    });
    EXPECT_EQ(code, 2);
    EXPECT_EQ(page.BlockingResult(), 0);
}

#else

TEST(WelcomePage, ADamagedPackageShowsTheReasonInRedAndOnlyExitWithoutQuestion)
{
    // This program carries no package.
    CInstallApp app;
    StartInstallProcess(app);
    CWelcomeDlg page;
    page.SetApplication(&app);

    std::vector<std::string> questions;
    const INT_PTR code = RunPage(page, IDC_SIDE_PICTURE, [&](HWND w) {
        EXPECT_EQ(WindowText(w), Caption());
        EXPECT_EQ(ControlText(w, IDC_TITLE), Title());
        ASSERT_TRUE(WaitUntil([&] { return ChecksDone(w); }, 20000));
        EXPECT_EQ(ControlText(w, IDC_BODY),
                  "Installation package is damaged! Please download the latest version of Velloran Client from "
                  "our web site and try again!");
        EXPECT_GT(RedPixels(GetDlgItem(w, IDC_BODY)), 20);
        EXPECT_EQ(RedPixels(GetDlgItem(w, IDC_TITLE)), 0);
        EXPECT_FALSE(ControlEnabled(w, IDOK));
        EXPECT_FALSE(ControlEnabled(w, IDC_BACK));
        EXPECT_EQ(ControlText(w, IDCANCEL), "Exit");
        CMessageBoxWatcher watcher(PRODUCT, IDYES);
        ClickControl(w, IDCANCEL);
        EXPECT_TRUE(WaitForWindowGone(w, 5000));
        watcher.Stop();
        questions = watcher.Texts();
    });
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(questions.empty());
    EXPECT_EQ(page.BlockingResult(), -2);
}

#endif
