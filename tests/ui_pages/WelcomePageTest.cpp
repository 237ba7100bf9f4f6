// The welcome page as the user meets it: the wait of at least a second, the
// checks' verdict (welcome text, or the reason in red with only "Exit"), the
// cancel question, a second showing that checks again, a cancel while the
// checks still run, and a fault inside the checks.
#include "app/InstallApp.h"
#include "framework/Handles.h"
#include "product/ProductConfig.h"
#include "res/resource.h"
#include "tests/support/UiAutomation.h"
#include "tests/ui_pages/PageDriver.h"
#include "ui/WelcomeDlg.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

// A blocked page: the reason in red, Next and Back disabled, and "Exit",
// which ends the page; returns the questions asked meanwhile.
std::vector<std::string> ExitWhenBlocked(HWND page)
{
    EXPECT_GT(RedPixels(GetDlgItem(page, IDC_BODY)), 20);
    EXPECT_EQ(RedPixels(GetDlgItem(page, IDC_TITLE)), 0);
    EXPECT_FALSE(ControlEnabled(page, IDOK));
    EXPECT_FALSE(ControlEnabled(page, IDC_BACK));
    EXPECT_EQ(ControlText(page, IDCANCEL), "Exit");
    CMessageBoxWatcher watcher(PRODUCT, IDYES);
    ClickControl(page, IDCANCEL);
    EXPECT_TRUE(WaitForWindowGone(page, 5000));
    watcher.Stop();
    return watcher.Texts();
}

[[maybe_unused]] LOGFONTA FontOf(HWND page, int controlId)
{
    LOGFONTA font{};
    HFONT handle = reinterpret_cast<HFONT>(SendMessageA(GetDlgItem(page, controlId), WM_GETFONT, 0, 0));
    GetObjectA(handle, sizeof font, &font);
    return font;
}

// A running copy of the product as the version check meets it: the presence
// event and one answer on the pipe with the given version and text.
class CFakeProduct {
public:
    CFakeProduct(uint32_t version, const std::string& text)
        : m_event(CreateEventA(nullptr, TRUE, FALSE, Product().presenceEvent)),
          m_pipe(CreateNamedPipeA(Product().pipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096,
                                  4096, 0, nullptr))
    {
        m_server = std::thread([this, version, text] {
            if (!ConnectNamedPipe(m_pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
                return;
            uint32_t request = 0;
            DWORD done = 0;
            ReadFile(m_pipe.get(), &request, sizeof request, &done, nullptr);
            m_request = request;
            const uint32_t length = static_cast<uint32_t>(text.size());
            WriteFile(m_pipe.get(), &version, sizeof version, &done, nullptr);
            WriteFile(m_pipe.get(), &length, sizeof length, &done, nullptr);
            WriteFile(m_pipe.get(), text.data(), length, &done, nullptr);
            FlushFileBuffers(m_pipe.get());
        });
    }
    ~CFakeProduct()
    {
        // A server nobody asked is let go by asking it ourselves.
        fw::CFileHandle client(
            CreateFileA(Product().pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        client.reset();
        m_server.join();
    }
    uint32_t Request() const { return m_request; }

private:
    fw::CKernelHandle m_event;
    fw::CFileHandle m_pipe;
    std::atomic<uint32_t> m_request{0};
    std::thread m_server;
};

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
        const LOGFONTA body = FontOf(w, IDC_BODY);
        EXPECT_STREQ(body.lfFaceName, "Verdana");
        EXPECT_EQ(body.lfHeight, 16);  // 96 dots per inch
        EXPECT_EQ(body.lfWeight, 400);
        EXPECT_EQ(FontOf(w, IDC_TITLE).lfWeight, 700);

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

TEST(WelcomePage, ANewerRunningProductIsRefusedWithItsVersionTextAsSent)
{
    CInstallApp app;
    StartInstallProcess(app);
    CWelcomeDlg page;
    page.SetApplication(&app);
    // Directives in the text a peer sends stay plain characters.
    CFakeProduct product(0x61001, "7.0 %s%n%x 100%");

    std::vector<std::string> questions;
    const INT_PTR code = RunPage(page, IDC_SIDE_PICTURE, [&](HWND w) {
        ASSERT_TRUE(WaitUntil([&] { return ChecksDone(w); }, 20000));
        EXPECT_EQ(ControlText(w, IDC_BODY),
                  "You are trying to install older version of the software on your computer. Before installing "
                  "version 6.1 you need to uninstall 7.0 %s%n%x 100% first.\n");
        questions = ExitWhenBlocked(w);
    });
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(questions.empty());
    EXPECT_EQ(page.BlockingResult(), 1);
    EXPECT_EQ(product.Request(), 0x3007u);
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
        questions = ExitWhenBlocked(w);
    });
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(questions.empty());
    EXPECT_EQ(page.BlockingResult(), -2);
}

#endif
