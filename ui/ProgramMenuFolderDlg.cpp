#include "ui/ProgramMenuFolderDlg.h"

#include "framework/Handles.h"
#include "framework/Text.h"
#include "res/resource.h"
#include "ui/FolderBrowser.h"

#include <shlobj.h>

namespace {

const CFolderPage::Layout START_MENU_LAYOUT = {
    IDD_PROGRAM_MENU_FOLDER, IDC_START_MENU_TITLE,  IDC_START_MENU_IMAGE,
    IDR_RAW_START_MENU,      IDS_START_MENU_TITLE, IDS_START_MENU_SUBTITLE,
};

}  // namespace

CProgramMenuFolderDlg::CProgramMenuFolderDlg() : CFolderPage(START_MENU_LAYOUT) {}

CProgramMenuFolderDlg::~CProgramMenuFolderDlg() = default;

bool CProgramMenuFolderDlg::BrowseForValue(std::string* folder)
{
    // Rooted at the common Programs folder when the shell can name it; the
    // whole name space otherwise.
    fw::CComPtr<IMalloc> allocator;
    fw::CItemIdList root;
    if (SUCCEEDED(::SHGetMalloc(allocator.put())))
        ::SHGetFolderLocation(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, 0, root.put());

    std::string chosen;
    if (!BrowseForFolder(m_hWnd, root.get(), fw::LoadText(IDS_BROWSE_TITLE), &chosen))
        return false;
    return StartMenuFolderFor(chosen, ProductName(), folder);
}
