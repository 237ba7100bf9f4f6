// The destination and Start Menu pages: what they show, what Next, Back and
// the shell's folder browser leave in the application's folder strings.
#include "res/resource.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UiAutomation.h"
#include "tests/ui_pages/PageDriver.h"
#include "ui/ProgramMenuFolderDlg.h"
#include "ui/SelectFolder.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <string>

using namespace pagetest;
using namespace testsupport;

namespace {

const char BROWSE_TITLE[] = "Select folder in the list below, then click OK";
const char NEXT_HINT[] = "To continue, please, click Next. If you wish to select a different folder, click Browse";

std::string CommonPrograms()
{
    char path[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, 0, path);
    return path;
}

bool Shows(HWND window, const std::string& text)
{
    std::vector<std::string> texts;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
        texts.push_back(WindowText(child));
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::string RootOfTree(HWND browser)
{
    HWND tree = FindWindowExA(browser, nullptr, WC_TREEVIEWA, nullptr);
    HTREEITEM root = reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
    char text[MAX_PATH] = {};
    TVITEMA item{};
    item.mask = TVIF_TEXT;
    item.hItem = root;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    return text;
}

const char CANCEL[] = "<cancel>";
const char ROOT[] = "";

// Presses Browse, chooses `path` (ROOT: the browser's root; CANCEL: cancels
// the browser) and returns what the edit box then shows.
std::string Browse(HWND page, const std::string& path)
{
    const std::string before = ControlText(page, IDC_FOLDER_EDIT);
    ClickControl(page, IDC_BROWSE);
    HWND browser = WaitForFolderBrowser(page, 5000);
    if (browser == nullptr) {
        ADD_FAILURE() << "no folder browser";
        return before;
    }
    EXPECT_TRUE(Shows(browser, BROWSE_TITLE));
    if (path == CANCEL) {
        CancelFolderBrowser(browser);
        return ControlText(page, IDC_FOLDER_EDIT);
    }
    EXPECT_TRUE(ChooseInFolderBrowser(browser, path)) << path;
    WaitUntil([&] { return ControlText(page, IDC_FOLDER_EDIT) != before; }, 2000);
    return ControlText(page, IDC_FOLDER_EDIT);
}

}  // namespace

TEST(DestinationPage, BrowseAndNextStoreTheFolderBackAndCancelDoNot)
{
    const std::string product = PRODUCT;
    const std::string programFiles = "C:\\Program Files\\" + product;
    CreateDirectoryA("C:\\Apps", nullptr);
    CreateDirectoryA(programFiles.c_str(), nullptr);

    std::string folder = programFiles;
    RECT shared{};
    CSelectFolder page;
    page.SetFolder(&folder);
    page.SetSharedRect(&shared);

    INT_PTR code = RunPage(page, IDC_DESTINATION_IMAGE, [&](HWND w) {
        EXPECT_EQ(WindowText(w), Caption());
        EXPECT_EQ(ControlText(w, IDC_DESTINATION_TITLE), "Select Destination Location");
        EXPECT_EQ(ControlText(w, IDC_FOLDER_SUBTITLE), "Where should " + product + " be installed?");
        EXPECT_TRUE(Shows(w, "Setup will install program into the following folder."));
        EXPECT_TRUE(Shows(w, NEXT_HINT));
        EXPECT_EQ(ControlText(w, IDC_FOLDER_EDIT), programFiles);
        SetControlText(w, IDC_FOLDER_EDIT, "C:\\Typed");
        ClickControl(w, IDC_BACK);
    });
    EXPECT_EQ(code, 1000);
    EXPECT_EQ(folder, programFiles);

    code = RunPage(page, IDC_DESTINATION_IMAGE, [&](HWND w) {
        EXPECT_EQ(ControlText(w, IDC_FOLDER_EDIT), programFiles);
        EXPECT_EQ(Browse(w, "C:\\Apps"), "C:\\Apps\\" + product);
        EXPECT_EQ(Browse(w, "C:\\"), "C:\\" + product);
        EXPECT_EQ(Browse(w, CANCEL), "C:\\" + product);
        EXPECT_EQ(Browse(w, programFiles), programFiles + "\\" + product);
        ClickControl(w, IDC_BACK);
    });
    EXPECT_EQ(code, 1000);
    EXPECT_EQ(folder, programFiles + "\\" + product);  // browsed, then Back: kept
    EXPECT_EQ(shared.bottom, 0);

    RECT placed{};
    code = RunPage(page, IDC_DESTINATION_IMAGE, [&](HWND w) {
        EXPECT_EQ(ControlText(w, IDC_FOLDER_EDIT), programFiles + "\\" + product);
        SetControlText(w, IDC_FOLDER_EDIT, " D:\\typed  as is\\");
        GetWindowRect(w, &placed);
        ClickControl(w, IDOK);
    });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(folder, " D:\\typed  as is\\");
    EXPECT_EQ(shared.top, placed.top);
    EXPECT_EQ(shared.right, placed.right);
}

TEST(StartMenuPage, BrowseBelowProgramsNamesTheGroupAfterTheChosenFolder)
{
    const std::string product = PRODUCT;
    const std::string programs = CommonPrograms();
    ASSERT_FALSE(programs.empty());
    CreateDirectoryA((programs + "\\Tools").c_str(), nullptr);

    std::string folder = product;
    RECT shared{50, 60, 50 + 600, 60 + 400};
    CProgramMenuFolderDlg page;
    page.SetFolder(&folder);
    page.SetSharedRect(&shared);

    INT_PTR code = RunPage(page, IDC_START_MENU_IMAGE, [&](HWND w) {
        RECT now{};
        GetWindowRect(w, &now);
        EXPECT_EQ(now.left, 50);  // opens where the last page was left
        EXPECT_EQ(now.top, 60);
        EXPECT_EQ(WindowText(w), Caption());
        EXPECT_EQ(ControlText(w, IDC_START_MENU_TITLE), "Select Start Menu Folder");
        EXPECT_EQ(ControlText(w, IDC_FOLDER_SUBTITLE), "Where should Setup place the program shortcuts?");
        EXPECT_TRUE(Shows(w, "Setup will create the program shortcuts in the following Start Menu folder"));
        EXPECT_EQ(ControlText(w, IDC_FOLDER_EDIT), product);

        ClickControl(w, IDC_BROWSE);
        HWND browser = WaitForFolderBrowser(w, 5000);
        ASSERT_NE(browser, nullptr);
        EXPECT_EQ(RootOfTree(browser), "Programs");
        CancelFolderBrowser(browser);
        EXPECT_EQ(ControlText(w, IDC_FOLDER_EDIT), product);

        EXPECT_EQ(Browse(w, programs + "\\Tools"), "Tools\\" + product);
        EXPECT_EQ(Browse(w, ROOT), "Programs\\" + product);
        SetControlText(w, IDC_FOLDER_EDIT, "Typed");
        ClickControl(w, IDC_BACK);
    });
    EXPECT_EQ(code, 1000);
    EXPECT_EQ(folder, "Programs\\" + product);

    code = RunPage(page, IDC_START_MENU_IMAGE, [&](HWND w) {
        EXPECT_EQ(ControlText(w, IDC_FOLDER_EDIT), "Programs\\" + product);
        SetControlText(w, IDC_FOLDER_EDIT, "");
        ClickControl(w, IDOK);
    });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(folder, "");  // taken as typed, even empty
}
