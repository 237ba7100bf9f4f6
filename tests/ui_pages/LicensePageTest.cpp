// The licence page: the text streamed from the package (longer than one read
// of the control), the radio buttons gating Next, and the choice kept over
// Back and Next.
#include "app/InstallApp.h"
#include "res/resource.h"
#include "tests/support/UiAutomation.h"
#include "tests/ui_pages/PageDriver.h"
#include "ui/FontMeasures.h"
#include "ui/LicenseDlg.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace pagetest;
using namespace testsupport;

namespace {

const char SUBTITLE[] = "Please read the following important information before continuing!";

[[maybe_unused]] size_t Count(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

struct LicenseFixture {
    CInstallApp app;
    RECT shared{};
    fw::CGdiObject font{CreateFontA(HeaderFontHeight(96), 0, 0, 0, FW_BOLD, 0, 0, 0, 0, 0, 0, 5, 0, "Arial")};
    HFONT headerFont = static_cast<HFONT>(font.get());
    CLicenseDlg page;

    LicenseFixture()
    {
        app.installProcess =
            std::make_unique<CInstallProcess>(INVALID_HANDLE_VALUE, 0, &app.choices, &app.progress);
        std::string message;
        app.CheckSetupModules(&message);
        page.SetApplication(&app);
        page.SetAccepted(&app.licenseAccepted);
        page.SetSharedRect(&shared);
        page.SetHeaderFont(&headerFont);
    }
};

// The radio button's state as the page's flag mirrors it.
void Choose(HWND page, int button, const int32_t& flag, int32_t expected)
{
    ClickControl(page, button);
    EXPECT_TRUE(WaitUntil([&] { return ControlChecked(page, button) && flag == expected; }, 5000));
    EXPECT_EQ(ControlEnabled(page, IDOK), expected == 1);
}

}  // namespace

TEST(LicensePage, AcceptanceGatesNextAndIsKeptOverBackAndNext)
{
    LicenseFixture f;
    INT_PTR code = RunPage(f.page, IDC_LICENSE_TEXT, [&](HWND w) {
        EXPECT_EQ(WindowText(w), Caption());
        EXPECT_EQ(ControlText(w, IDC_LICENSE_TITLE), "License Agreement");
        EXPECT_EQ(ControlText(w, IDC_LICENSE_SUBTITLE), SUBTITLE);
        EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(GetDlgItem(w, IDC_LICENSE_TITLE), WM_GETFONT, 0, 0)),
                  f.headerFont);
        EXPECT_TRUE(ControlChecked(w, IDC_DECLINE));
        EXPECT_FALSE(ControlChecked(w, IDC_ACCEPT));
        EXPECT_FALSE(ControlEnabled(w, IDOK));

        // Enter while the agreement is declined changes nothing.
        PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        Sleep(200);
        EXPECT_TRUE(IsWindowVisible(w));

        Choose(w, IDC_ACCEPT, f.app.licenseAccepted, 1);
        Choose(w, IDC_DECLINE, f.app.licenseAccepted, 0);
        Choose(w, IDC_ACCEPT, f.app.licenseAccepted, 1);
        ClickControl(w, IDC_BACK);
    });
    EXPECT_EQ(code, 1000);
    EXPECT_EQ(f.shared.top, 0);  // Back leaves the place to the last Next
    EXPECT_EQ(f.shared.bottom, 0);

    RECT placed{};
    code = RunPage(f.page, IDC_LICENSE_TEXT, [&](HWND w) {
        EXPECT_TRUE(ControlChecked(w, IDC_ACCEPT));
        EXPECT_FALSE(ControlChecked(w, IDC_DECLINE));
        EXPECT_TRUE(ControlEnabled(w, IDOK));
        SetWindowPos(w, nullptr, 40, 50, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        GetWindowRect(w, &placed);
        ClickControl(w, IDOK);
    });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(f.app.licenseAccepted, 1);
    EXPECT_EQ(f.shared.left, placed.left);
    EXPECT_EQ(f.shared.top, placed.top);
    EXPECT_EQ(f.shared.right, placed.right);
    EXPECT_EQ(f.shared.bottom, placed.bottom);
}

#ifndef UI_PAGES_CLIENT

TEST(LicensePage, ShowsTheWholeLicenceFromThePackage)
{
    LicenseFixture f;
    std::string text;
    const INT_PTR code = RunPage(f.page, IDC_LICENSE_TEXT, [&](HWND w) {
        text = ControlText(w, IDC_LICENSE_TEXT);
        ClickAndAnswer(w, IDCANCEL, IDYES);
    });
    EXPECT_EQ(code, 2);
    // The package's licence is some 40 KB of rich text, six hundred
    // numbered lines: all of them arrive, in order, as text.
    EXPECT_EQ(text.find("{\\rtf"), std::string::npos);
    EXPECT_EQ(Count(text, "Test licence line "), 600u);
    EXPECT_EQ(text.find("Test licence line 0001"), 0u);
    EXPECT_NE(text.find("Test licence line 0600: the end of the agreement."), std::string::npos);
    EXPECT_LT(text.find("Test licence line 0299"), text.find("Test licence line 0300"));
}

#else

TEST(LicensePage, WithoutALicenceTheTextStaysEmptyAndTheChoiceStillWorks)
{
    // This program carries no package, so there is no licence text.
    LicenseFixture f;
    const INT_PTR code = RunPage(f.page, IDC_LICENSE_TEXT, [&](HWND w) {
        EXPECT_EQ(ControlText(w, IDC_LICENSE_TEXT), "");
        Choose(w, IDC_ACCEPT, f.app.licenseAccepted, 1);
        ClickControl(w, IDOK);
    });
    EXPECT_EQ(code, 1);
}

#endif
