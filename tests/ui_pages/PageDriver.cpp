#include "tests/ui_pages/PageDriver.h"

#include "tests/support/UiAutomation.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <shlobj.h>

#include <thread>
#include <vector>

namespace pagetest {

namespace {

const DWORD PAGE_APPEARS_MS = 10000;
const DWORD PAGE_ENDS_MS = 10000;
const DWORD POLL_MS = 20;
const int MESSAGE_BOX_TEXT_ID = 65535;

// What the wizard has in place before its first page: the licence's Rich
// Edit control and the common controls.
struct PageClasses {
    PageClasses()
    {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_TREEVIEW_CLASSES};
        InitCommonControlsEx(&controls);
        LoadLibraryA("Riched32.dll");
    }
} g_pageClasses;

struct OwnedSearch {
    HWND owner;
    HWND found;
};

BOOL CALLBACK FindOwnedDialog(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<OwnedSearch*>(param);
    char className[64] = {};
    GetClassNameA(window, className, sizeof className);
    if (std::string(className) != "#32770" || !IsWindowVisible(window))
        return TRUE;
    if (GetWindow(window, GW_OWNER) != search->owner)
        return TRUE;
    search->found = window;
    return FALSE;
}

BOOL CALLBACK FindTree(HWND window, LPARAM param)
{
    char className[64] = {};
    GetClassNameA(window, className, sizeof className);
    if (std::string(className) != WC_TREEVIEWA)
        return TRUE;
    *reinterpret_cast<HWND*>(param) = window;
    return FALSE;
}

std::string SelectedItemText(HWND tree)
{
    char text[MAX_PATH] = {};
    TVITEMA item{};
    item.mask = TVIF_TEXT;
    item.hItem = reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    item.pszText = text;
    item.cchTextMax = sizeof text;
    if (item.hItem == nullptr || !SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item)))
        return std::string();
    return text;
}

}  // namespace

std::string Caption()
{
    return std::string("Setup - ") + PRODUCT;
}

INT_PTR RunPage(fw::CDialog& page, int controlId, const std::function<void(HWND)>& drive)
{
    std::thread driver([&] {
        HWND window = testsupport::WaitForDialogWithControl(Caption(), controlId, PAGE_APPEARS_MS);
        if (window == nullptr) {
            ADD_FAILURE() << "the page with control " << controlId << " did not appear";
            return;
        }
        drive(window);
        if (!testsupport::WaitForWindowGone(window, PAGE_ENDS_MS)) {
            ADD_FAILURE() << "the page with control " << controlId << " is still open";
            EndDialog(window, -2);
        }
    });
    const INT_PTR code = page.DoModal();
    driver.join();
    return code;
}

bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (!predicate()) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(POLL_MS);
    }
    return true;
}

std::vector<std::string> TextsOfControls(HWND dialog, int controlId)
{
    std::vector<std::string> texts;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if (GetDlgCtrlID(child) == controlId)
            texts.push_back(testsupport::WindowText(child));
    }
    return texts;
}

int RedPixels(HWND control)
{
    RECT client{};
    GetClientRect(control, &client);
    const int width = client.right;
    const int height = client.bottom;
    if (width <= 0 || height <= 0)
        return 0;
    RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC screen = GetDC(control);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP section = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, section);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    GdiFlush();
    int red = 0;
    const BYTE* pixel = static_cast<const BYTE*>(bits);
    for (int i = 0; i < width * height; ++i, pixel += 4) {
        // blue, green, red
        if (pixel[2] > 200 && pixel[1] < 90 && pixel[0] < 90)
            ++red;
    }
    SelectObject(memory, previous);
    DeleteObject(section);
    DeleteDC(memory);
    ReleaseDC(control, screen);
    return red;
}

HWND WaitForFolderBrowser(HWND owner, DWORD timeoutMs)
{
    OwnedSearch search{owner, nullptr};
    WaitUntil(
        [&] {
            EnumWindows(&FindOwnedDialog, reinterpret_cast<LPARAM>(&search));
            return search.found != nullptr;
        },
        timeoutMs);
    return search.found;
}

bool ChooseInFolderBrowser(HWND browser, const std::string& path)
{
    HWND tree = nullptr;
    EnumChildWindows(browser, &FindTree, reinterpret_cast<LPARAM>(&tree));
    if (tree == nullptr)
        return false;
    if (path.empty()) {
        // The browser's root itself, as a click on it would choose it.
        const LPARAM root = SendMessageA(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
        SendMessageA(tree, TVM_SELECTITEM, TVGN_CARET, root);
    } else {
        // In-process, the browser can be handed the path as its own
        // callback would; it selects and shows that folder in its tree.
        DWORD_PTR selected = 0;
        SendMessageTimeoutA(browser, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(path.c_str()),
                            SMTO_ABORTIFHUNG, 5000, &selected);
        // A folder below a drive is shown by its own name.
        const size_t slash = path.find_last_of('\\');
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (!name.empty() && SelectedItemText(tree) != name)
            return false;
    }
    testsupport::ClickControl(browser, IDOK);
    return testsupport::WaitForWindowGone(browser, 5000);
}

void CancelFolderBrowser(HWND browser)
{
    testsupport::ClickControl(browser, IDCANCEL);
    testsupport::WaitForWindowGone(browser, 5000);
}

std::string ClickAndAnswer(HWND dialog, int controlId, int answer)
{
    testsupport::ClickControl(dialog, controlId);
    HWND box = testsupport::WaitForDialogWithControl(PRODUCT, MESSAGE_BOX_TEXT_ID, 5000);
    if (box == nullptr)
        return std::string();
    const std::string text = testsupport::MessageBoxText(box);
    testsupport::ClickControl(box, answer);
    testsupport::WaitForWindowGone(box, 5000);
    return text;
}

}  // namespace pagetest
